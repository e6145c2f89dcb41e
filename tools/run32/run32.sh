#!/usr/bin/env bash
# run32: runs a command under a kernel that executes 32-bit programs, so
# that 32-bit Wine can start: on this machine where its kernel can, or else
# inside a virtual machine (qemu, software emulation) whose kernel can. The
# guest's root file system is this machine's own /, shared over 9p: it sees
# the same tree, tools and Wine, and what it writes lands here. The
# command's standard output and standard error come back as they are
# written, and its exit status is run32's.
#
#   tools/run32/run32.sh [OPTIONS] -- COMMAND [ARGUMENT...]
#
# Options:
#   --timeout SECONDS   the command's time limit, boot included (default 3600)
#   --in-memory PATH    (virtual machine only) the command sees a copy of
#                       PATH (a file or a folder) in the guest's memory:
#                       programs that Wine maps from the 9p share may read
#                       as zeros, so run them from memory. What the command
#                       writes there is lost at the end. May be repeated.
#   --wine-prefix DIR   (virtual machine only) the Wine prefix the command
#                       uses lies in the guest's memory: unpacked from
#                       DIR.tar, or made once and kept there (making one on
#                       the 9p share times out under emulation).
#
# The environment:
#   TVK_RUN32=auto|direct|vm   auto (default): direct where 32-bit Wine starts
#                              here, else the virtual machine
#   TVK_RUN32_ACCEL=tcg|kvm    tcg (default): software emulation; kvm only
#                              where hardware virtualisation really works
#   TVK_RUN32_MEMORY           the guest's memory in MiB (default 6144)
#   TVK_RUN32_CPUS             the guest's processors (default: this machine's)
#   TVK_RUN32_BOOT_TIMEOUT     seconds until the guest must run the command
#                              (default 300)
#   TVK_RUN32_WORK             where jobs are prepared (default build/run32)
#
# Exit status: the command's; 124 when the command ran out of time; 125
# when the command could not be run at all (no qemu, no kernel, the guest
# did not boot or stopped early), with the reason on standard error. There
# is no fallback that skips: where neither way works, run32 fails.
set -uo pipefail

readonly kWineLoader=/usr/lib/wine/wine
readonly kStatusTimedOut=124
readonly kStatusCannotRun=125
# The modules that reach the shared root: virtio over PCI and 9p over it.
readonly kGuestModules="virtio_pci 9pnet_virtio 9p"
# A processor model that 32-bit Wine runs on under software emulation
# ("max" made 32-bit programs die with kernel oopses at iret).
readonly kTcgCpu="qemu64,+ssse3,+sse4.1,+sse4.2,+popcnt"

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)

fail() {
    echo "run32: $*" >&2
    exit "$kStatusCannotRun"
}

usage() {
    echo "usage: tools/run32/run32.sh [--timeout SECONDS] [--in-memory PATH]..." \
        "[--wine-prefix DIR] -- COMMAND [ARGUMENT...]" >&2
    exit 2
}

timeout_seconds=3600
in_memory=()
wine_prefix=
while [ $# -gt 0 ]; do
    case "$1" in
        --timeout)
            [ $# -ge 2 ] && [[ "$2" =~ ^[1-9][0-9]*$ ]] || usage
            timeout_seconds=$2
            shift 2
            ;;
        --in-memory)
            [ $# -ge 2 ] || usage
            in_memory+=("$(realpath -m "$2")")
            shift 2
            ;;
        --wine-prefix)
            [ $# -ge 2 ] || usage
            wine_prefix=$(realpath -m "$2")
            shift 2
            ;;
        --)
            shift
            break
            ;;
        *) usage ;;
    esac
done
[ $# -gt 0 ] || usage

HostRuns32Bit() {
    "$kWineLoader" --version >/dev/null 2>&1
}

RunDirect() {
    timeout --kill-after=10 "$timeout_seconds" "$@"
    local status=$?
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        echo "run32: the command timed out after $timeout_seconds s" >&2
        exit "$kStatusTimedOut"
    fi
    exit "$status"
}

mode=${TVK_RUN32:-auto}
case "$mode" in
    auto)
        if HostRuns32Bit; then
            RunDirect "$@"
        fi
        ;;
    direct)
        HostRuns32Bit || fail "TVK_RUN32=direct, but $kWineLoader does not start on this machine"
        RunDirect "$@"
        ;;
    vm) ;;
    *) fail "TVK_RUN32 is '$mode', not auto, direct or vm" ;;
