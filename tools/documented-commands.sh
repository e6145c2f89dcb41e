#!/usr/bin/env bash
# Runs every command that the README and docs/ give a user to run, once and
# with its smallest settings, so that a documented command that stops working
# fails CI: the README's walk-through, the main job, the benchmarks (a second
# a figure, a few downloads, small packages), the fuzz targets (5 s each), the
# release, and the blocks of docs/ that a user runs, taken from the pages
# themselves: the packaging workflow, re-tagging, untagging, the stub's
# identity and its rebuild, signed tags (made, inspected, and checked by hand
# with openssl), tvkserve with the documented configuration, signed links
# minted by the Python and JavaScript snippets and by tvkserve sign-url, and
# the worked example's HMAC.
#
# Each command is printed before it runs; every command runs even when one
# before it failed, and the end names those that failed (exit status 1).
# Not run: what needs root on a real machine (apt install of a release,
# systemctl, journalctl), Windows itself (setup.exe /S), a release tag to
# check out, and what tools/test-all.sh runs as a user would anyway
# (tools/install-deps.sh, tools/wine-tests.sh, tools/run32/run32.sh).
#   tools/documented-commands.sh
#   TVK_DOCUMENTED_SKIP="main-job release" tools/documented-commands.sh
#                                   (leaves out the commands so named)
# Names: readme-walkthrough, packaging, signed-tags, serving, signed-links,
# bench-serve, bench, bench-edge, fuzz, release, main-job.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

tools/install-deps.sh

echo "== Building what the documented commands use (native tvkpack and tvkserve, the win32 stub)"
build() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" --target "${@:2}" >/dev/null
}
build native tvkpack tvkserve tvk_test_fixtures
build win32 tvkstub test_installer
# The pages name the programs as a user who installed them does.
export PATH="$source_dir/build/native/tools:$PATH"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The fenced block of LANGUAGE in FILE that holds MARKER (the first one).
block() {
    python3 - "$@" <<'PY'
import re, sys
path, language, marker = sys.argv[1:4]
for block in re.findall(r"^```" + re.escape(language) + r"\n(.*?)^```$", open(path).read(), re.M | re.S):
    if marker in block:
        sys.stdout.write(block)
        sys.exit(0)
sys.exit(f"{path} has no {language} block that holds {marker!r}")
PY
}

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

failed=()
# A page that no longer holds a block a step takes from it ends the run here,
# naming the step.
step=setup
trap 'echo "== $step: FAILED: its commands could not be taken from the pages"' ERR
# run NAME COMMAND...: prints the command, runs it and notes a failure.
run() {
    local name=$1 status=0 start=$SECONDS
    shift
    case " ${TVK_DOCUMENTED_SKIP:-} " in
    *" $name "*)
        echo "== $name: skipped (TVK_DOCUMENTED_SKIP)"
        return
        ;;
    esac
    echo "== $name: $*"
    "$@" || status=$?
    if [ "$status" -eq 0 ]; then
        echo "== $name: passed ($((SECONDS - start)) s)"
    else
        echo "== $name: FAILED with exit status $status ($((SECONDS - start)) s)"
        failed+=("$name")
    fi
}

# run_blocks NAME FOLDER SCRIPT: runs a script made of documented blocks
# under bash -euo pipefail in FOLDER, after printing it. A server a block
# started is stopped when the script ends, however it ends.
run_blocks() {
    sed 's/^/    | /' "$3"
    {
        echo 'trap '"'"'kill $(jobs -p) 2>/dev/null || true'"'"' EXIT'
        cat "$3"
    } >"$3.run"
    run "$1" bash -c 'cd "$1" && bash -euo pipefail "$2"' - "$2" "$3.run"
}

