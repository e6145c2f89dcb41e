#!/bin/bash
# The guest's job, run as its first process on the host's root (shared over
# 9p): mounts what programs expect, puts the folders named --in-memory and
# the Wine prefix into memory, runs the command as the host would (its
# environment, its folder), writes its output and exit status into the
# job's folder and powers the machine off.
# usage (from guest-init.sh): guest-job.sh JOB_FOLDER
job=$1

PowerOff() {
    sync
    echo o >/proc/sysrq-trigger
    sleep 60
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t tmpfs -o mode=755 tmpfs /run
# The root came with the guest's cache (reading programs and libraries
# over and over is what the guest does most). The host's tree once more,
# uncached, through a device of its own: what the guest writes there
# reaches the host at once, and no mount over a part of the root hides it.
host=/run/host
mkdir -p "$host"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=none hostroot "$host" || {
    echo "guest-job: cannot mount the host's root a second time"
    PowerOff
}
# What the command writes, and run32's own words, go where the host reads
# them as they come.
exec >>"$host$job/stdout" 2>>"$host$job/stderr"

Say() {
    echo "run32 (guest): $*" >&2
}

Finish() {
    echo "$1" >"$host$job/status"
    PowerOff
}

ip link set lo up 2>/dev/null || ifconfig lo up 2>/dev/null
hostname run32
touch "$host$job/booted"

# The cached root as it is, whatever is mounted over parts of it below.
cached=/run/cached
mkdir -p "$cached"
mount --bind / "$cached"

in_memory_root=/run/memory
mkdir -p "$in_memory_root"
mount -t tmpfs -o size=80% tmpfs "$in_memory_root"
prefix=$(cat "$job/wine-prefix")
loader=$(cat "$job/wine-loader")

# A copy of PATH in memory, mounted over PATH. A Wine prefix inside PATH is
# left out: it is put into memory of its own below.
index=0
while IFS= read -r path; do
    [ -n "$path" ] || continue
    index=$((index + 1))
    copy=$in_memory_root/$index
    if [ -d "$path" ]; then
        mkdir -p "$copy"
        excludes=()
        case "$prefix" in
            "$path"/*)
                inside=${prefix#"$path"/}
                excludes=(--anchored --exclude="./$inside" --exclude="./$inside.tar")
                ;;
        esac
        tar -C "$path" "${excludes[@]}" -cf - . | tar -C "$copy" -xf - ||
            { Say "cannot copy $path into memory"; Finish 125; }
    elif [ -f "$path" ]; then
        cp -a "$path" "$copy" ||
            { Say "cannot copy $path into memory"; Finish 125; }
    else
        Say "--in-memory $path: no such file or folder"
        Finish 125
    fi
    mount --bind "$copy" "$path"
done <"$job/in-memory"

# The Wine prefix in memory: unpacked from its tarball when one was made by
# this Wine, else made here and kept as the tarball for later runs. Wine's
# first boot under emulation may time out inside Wine: a second try follows.
# ".ready" is the mark the build's wine-run looks for before it would make
# a prefix itself.
MakeWinePrefix() {
    local attempt started=$SECONDS
    for attempt in 1 2; do
        Say "making the Wine prefix $prefix (attempt $attempt; minutes under emulation)"
        if WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
            timeout 1200 "$loader" wineboot -i >/dev/null 2>&1 &&
            WINEPREFIX=$prefix timeout 300 /usr/lib/wine/wineserver -w; then
            touch "$prefix/.ready"
            Say "made the Wine prefix in $((SECONDS - started)) s"
            python3 "$(dirname "$0")/link_wine_files.py" "$prefix" >&2
            return 0
        fi
        WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null
        find "$prefix" -mindepth 1 -delete
    done
    return 1
}

if [ -n "$prefix" ]; then
    archive=$prefix.tar
    wine_version=$("$loader" --version 2>/dev/null)
    mkdir -p "$prefix"
    # Tests make sparse files of several GiB in the prefix's temporary
    # folder: tmpfs refuses a file larger than its limit, whatever it holds.
    mount -t tmpfs -o size=64g tmpfs "$prefix"
    if [ -f "$cached$archive" ] &&
        [ "$(cat "$cached$archive.wine-version" 2>/dev/null)" = "$wine_version" ]; then
        started=$SECONDS
        tar -C "$prefix" -xf "$cached$archive" ||
            { Say "cannot unpack $prefix.tar"; Finish 125; }
        Say "unpacked the Wine prefix from $prefix.tar in $((SECONDS - started)) s"
    elif MakeWinePrefix; then
        # Written through the uncached mount, so the host has it whole.
        tar -C "$prefix" -cf "$host$archive.part" . &&
            mv "$host$archive.part" "$host$archive" &&
            echo "$wine_version" >"$host$archive.wine-version" &&
            Say "kept it as $archive ($(du -sh "$host$archive" | cut -f1)) for later runs"
    else
        Say "Wine could not make its prefix, twice"
        Finish 125
    fi
fi

# The command, in the host's environment and folder.
(
    # shellcheck disable=SC1091
    source "$job/environment"
    if [ -n "${TMPDIR:-}" ]; then
        mkdir -p "$TMPDIR"
    fi
    eval "exec $(cat "$job/command")"
) </dev/null &
wait $!
Finish $?
