// The edge worker (edge/worker.mjs with the wasm preset's module) on a real
// edge runtime: workerd from edge/node_modules serves it on loopback, nginx
// on loopback is the origin holding the package, its manifest and the
// brands' images, and tvkserve serves the same configuration beside it.
//
//   node --test tests/edge/edge_worker_test.mjs   with the environment
//   TVK_EDGE_MODULE  the folder of tvk_edge.mjs and tvk_edge.wasm
//   TVK_WORKERD      the workerd program
//   TVK_TVKPACK, TVK_TVKSERVE, TVK_FIXTURES (signed_package.exe)
//
// Exits 77 (skipped) when the module or workerd is not there, unless
// TVK_EDGE_REQUIRED is set (tools/test-all.sh sets it: there a missing
// module is a failure, not a skip).
import { spawn, execFileSync } from "node:child_process";
import { createHmac, generateKeyPairSync, randomBytes } from "node:crypto";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { after, before, test } from "node:test";
import assert from "node:assert/strict";

const env = process.env;
const moduleFolder = env.TVK_EDGE_MODULE;
const workerdProgram = env.TVK_WORKERD;
if (!moduleFolder || !fs.existsSync(path.join(moduleFolder, "tvk_edge.wasm")) ||
    !workerdProgram || !fs.existsSync(workerdProgram)) {
    console.log("no WebAssembly module (wasm preset) or no workerd (npm ci in edge/)");
    process.exit(env.TVK_EDGE_REQUIRED ? 1 : 77);
}
const workerSource = path.join(path.dirname(new URL(import.meta.url).pathname), "../../edge/worker.mjs");

const dir = fs.mkdtempSync(path.join(os.tmpdir(), "tvk-edge-"));
fs.chmodSync(dir, 0o755);
const children = [];
let edge, origin, server, accessLog;

async function freePort() {
    return new Promise((resolve) => {
        const socket = net.createServer().listen(0, "127.0.0.1", () => {
            const { port } = socket.address();
            socket.close(() => resolve(port));
        });
    });
}

// Starts a program and waits until its port answers.
async function startListening(program, args, port, name) {
    const log = fs.openSync(path.join(dir, `${name}.log`), "w");
    const child = spawn(program, args, { stdio: ["ignore", log, log], cwd: dir });
    children.push(child);
    for (let i = 0; i < 200; ++i) {
        const up = await new Promise((resolve) => {
            const socket = net.connect(port, "127.0.0.1", () => { socket.end(); resolve(true); });
            socket.on("error", () => resolve(false));
        });
        if (up) {
            return;
        }
        if (child.exitCode !== null) {
            break;
        }
        await new Promise((resolve) => setTimeout(resolve, 50));
    }
    throw new Error(`${name} did not start: ${fs.readFileSync(path.join(dir, `${name}.log`), "utf8")}`);
}

function write(name, bytes) {
    fs.writeFileSync(path.join(dir, name), bytes);
    return path.join(dir, name);
}

// A picture as `tvkpack tag` takes it: it checks the start of the file.
function picture(size, seed) {
    const bytes = Buffer.alloc(size);
    for (let i = 0; i < size; ++i) {
        bytes[i] = (i * 31 + seed) & 0xff;
    }
    bytes.write("BM", 0);
    return bytes;
}

const brands = {
    plain: { params: { product: "Example" } },
    acme: { params: { product: "Example", partner: "acme" }, icon: "acme.ico", picture: "acme.bmp" },
};
const queryValues = [[], [["ref", "abc"]], [["ref", "x-1_y"], ["lang", "de"]]];