# A folder holding what the pages' examples name: the build (as in the source
# tree), an installer, a throwaway certificate, parameters, icons and
# pictures.
example_folder() {
    local folder=$1
    mkdir -p "$folder"
    ln -s "$source_dir/build" "$folder/build"
    cp build/win32/tests/test_installer.exe "$folder/MyInstaller.exe"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$folder/key.pem" -out "$folder/cert.pem" \
        -days 1 -subj "/CN=Documented Commands" 2>/dev/null
    cp tools/sample/params.json "$folder/params.json"
    printf '{"product":"Demo","brand":"ACME"}\n' >"$folder/acme.json"
    convert -size 32x32 xc:'#1e90ff' "$folder/brand.ico"
    convert -size 32x32 xc:'#ff8c00' "$folder/acme.ico"
    convert -size 96x64 xc:orange "BMP3:$folder/banner.bmp"
    convert -size 96x64 xc:navy "BMP3:$folder/acme.bmp"
}

# --- The README's walk-through, from the source tree ----------------------
step=readme-walkthrough
port=$(free_port)
block README.md sh 'tvkpack embed' | sed "s/127\.0\.0\.1:8080/127.0.0.1:$port/g" \
    >"$work/walkthrough.sh"
rm -rf build/try
run_blocks readme-walkthrough "$source_dir" "$work/walkthrough.sh"
rm -rf build/try

# --- docs/packaging.md: make, re-tag, untag and identify a package ---------
step=packaging
example_folder "$work/packaging"
{
    block docs/packaging.md sh '# 1. The installer behind'
    block docs/packaging.md sh 'setup-acme.exe'
    block docs/packaging.md sh 'untag setup.exe'
    block docs/packaging.md sh 'stub-id setup.exe'
} >"$work/packaging.sh"
# The stub's rebuild runs in the source tree.
{
    echo "cd '$source_dir'"
    block docs/packaging.md sh '--target tvkstub'
} >>"$work/packaging.sh"
run_blocks packaging "$work/packaging" "$work/packaging.sh"

# --- docs/trust.md and docs/format.md: a signed tag, checked by hand -------
step=signed-tags
example_folder "$work/signed-tags"
{
    block docs/packaging.md sh '# 1. The installer behind' | grep -v 'inspect setup.exe'
    block docs/trust.md sh 'tvkpack tag-key --key'
    block docs/trust.md sh '--sign-key tag-key.pem'
    # What the installer is handed: the signed parameters text, as tvkpack
    # reads it from the package, and the tag's icon and picture.
    echo "tvkpack inspect setup.exe --json |"
    echo "    python3 -c 'import json, sys; sys.stdout.write(json.load(sys.stdin)[\"parameters\"])' >params.json"
    echo "grep -q tvk_sig params.json"
    block docs/format.md sh 'openssl dgst -sha256 -verify'
} >"$work/signed-tags.sh"
run_blocks signed-tags "$work/signed-tags" "$work/signed-tags.sh"

# --- docs/serving.md: tvkserve with the documented configuration -----------
step=serving
example_folder "$work/serving"
port=$(free_port)
{
    block docs/packaging.md sh '# 1. The installer behind' | grep -v 'inspect setup.exe'
    echo "cat >serve.json <<'JSON'"
    block docs/serving.md json '"campaign"' | sed "s/127\.0\.0\.1:8080/127.0.0.1:$port/"
    echo "JSON"
    block docs/serving.md sh 'tvkserve --config serve.json' | sed 's/$/ \&/'
    # The URL and the parameters text that the page gives as its example: the
    # download is what tvkpack tag makes of them.
    python3 - docs/serving.md "$port" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
params, query = re.search(r"e\.g\. `(\{[^`]*\})`\s+for\s+`(\?[^`]*)`", text).groups()
print(f"printf '%s' '{params}' >expected.json")
print(f"curl -fsS --retry 20 --retry-connrefused --retry-delay 1 -o Setup.exe "
      f"'http://127.0.0.1:{sys.argv[2]}/download/setup{query}'")
PY
    echo "kill \$!"
    echo "tvkpack tag setup-signed.exe -o expected.exe --params expected.json --icon acme.ico --picture acme.bmp"
    echo "cmp Setup.exe expected.exe"
} >"$work/serving.sh"
run_blocks serving "$work/serving" "$work/serving.sh"

