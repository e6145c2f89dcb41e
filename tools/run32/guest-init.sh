#!/bin/busybox sh
# The guest's first process, in its initial file system: loads the modules
# that reach the host's root over 9p, mounts it and hands over to the job
# script there (tools/run32/guest-job.sh), which runs the command. The paths
# of the job's folder and of that script are files of this file system.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

PowerOff() {
    echo "guest-init: $*"
    echo o >/proc/sysrq-trigger
    sleep 30
}

for module in $(cat /modules.list); do
    insmod "/modules/$module" || PowerOff "cannot load $module"
done

job=$(cat /job)
script=$(cat /job-script)

mount -t 9p -o "trans=virtio,version=9p2000.L,msize=512000,cache=$(cat /cache-mode)" rootfs /newroot ||
    PowerOff "cannot mount the host's root over 9p"
[ -x "/newroot$script" ] || PowerOff "no job script at $script"
umount /proc /sys /dev
exec switch_root /newroot "$script" "$job"
