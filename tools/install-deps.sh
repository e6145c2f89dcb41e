#!/usr/bin/env bash
# Installs, from Debian's archive, whatever the builds and tests need and this
# machine lacks. Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
    g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
    wine wine64 wine32:i386
    xvfb xdotool x11-apps imagemagick
    osslsigncode openssl libssl-dev
    # A PKCS#11 token and OpenSSL's engine for it: the signature-shape test
    # signs with a key held in a SoftHSM2 token, as vendors sign with an HSM.
    softhsm2 libengine-pkcs11-openssl
    libgtest-dev googletest libbenchmark-dev
    # GNU time: the peak memory of a command, for tests and benchmarks.
    python3 file time
    libboost-dev nlohmann-json3-dev libcli11-dev libre2-dev pkg-config curl nginx wrk libssl-dev
    dpkg-dev zip unzip systemd
    # A virtual machine for 32-bit Wine where the kernel cannot execute
    # 32-bit programs (tools/run32): qemu, a kernel with its modules, and
    # what its initial file system is made of.
    qemu-system-x86 linux-image-amd64 busybox-static cpio kmod iproute2
    # The edge's WebAssembly module (the wasm preset); its optimiser runs on
    # Node.js, which the edge's tests (workerd, from npm) need too.
    emscripten
)

# Node.js runs the documented link-signing snippet in the tests; a machine that
# has a Node.js of its own (another vendor's package) keeps it.
if ! command -v node >/dev/null 2>&1; then
    packages+=(nodejs npm)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

# The edge's test runtime: workerd, from the npm registry at the versions
# edge/package-lock.json pins (a binary inside the npm package), again
# whenever the lockfile is newer than what was installed.
install_edge_packages() {
    local edge
    edge="$(dirname "$0")/../edge"
    if [ ! -x "$edge/node_modules/.bin/workerd" ] ||
        [ "$edge/package-lock.json" -nt "$edge/node_modules/.package-lock.json" ]; then
        echo "Installing edge/'s npm packages (npm ci)"
        (cd "$edge" && npm ci --no-audit --no-fund --loglevel=error)
    fi
}

if [ ${#missing[@]} -eq 0 ]; then
    install_edge_packages
    exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
# A mirror in the middle of a sync serves an index that does not match its
# release file; apt then keeps what it had. Try again a few times, then go
# on with what there is: the install below says whether it was enough.
for attempt in 1 2 3; do
    if $SUDO apt-get update -qq; then
        break
    fi
    if [ "$attempt" -eq 3 ]; then
        echo "install-deps: apt-get update failed three times; installing from the indexes apt has" >&2
    else
        sleep 20
    fi
done
if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null; then
    echo "install-deps: apt-get could not install: ${missing[*]}" >&2
    exit 1
fi
install_edge_packages