# --- Signed links: the snippets, sign-url and the worked example ----------
step=signed-links
example_folder "$work/signed-links"
port=$(free_port)
{
    block docs/packaging.md sh '# 1. The installer behind' | grep -v 'inspect setup.exe'
    # The keys: k1 the worked example's, k2 made as the page makes one.
    python3 - docs/serving.md <<'PY'
import re, sys
text = open(sys.argv[1]).read()
print("printf '%s\\n' '" + re.search(r"its key file holds\s+`([A-Za-z0-9_-]+)`", text).group(1) +
      "' >links-k1.key")
print(re.search(r"make one with `(openssl rand[^`]*)`", text.replace("\n", " ")).group(1))
PY
    # The documented configuration with the documented links member.
    echo "cat >serve.json <<'JSON'"
    python3 - docs/serving.md "$port" <<'PY'
import json, re, sys
text = open(sys.argv[1]).read()
blocks = re.findall(r"^```json\n(.*?)^```$", text, re.M | re.S)
config = json.loads(next(b for b in blocks if '"campaign"' in b))
config.update(json.loads("{" + next(b for b in blocks if '"links"' in b) + "}"))
config["listen"] = f"127.0.0.1:{sys.argv[2]}"
print(json.dumps(config, indent=1))
PY
    echo "JSON"
    echo "tvkserve --config serve.json &"
    block docs/trust.md python 'def sign_link' >"$work/sign_link.py"
    block docs/trust.md javascript 'function signLink' >"$work/sign_link.js"
    echo "cp '$work/sign_link.py' '$work/sign_link.js' ."
    echo "url='http://127.0.0.1:$port/download/setup?brand=acme&ref=partner-7'"
    echo "curl -fsS --retry 20 --retry-connrefused --retry-delay 1 -o /dev/null \"\$(python3 sign_link.py links-k1.key k1 \"\$url\")\""
    echo "curl -fsS -o /dev/null \"\$(node sign_link.js links-k2.key k2 \"\$url\")\""
    echo "curl -fsS -o /dev/null \"\$(tvkserve sign-url --key-file links-k2.key --key k2 --expires-in 600 \"\$url\")\""
    echo "kill \$!"
    # The worked example: the HMAC and sign-url give the page's signature.
    python3 - docs/serving.md <<'PY'
import re, sys
text = open(sys.argv[1]).read()
blocks = re.findall(r"^```sh\n(.*?)^```$", text, re.M | re.S)
hmac = next(b for b in blocks if "-mac HMAC" in b)
sign_url = next(b for b in blocks if "tvkserve sign-url" in b)
signature = re.search(r"^# (\S+)$", hmac, re.M).group(1)
link = re.search(r"and the link is\s+`([^`]+)`", text).group(1)
print("[ \"$(\n" + hmac + ")\" = '" + signature + "' ]")
print("[ \"$(\n" + sign_url + ")\" = '" + link + "' ]")
PY
} >"$work/signed-links.sh"
run_blocks signed-links "$work/signed-links" "$work/signed-links.sh"

# --- The scripts, with their smallest settings ------------------------------
trap - ERR
run bench-serve env BENCH_SECONDS=1 BENCH_DOWNLOADS=20 BENCH_HOLD_SECONDS=2 BENCH_PACKAGE_MIB=4 \
    tools/bench-serve.sh
run bench env BENCH_REPETITIONS=2 BENCH_WINE_RUNS=1 BENCH_TVKPACK_RUNS=1 BENCH_TVKPACK_MIB=8 \
    tools/bench.sh
run bench-edge env BENCH_SECONDS=1 BENCH_PACKAGE_MIB=4 BENCH_PROBES=3 BENCH_CPU_DOWNLOADS=3 \
    tools/bench-edge.sh
run fuzz tools/fuzz.sh 5
run release tools/release.sh
run main-job tools/main-job.sh

if [ ${#failed[@]} -gt 0 ]; then
    echo "== documented commands that failed: ${failed[*]}"
    exit 1
fi
echo "== every documented command ran"
