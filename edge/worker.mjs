// Tags tvkstub downloads at the edge: a fetch handler for Workers-style
// runtimes (workerd, Cloudflare Workers and the like) that answers
// /download/<package>?brand=<brand>&... as tvkserve does, with the same
// bytes, entity tags and statuses.
//
// The package's body (its bytes up to the certificate table) is streamed
// from the origin's one untagged URL per package, a range of it as a range
// request, so a CDN caches it once; the two header fields a tag changes are
// patched in flight and the tagged table is appended. The tag itself is made
// by the WebAssembly build of the project's one tag writer (tvk_edge.wasm,
// with the JavaScript emscripten writes to load it, tvk_edge.mjs); this file
// only fetches, hashes, signs and streams, with the runtime's common APIs.
//
// Bindings (environment): TVK_EDGE_CONFIG, the configuration's JSON text
// (tools/edge_tagger/edge_config.h), and one text binding per secret that
// the configuration names: a link key in base64url, the tag signing key as
// PKCS#8 PEM.
import TvkEdgeModule from "./tvk_edge.mjs";
import edgeWasm from "./tvk_edge.wasm";

// The module's steps (tools/edge_tagger/edge_exports.cpp).
const Step = Object.freeze({
    configure: 0,
    addPackage: 1,
    addBrand: 2,
    setBrandDigests: 3,
    setTagKey: 4,
    plan: 5,
    signatureMessage: 6,
    tag: 7,
});
// Where a piece of a tagged table comes from (edge_content.cpp).
const Piece = Object.freeze({ made: 0, signedTable: 1, icon: 2, picture: 3 });
// The two header fields a tag changes are u32.
const kFieldSize = 4;
// The fewest bytes a link key may have, as tvkserve requires.
const kLeastLinkKeyBytes = 16;

const encoder = new TextEncoder();
const decoder = new TextDecoder();

class EdgeError extends Error {
    constructor(status, message) {
        super(message);
        this.status = status;
    }
}

function hex(bytes) {
    return Array.from(new Uint8Array(bytes), (b) => b.toString(16).padStart(2, "0")).join("");
}

function fromHex(text) {
    const bytes = new Uint8Array(text.length / 2);
    for (let i = 0; i < bytes.length; ++i) {
        bytes[i] = parseInt(text.substr(2 * i, 2), 16);
    }
    return bytes;
}

function fromBase64Url(text) {
    const binary = atob(text.replace(/-/g, "+").replace(/_/g, "/"));
    return Uint8Array.from(binary, (c) => c.charCodeAt(0));
}

async function sha256(bytes) {
    return new Uint8Array(await crypto.subtle.digest("SHA-256", bytes));
}

// The WebAssembly module and the calls into it.
class Tagger {
    static async load() {
        const module = await TvkEdgeModule({
            // Not a URL: the module's file is never fetched (the loader
            // would otherwise resolve it against import.meta.url).
            locateFile: (file) => file,
            // The runtime compiled the .wasm when it loaded the worker.
            instantiateWasm(imports, done) {
                WebAssembly.instantiate(edgeWasm, imports).then((instance) => done(instance));
                return {};
            },
        });
        return new Tagger(module);
    }

    constructor(module) {
        this.module = module;
    }

    // Runs one step; returns its JSON and bytes (copied out of the
    // module's memory, which may move on the next call).
    call(step, json, bytes) {
        const m = this.module;
        const text = encoder.encode(JSON.stringify(json));
        const textAt = m._malloc(text.length || 1);
        m.HEAPU8.set(text, textAt);
        const size = bytes ? bytes.length : 0;
        const bytesAt = size ? m._malloc(size) : 0;
        if (size) {
            m.HEAPU8.set(bytes, bytesAt);
        }
        const failed = m._edge_call(step, textAt, text.length, bytesAt, size);
        m._free(textAt);
        if (bytesAt) {
            m._free(bytesAt);
        }
        const heap = m.HEAPU8;
        const jsonAt = m._edge_result_json();
        const result = JSON.parse(decoder.decode(heap.subarray(jsonAt, jsonAt + m._edge_result_json_size())));
        const resultAt = m._edge_result_bytes();
        const resultBytes = heap.slice(resultAt, resultAt + m._edge_result_bytes_size());
        if (failed) {
            throw new EdgeError(500, result.error);
        }
        return { json: result, bytes: resultBytes };
    }