esac

# --- The virtual machine -----------------------------------------------------

qemu=$(command -v qemu-system-x86_64) ||
    fail "this machine cannot execute 32-bit programs and has no qemu-system-x86_64" \
        "to run them in a virtual machine (tools/install-deps.sh installs qemu-system-x86)"
command -v cpio >/dev/null || fail "no cpio to make the guest's initial file system"
busybox=$(command -v busybox) || fail "no busybox for the guest's initial file system" \
    "(tools/install-deps.sh installs busybox-static)"
file -L "$busybox" | grep -q "statically linked" ||
    fail "$busybox is not statically linked (install busybox-static)"

# The newest installed kernel that runs 32-bit programs and whose modules
# are installed: found by what is there, not by a version named here.
FindKernel() {
    local image version
    for image in $(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -rV); do
        version=${image#/boot/vmlinuz-}
        [ -r "$image" ] && [ -f "/lib/modules/$version/modules.dep" ] || continue
        grep -qx "CONFIG_IA32_EMULATION=y" "/boot/config-$version" 2>/dev/null || continue
        echo "$version"
        return 0
    done
    return 1
}
kernel_version=$(FindKernel) ||
    fail "no kernel for the virtual machine: /boot holds no vmlinuz with its modules" \
        "and IA32 emulation (tools/install-deps.sh installs linux-image-amd64)"
kernel=/boot/vmlinuz-$kernel_version

work_root=${TVK_RUN32_WORK:-$repo/build/run32}
mkdir -p "$work_root" || fail "cannot make $work_root"
job=$(mktemp -d "$work_root/job.XXXXXX") || fail "cannot make a job folder in $work_root"
qemu_pid=
tail_pids=()
Cleanup() {
    if [ -n "$qemu_pid" ]; then
        kill -9 "$qemu_pid" 2>/dev/null
        wait "$qemu_pid" 2>/dev/null
    fi
    for pid in "${tail_pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    rm -rf "$job"
}
trap Cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The initial file system: busybox, the modules (with what they depend on,
# in load order, uncompressed for busybox's insmod) and the first script.
MakeInitialFileSystem() {
    local root=$job/initramfs module line path
    mkdir -p "$root/bin" "$root/modules" "$root/proc" "$root/sys" "$root/dev" "$root/newroot"
    cp "$busybox" "$root/bin/busybox"
    cp "$here/guest-init.sh" "$root/init"
    chmod 755 "$root/init"
    printf '%s' "$job" >"$root/job"
    printf '%s' "$here/guest-job.sh" >"$root/job-script"
    printf "%s" "${TVK_RUN32_9P_CACHE:-loose}" >"$root/cache-mode"
    : >"$root/modules.list"
    for module in $kGuestModules; do
        while read -r line; do
            case "$line" in
                insmod\ *) path=${line#insmod } ;;
                *) continue ;;
            esac
            path=${path%% *}
            local name
            name=$(basename "$path")
            name=${name%.xz}
            name=${name%.zst}
            name=${name%.gz}
            grep -qx "$name" "$root/modules.list" && continue
            case "$path" in
                *.xz) xz -dc "$path" >"$root/modules/$name" ;;
                *.zst) zstd -qdc "$path" >"$root/modules/$name" ;;
                *.gz) gzip -dc "$path" >"$root/modules/$name" ;;
                *) cp "$path" "$root/modules/$name" ;;
            esac || return 1
            echo "$name" >>"$root/modules.list"
        done < <(modprobe -S "$kernel_version" --show-depends "$module" 2>/dev/null)
        grep -q "^$module\.ko$" "$root/modules.list" || return 1
    done
    (cd "$root" && find . | cpio -o -H newc --quiet) >"$job/initramfs.cpio"
}
MakeInitialFileSystem ||
    fail "cannot make the guest's initial file system from the modules of $kernel_version"

accel=${TVK_RUN32_ACCEL:-tcg}
case "$accel" in
    tcg)
        machine=(-accel tcg,thread=multi -cpu "$kTcgCpu")
        time_scale=10
        ;;
    kvm)
        machine=(-accel kvm -cpu host)
        time_scale=2
        ;;
    *) fail "TVK_RUN32_ACCEL is '$accel', not tcg or kvm" ;;