before(async () => {
    const fixtures = env.TVK_FIXTURES;
    fs.copyFileSync(path.join(fixtures, "signed_package.exe"), path.join(dir, "setup.exe"));
    // Another package's body behind setup's manifest: a deployment whose
    // two do not belong together.
    fs.copyFileSync(path.join(fixtures, "signed_runnable.exe"), path.join(dir, "other.exe"));
    execFileSync(env.TVK_TVKPACK, ["manifest", path.join(dir, "setup.exe"), "-o", path.join(dir, "setup.manifest.json")]);
    fs.copyFileSync(path.join(dir, "setup.manifest.json"), path.join(dir, "mismatched.manifest.json"));
    write("acme.ico", Buffer.concat([Buffer.from([0, 0, 1, 0]), randomBytes(700)]));
    write("acme.bmp", picture(70001, 7));
    const { privateKey } = generateKeyPairSync("rsa", { modulusLength: 2048 });
    const tagKey = privateKey.export({ type: "pkcs8", format: "pem" });
    write("tag_key.pem", tagKey);
    const linkKey = randomBytes(32).toString("base64url");
    write("link_key", linkKey + "\n");

    const [originPort, edgePort, serverPort] = [await freePort(), await freePort(), await freePort()];
    origin = `http://127.0.0.1:${originPort}`;
    edge = `http://127.0.0.1:${edgePort}`;
    server = `http://127.0.0.1:${serverPort}`;

    // The origin.
    accessLog = path.join(dir, "access.log");
    write("nginx.conf", `daemon off; pid ${dir}/nginx.pid; error_log ${dir}/nginx-error.log;
${process.getuid() === 0 ? "user root;" : ""}
events { worker_connections 64; }
http {
    log_format edge '$request_method $uri $http_range $status';
    access_log ${accessLog} edge;
    client_body_temp_path ${dir}/nginx-body; proxy_temp_path ${dir}/nginx-proxy;
    fastcgi_temp_path ${dir}/nginx-fastcgi; uwsgi_temp_path ${dir}/nginx-uwsgi; scgi_temp_path ${dir}/nginx-scgi;
    server { listen 127.0.0.1:${originPort}; root ${dir}; }
}
`);
    await startListening("nginx", ["-e", `${dir}/nginx-error.log`, "-c", path.join(dir, "nginx.conf")], originPort, "nginx");

    const query = { ref: { max_length: 16, pattern: "[a-z0-9_-]*" }, lang: { max_length: 2, pattern: "[a-z]{2}" } };
    const links = { required: false, max_lifetime: 3600 };
    // tvkserve, with files.
    const serverBrands = Object.fromEntries(Object.entries(brands).map(([id, b]) => [id,
        { params: b.params, ...(b.icon && { icon: b.icon }), ...(b.picture && { picture: b.picture }) }]));
    write("tvkserve.json", JSON.stringify({
        listen: `127.0.0.1:${serverPort}`,
        packages: { setup: { file: "setup.exe", download_name: "Setup.exe" } },
        brands: serverBrands, query,
        links: { ...links, keys: { k1: { file: "link_key" } } },
        tag_signing: { key: "tag_key.pem" },
    }));
    await startListening(env.TVK_TVKSERVE, ["--config", path.join(dir, "tvkserve.json")], serverPort, "tvkserve");

    // The edge, with URLs on the origin.
    const edgeBrands = Object.fromEntries(Object.entries(brands).map(([id, b]) => [id,
        { params: b.params, ...(b.icon && { icon: `${origin}/${b.icon}` }), ...(b.picture && { picture: `${origin}/${b.picture}` }) }]));
    const edgeConfig = JSON.stringify({
        packages: {
            setup: { manifest: `${origin}/setup.manifest.json`, body: `${origin}/setup.exe`, download_name: "Setup.exe" },
            mismatched: { manifest: `${origin}/mismatched.manifest.json`, body: `${origin}/other.exe`, download_name: "Setup.exe" },
        },
        brands: edgeBrands, query,
        links: { ...links, keys: { k1: { secret: "LINK_KEY_K1" } } },
        tag_signing: { secret: "TAG_SIGNING_KEY" },
    });
    for (const file of ["tvk_edge.mjs", "tvk_edge.wasm"]) {
        fs.copyFileSync(path.join(moduleFolder, file), path.join(dir, file));
    }
    fs.copyFileSync(workerSource, path.join(dir, "worker.mjs"));
    write("edge.capnp", `using Workerd = import "/workerd/workerd.capnp";
const config :Workerd.Config = (
  services = [
    (name = "edge", worker = .edgeWorker),
    (name = "internet", network = (allow = ["public", "private", "local"])),
  ],
  sockets = [(name = "http", address = "127.0.0.1:${edgePort}", http = (), service = "edge")],
);
const edgeWorker :Workerd.Worker = (
  modules = [
    (name = "worker.mjs", esModule = embed "worker.mjs"),
    (name = "tvk_edge.mjs", esModule = embed "tvk_edge.mjs"),
    (name = "tvk_edge.wasm", wasm = embed "tvk_edge.wasm"),
  ],
  bindings = [
    (name = "TVK_EDGE_CONFIG", text = ${JSON.stringify(edgeConfig)}),
    (name = "LINK_KEY_K1", text = "${linkKey}"),
    (name = "TAG_SIGNING_KEY", text = ${JSON.stringify(tagKey)}),
  ],
  compatibilityDate = "2024-09-23",
);
`);
    await startListening(workerdProgram, ["serve", path.join(dir, "edge.capnp")], edgePort, "workerd");
    env.LINK_KEY = linkKey;
});