    // A copy of [at, size] of the module's memory.
    copy([at, size]) {
        return this.module.HEAPU8.slice(at, at + size);
    }
}

async function fetchBytes(url, what) {
    const response = await fetch(url);
    if (response.status !== 200) {
        throw new EdgeError(502, `the origin answered ${response.status} for ${what} ${url}`);
    }
    return new Uint8Array(await response.arrayBuffer());
}

// What one isolate holds: the configuration, the packages' manifests and
// the brands' images (each fetched once, when a request first needs it),
// the link keys and the tag signing key.
class Edge {
    static async start(env) {
        const tagger = await Tagger.load();
        const config = env.TVK_EDGE_CONFIG;
        if (typeof config !== "string") {
            throw new EdgeError(500, "the binding TVK_EDGE_CONFIG (the configuration) is missing");
        }
        const summary = tagger.call(Step.configure, { config }).json;
        const edge = new Edge(tagger, summary);
        await edge.loadKeys(env);
        return edge;
    }

    constructor(tagger, summary) {
        this.tagger = tagger;
        this.packages = new Map(summary.packages.map((p) => [p.id, p]));
        this.brands = new Map(summary.brands.map((b) => [b.id, b]));
        this.summary = summary;
        this.linkKeys = new Map();
        this.tagKey = null;
        this.loaded = new Map(); // "package:id" or "brand:id" -> a promise
        this.packageData = new Map();
        this.brandData = new Map();
    }

    static secret(env, name) {
        const value = env[name];
        if (typeof value !== "string" || value === "") {
            throw new EdgeError(500, `the secret ${name} is missing`);
        }
        return value.trim();
    }

    async loadKeys(env) {
        for (const { id, secret } of this.summary.link_keys) {
            const key = fromBase64Url(Edge.secret(env, secret));
            if (key.length < kLeastLinkKeyBytes) {
                throw new EdgeError(500, `the secret ${secret} holds ${key.length} bytes; a link key has ${kLeastLinkKeyBytes} or more`);
            }
            this.linkKeys.set(
                id,
                await crypto.subtle.importKey("raw", key, { name: "HMAC", hash: "SHA-256" }, false, ["verify"]),
            );
        }
        if (this.summary.tag_signing_secret) {
            const pem = Edge.secret(env, this.summary.tag_signing_secret);
            const body = pem.replace(/-----(BEGIN|END) PRIVATE KEY-----/g, "").replace(/\s+/g, "");
            const algorithm = { name: "RSASSA-PKCS1-v1_5", hash: "SHA-256" };
            const key = await crypto.subtle.importKey(
                "pkcs8", Uint8Array.from(atob(body), (c) => c.charCodeAt(0)), algorithm, true, ["sign"]);
            // The public key, as DER SubjectPublicKeyInfo, names the signer
            // in entity tags.
            const jwk = await crypto.subtle.exportKey("jwk", key);
            const publicKey = await crypto.subtle.importKey(
                "jwk", { kty: "RSA", n: jwk.n, e: jwk.e, alg: "RS256", ext: true }, algorithm, true, ["verify"]);
            const spki = new Uint8Array(await crypto.subtle.exportKey("spki", publicKey));
            const modulusBytes = fromBase64Url(jwk.n).length;
            this.tagger.call(Step.setTagKey, {
                public_key_digest: hex(await sha256(spki)),
                signature_text_size: Math.ceil((modulusBytes * 4) / 3),
            });
            this.tagKey = { key, algorithm };
        }
    }

    // Fetches a package's manifest or a brand's images once; a failure is
    // forgotten so that a later request tries again.
    need(kind, id) {
        const name = `${kind}:${id}`;
        let loading = this.loaded.get(name);
        if (!loading) {
            loading = (kind === "package" ? this.loadPackage(id) : this.loadBrand(id)).catch((error) => {
                this.loaded.delete(name);
                throw error;
            });
            this.loaded.set(name, loading);
        }
        return loading;
    }