esac

# What the guest needs to run the command as it would run here: the
# environment, the folder, the command and the options.
{
    export -p | grep -vE '^declare -x (BASHOPTS|BASH_|SHELLOPTS|SHLVL|OLDPWD|PWD|_|DISPLAY|XAUTHORITY|WAYLAND_DISPLAY)='
    printf 'cd %q || exit 125\n' "$PWD"
    # Tests scale their waits by this factor: everything is slower in the
    # guest, and under software emulation many times so.
    printf 'export TVK_TIME_SCALE=%q\n' "${TVK_TIME_SCALE:-$time_scale}"
} >"$job/environment"
printf '%q ' "$@" >"$job/command"
printf '%s\n' "${in_memory[@]}" >"$job/in-memory"
printf '%s' "$wine_prefix" >"$job/wine-prefix"
printf '%s' "$kWineLoader" >"$job/wine-loader"
: >"$job/stdout"
: >"$job/stderr"
if [ -n "$wine_prefix" ]; then
    mkdir -p "$wine_prefix" || fail "cannot make $wine_prefix"
fi

cpus=${TVK_RUN32_CPUS:-$(nproc)}
memory=${TVK_RUN32_MEMORY:-6144}
boot_timeout=${TVK_RUN32_BOOT_TIMEOUT:-300}

if [ "$mode" = vm ]; then
    why="TVK_RUN32=vm"
else
    why="this machine cannot execute 32-bit programs"
fi
echo "run32: $why; running the command in a virtual machine (kernel $kernel_version," \
    "$accel, $cpus processors, $memory MiB)" >&2
start=$SECONDS
"$qemu" "${machine[@]}" -smp "$cpus" -m "$memory" \
    -display none -monitor none -no-reboot -nodefaults \
    -serial "file:$job/console.log" \
    -kernel "$kernel" -initrd "$job/initramfs.cpio" \
    -append "console=ttyS0 panic=-1 quiet" \
    -virtfs local,path=/,mount_tag=rootfs,security_model=passthrough,multidevs=remap \
    -virtfs local,path=/,mount_tag=hostroot,security_model=passthrough,multidevs=remap \
    </dev/null >"$job/qemu.log" 2>&1 &
qemu_pid=$!

tail -n +1 -F --pid="$qemu_pid" "$job/stdout" 2>/dev/null &
tail_pids+=($!)
tail -n +1 -F --pid="$qemu_pid" "$job/stderr" >&2 2>/dev/null &
tail_pids+=($!)

ConsoleTail() {
    echo "run32: the guest's console ended with:" >&2
    tail -n 15 "$job/console.log" 2>/dev/null | sed 's/^/    /' >&2
    tail -n 5 "$job/qemu.log" 2>/dev/null | sed 's/^/    /' >&2
}

booted=
while kill -0 "$qemu_pid" 2>/dev/null; do
    elapsed=$((SECONDS - start))
    if [ -z "$booted" ] && [ -f "$job/booted" ]; then
        booted=yes
        echo "run32: the guest was up after $elapsed s" >&2
    fi
    if [ -z "$booted" ] && [ "$elapsed" -ge "$boot_timeout" ]; then
        ConsoleTail
        fail "the virtual machine did not boot within $boot_timeout s"
    fi
    if [ "$elapsed" -ge "$timeout_seconds" ]; then
        kill -9 "$qemu_pid" 2>/dev/null
        wait "$qemu_pid" 2>/dev/null
        qemu_pid=
        echo "run32: the command timed out after $timeout_seconds s; the virtual machine" \
            "was stopped" >&2
        exit "$kStatusTimedOut"
    fi
    sleep 1
done
wait "$qemu_pid"
qemu_status=$?
qemu_pid=
# Let the readers pass on what the guest wrote last.
for pid in "${tail_pids[@]}"; do
    wait "$pid" 2>/dev/null
done
tail_pids=()

if [ ! -s "$job/status" ]; then
    ConsoleTail
    if [ -z "$booted" ]; then
        fail "the virtual machine stopped (qemu status $qemu_status) before it ran the command"
    fi
    fail "the virtual machine stopped (qemu status $qemu_status) before the command finished"
fi
status=$(cat "$job/status")
echo "run32: the command ended with status $status after $((SECONDS - start)) s in the" \
    "virtual machine" >&2
exit "$status"