after(() => {
    for (const child of children) {
        child.kill("SIGTERM");
    }
    fs.rmSync(dir, { recursive: true, force: true });
});

function downloadPath(brand, values) {
    const query = values.map(([name, value]) => `&${name}=${encodeURIComponent(value)}`).join("");
    return `/download/setup?brand=${brand}${query}`;
}

async function get(base, target, headers = {}, method = "GET") {
    const response = await fetch(base + target, { method, headers });
    return { status: response.status, headers: response.headers, body: Buffer.from(await response.arrayBuffer()) };
}

test("downloads are tvkpack's tagged package and tvkserve's bytes with its entity tag", async () => {
    for (const [brand, b] of Object.entries(brands)) {
        for (const values of queryValues) {
            const target = downloadPath(brand, values);
            const atEdge = await get(edge, target);
            assert.equal(atEdge.status, 200, `${target}: ${atEdge.body}`);
            const atServer = await get(server, target);
            assert.equal(atServer.status, 200, target);
            assert.ok(atEdge.body.equals(atServer.body), `${target}: the bytes differ from tvkserve's`);
            assert.equal(atEdge.headers.get("etag"), atServer.headers.get("etag"), target);
            assert.equal(atEdge.headers.get("content-disposition"), atServer.headers.get("content-disposition"));

            const params = write("params.json", JSON.stringify({ ...b.params, ...Object.fromEntries(values) }));
            const tagged = path.join(dir, "tagged.exe");
            execFileSync(env.TVK_TVKPACK, ["tag", path.join(dir, "setup.exe"), "-o", tagged, "--params", params,
                "--sign-key", path.join(dir, "tag_key.pem"),
                ...(b.icon ? ["--icon", path.join(dir, b.icon)] : []),
                ...(b.picture ? ["--picture", path.join(dir, b.picture)] : [])]);
            assert.ok(atEdge.body.equals(fs.readFileSync(tagged)), `${target}: not what tvkpack tag writes`);
        }
    }
});

test("random ranges reassemble to the whole download", async () => {
    const target = downloadPath("acme", [["ref", "r"]]);
    const whole = (await get(edge, target)).body;
    const etag = (await get(edge, target, {}, "HEAD")).headers.get("etag");
    let seed = 12345;
    const random = (n) => { seed = (seed * 1103515245 + 12345) % 2147483648; return seed % n; };
    for (let round = 0; round < 6; ++round) {
        const cuts = [0, ...Array.from({ length: 3 }, () => random(whole.length)), whole.length].sort((a, b) => a - b);
        const parts = [];
        for (let i = 0; i + 1 < cuts.length; ++i) {
            if (cuts[i] === cuts[i + 1]) {
                continue;
            }
            const part = await get(edge, target, { Range: `bytes=${cuts[i]}-${cuts[i + 1] - 1}`, "If-Range": etag });
            assert.equal(part.status, 206);
            assert.equal(part.headers.get("content-range"), `bytes ${cuts[i]}-${cuts[i + 1] - 1}/${whole.length}`);
            parts.push(part.body);
        }
        assert.ok(Buffer.concat(parts).equals(whole), `cuts ${cuts}`);
    }
});