    async loadPackage(id) {
        const entry = this.packages.get(id);
        const manifest = decoder.decode(await fetchBytes(entry.manifest, "the manifest"));
        const { json } = this.callOrBadGateway(Step.addPackage, { id, manifest }, null, `the manifest ${entry.manifest}`);
        this.packageData.set(id, {
            body: entry.body,
            fileSize: json.file_size,
            tableOffset: json.table_offset,
            checksumOffset: json.checksum_offset,
            sizeOffset: json.size_offset,
            signedTable: this.tagger.copy(json.signed_table),
        });
    }

    async loadBrand(id) {
        const entry = this.brands.get(id);
        const [icon, picture] = await Promise.all([
            entry.icon ? fetchBytes(entry.icon, "the icon") : new Uint8Array(0),
            entry.picture ? fetchBytes(entry.picture, "the picture") : new Uint8Array(0),
        ]);
        const both = new Uint8Array(icon.length + picture.length);
        both.set(icon, 0);
        both.set(picture, icon.length);
        const added = this.callOrBadGateway(Step.addBrand, { id, icon_size: icon.length }, both, `brand ${id}`);
        const [blocks, iconDigest, pictureDigest] = await Promise.all([
            sha256(added.bytes), sha256(icon), sha256(picture)]);
        this.tagger.call(Step.setBrandDigests, {
            id, blocks: hex(blocks), icon: hex(iconDigest), picture: hex(pictureDigest),
        });
        this.brandData.set(id, { icon, picture });
    }

    // A step on what the origin sent: its refusal is the origin's fault.
    callOrBadGateway(step, json, bytes, what) {
        try {
            return this.tagger.call(step, json, bytes);
        } catch (error) {
            throw new EdgeError(502, `${what}: ${error.message}`);
        }
    }

    // The plan of the answer, running the steps the module asks for.
    async plan(request) {
        const headers = request.headers;
        const ask = {
            method: request.method,
            target: request.url,
            has_body: request.body !== null && request.method !== "GET" && request.method !== "HEAD",
            now: Math.floor(Date.now() / 1000),
            if_none_match: headers.get("If-None-Match"),
            range: headers.get("Range"),
            if_range: headers.get("If-Range"),
        };
        for (;;) {
            const step = this.tagger.call(Step.plan, ask);
            const plan = step.json;
            switch (plan.need) {
                case undefined:
                    return plan;
                case "mac": {
                    const key = this.linkKeys.get(plan.key);
                    // verify compares in constant time.
                    ask.mac_matches = await crypto.subtle.verify(
                        "HMAC", key, fromHex(plan.claimed), encoder.encode(plan.message));
                    break;
                }
                case "load":
                    await Promise.all([this.need("package", plan.package), this.need("brand", plan.brand)]);
                    break;
                case "etag":
                    ask.etag_digest = hex(await sha256(step.bytes));
                    break;
                default:
                    throw new EdgeError(500, `the module asks for ${plan.need}`);
            }
        }
    }

    // The tagged table's pieces and the two fields, for a planned download.
    async tag(download) {
        let signature = null;
        if (download.sign) {
            const message = this.tagger.call(Step.signatureMessage, {
                brand: download.brand, params_text: download.params_text,
            }).bytes;
            signature = new Uint8Array(await crypto.subtle.sign(this.tagKey.algorithm, this.tagKey.key, message));
        }
        const { json, bytes } = this.tagger.call(Step.tag, download, signature);
        const brand = this.brandData.get(download.brand);
        const sources = {
            [Piece.made]: bytes,
            [Piece.signedTable]: this.packageData.get(download.package).signedTable,
            [Piece.icon]: brand.icon,
            [Piece.picture]: brand.picture,
        };
        return {
            sizeField: json.size_field,
            checksum: json.checksum,
            pieces: json.pieces.map(([kind, offset, size]) => sources[kind].subarray(offset, offset + size)),
        };
    }

    async respond(request) {
        const plan = await this.plan(request);
        const headers = new Headers();
        for (const [name, value] of plan.fields) {
            headers.append(name, value);
        }
        const init = { status: plan.status, headers };
        if (plan.content_length !== null) {
            headers.set("Content-Length", String(plan.content_length));
        }
        if (!plan.download) {
            return new Response(plan.send_body ? plan.text : null, init);
        }
        if (!plan.send_body) {
            return new Response(null, init);
        }
        return new Response(await this.body(plan.download), init);
    }

    // The bytes [first, last] of the download: the body's part from the
    // origin, its header fields patched as they pass, then the table's part.
    async body(download) {
        const pkg = this.packageData.get(download.package);
        const { first, last } = download;
        // The origin's answer is awaited while the tag is made.
        const bodyLast = Math.min(last, pkg.tableOffset - 1);
        const asked = first < pkg.tableOffset
            ? fetch(pkg.body, { headers: { Range: `bytes=${first}-${bodyLast}` } })
            : null;
        // Marked as handled: a failed tag leaves it unawaited.
        asked?.catch(() => {});
        const tagged = download.needs_tag ? await this.tag(download) : null;
        const patches = [];
        if (tagged) {
            patches.push([pkg.sizeOffset, tagged.sizeField]);
            if (tagged.checksum !== null) {
                patches.push([pkg.checksumOffset, tagged.checksum]);
            }
        }
        const origin = await asked;
        if (origin) {
            const expected = `bytes ${first}-${bodyLast}/${pkg.fileSize}`;
            if (origin.status !== 206 || origin.headers.get("Content-Range") !== expected) {
                origin.body?.cancel().catch(() => {});
                throw new EdgeError(502, `the origin answered ${origin.status} ` +
                    `(${origin.headers.get("Content-Range")}) for ${expected} of ${pkg.body}`);
            }
        }
        const tableParts = tagged ? slice(tagged.pieces, Math.max(first, pkg.tableOffset) - pkg.tableOffset,
            last + 1 - pkg.tableOffset) : [];
        const length = last + 1 - first;
        const { readable, writable } =
            typeof FixedLengthStream === "function" ? new FixedLengthStream(length) : new TransformStream();
        const headEnd = pkg.sizeOffset + kFieldSize;
        (async () => {
            let writer = writable.getWriter();
            try {
                if (origin) {
                    // The first chunks through this code, to patch the
                    // header fields; the rest piped as it is.
                    const reader = origin.body.getReader();
                    let position = first;
                    while (position < headEnd) {
                        const { done, value } = await reader.read();
                        if (done) {
                            break;
                        }
                        patch(value, position, patches);
                        await writer.write(value);
                        position += value.length;
                    }
                    reader.releaseLock();
                    writer.releaseLock();
                    await origin.body.pipeTo(writable, { preventClose: true });
                    writer = writable.getWriter();
                }
                for (const part of tableParts) {
                    await writer.write(part);
                }
                await writer.close();
            } catch (error) {
                await writer.abort(error).catch(() => {});
            }
        })();
        return readable;
    }
}

// Writes the fields (little-endian u32 at their offsets) into a chunk that
// lies at position in the download.
function patch(chunk, position, patches) {
    for (const [offset, value] of patches) {
        for (let i = 0; i < kFieldSize; ++i) {
            const at = offset + i - position;
            if (at >= 0 && at < chunk.length) {
                chunk[at] = (value >>> (8 * i)) & 0xff;
            }
        }
    }
}

// The parts of the pieces' concatenation that lie in [from, to).
function slice(pieces, from, to) {
    const parts = [];
    let start = 0;
    for (const piece of pieces) {
        const end = start + piece.length;
        const a = Math.max(from, start);
        const b = Math.min(to, end);
        if (a < b) {
            parts.push(piece.subarray(a - start, b - start));
        }
        start = end;
    }
    return parts;
}

let starting = null;

function startEdge(env) {
    if (!starting) {
        starting = Edge.start(env).catch((error) => {
            starting = null;
            throw error;
        });
    }
    return starting;
}

function failure(error) {
    const status = error instanceof EdgeError ? error.status : 500;
    return new Response(`${error.message}\n`, {
        status,
        headers: { "Content-Type": "text/plain; charset=utf-8", "X-Content-Type-Options": "nosniff" },
    });
}

export default {
    async fetch(request, env) {
        try {
            const edge = await startEdge(env);
            return await edge.respond(request);
        } catch (error) {
            return failure(error);
        }
    },
};