test("HEAD, 304, 416 and refusals answer as tvkserve does", async () => {
    const target = downloadPath("acme", []);
    const etag = (await get(server, target, {}, "HEAD")).headers.get("etag");
    const cases = [
        { name: "HEAD", target, method: "HEAD", status: 200 },
        { name: "If-None-Match", target, headers: { "If-None-Match": etag }, status: 304 },
        { name: "range beyond the end", target, headers: { Range: "bytes=99999999-" }, status: 416 },
        { name: "stale If-Range gives the whole", target, headers: { Range: "bytes=0-9", "If-Range": '"0"' }, status: 200 },
        { name: "unknown brand", target: "/download/setup?brand=none", status: 404 },
        { name: "value outside its pattern", target: "/download/setup?brand=acme&ref=A%20B", status: 400 },
        { name: "bad link signature", target: `${target}&expires=9999999999&key=k1&sig=AAAA`, status: 403 },
        { name: "POST", target, method: "POST", status: 405 },
    ];
    for (const c of cases) {
        const atEdge = await get(edge, c.target, c.headers, c.method);
        const atServer = await get(server, c.target, c.headers, c.method);
        assert.equal(atEdge.status, c.status, `${c.name}: ${atEdge.body}`);
        assert.equal(atServer.status, c.status, c.name);
        assert.equal(atEdge.headers.get("etag"), atServer.headers.get("etag"), c.name);
        assert.equal(atEdge.headers.get("content-length"), atServer.headers.get("content-length"), c.name);
        assert.equal(atEdge.headers.get("content-range"), atServer.headers.get("content-range"), c.name);
        assert.ok(atEdge.body.equals(atServer.body), `${c.name}: ${atEdge.body} / ${atServer.body}`);
    }
});

test("a signed link downloads the same bytes from both", async () => {
    const signed = `${downloadPath("acme", [["ref", "linked"]])}&expires=${Math.floor(Date.now() / 1000) + 600}&key=k1`;
    const sig = createHmac("sha256", Buffer.from(env.LINK_KEY, "base64url")).update(signed).digest("base64url");
    const atEdge = await get(edge, `${signed}&sig=${sig}`);
    const atServer = await get(server, `${signed}&sig=${sig}`);
    assert.equal(atEdge.status, 200, `${atEdge.body}`);
    assert.ok(atEdge.body.equals(atServer.body));
});

test("a body that is not the manifest's package is refused, not sent", async () => {
    const answer = await get(edge, "/download/mismatched?brand=plain");
    assert.equal(answer.status, 502, `${answer.body}`);
});

test("the origin is asked for the package's body on its one untagged URL only", () => {
    const lines = fs.readFileSync(accessLog, "utf8").trim().split("\n")
        .filter((line) => !/^GET \/(other\.exe|mismatched\.manifest\.json) /.test(line));
    const bodyLines = lines.filter((line) => !/\.(json|ico|bmp) /.test(line.split(" ").slice(0, 2).join(" ") + " "));
    assert.ok(bodyLines.length > 0);
    for (const line of bodyLines) {
        assert.match(line, /^GET \/setup\.exe bytes=\d+-\d+ 206$/, line);
    }
    // The manifest and each image are fetched once.
    for (const file of ["/setup.manifest.json", "/acme.ico", "/acme.bmp"]) {
        assert.equal(lines.filter((line) => line.startsWith(`GET ${file} `)).length, 1, file);
    }
});
