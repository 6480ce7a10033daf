#!/bin/busybox sh
# /init of the kernel suite's guest. Loads the USB and SCSI modules, then serves the host
# on the second serial port (/dev/ttyS1), one line per request:
#   RUN ID COMMAND...   runs the shell command in a fresh directory $KT; answers with
#                       "KT ID file NAME BASE64" (gzip, then base64) for every file the
#                       command left in $KT, then "KT ID rc=STATUS"
#   OFF                 powers off
# "KT ready" says the modules are loaded. The helpers below are what commands use.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# No modprobe here: requests for modules fail at once rather than waiting on a helper.
echo > /proc/sys/kernel/modprobe
while read -r module; do
    insmod "/lib/modules/$module" || echo "init: insmod $module failed" > /dev/kmsg
done < /lib/modules/order

# tool NAME ARG...: runs qp7730 in /kt (the files it loads) with standard input closed, with
# standard output, standard error and the exit status in $KT/NAME.out, .err and .rc.
tool() {
    name=$1
    shift
    (cd /kt && timeout -s KILL 60 qp7730 "$@") < /dev/null > "$KT/$name.out" 2> "$KT/$name.err"
    echo $? > "$KT/$name.rc"
}

# waitfor SECONDS TEST...: waits until the test (a shell condition) holds; status 1 when
# it still does not after SECONDS.
waitfor() {
    limit=$(($1 * 20))
    shift
    while ! "$@"; do
        limit=$((limit - 1))
        [ "$limit" -gt 0 ] || return 1
        usleep 50000
    done
}

# mark TEXT: a line in the kernel log, so that the host can split it by case.
mark() { echo "KT mark $*" > /dev/kmsg; }

# identity DISK: the INQUIRY text the tool prints for /dev/DISK (vendor, product and
# revision, padded as sysfs keeps them).
identity() {
    d=/sys/block/$1/device
    printf '%s%s%s' "$(cat "$d/vendor")" "$(cat "$d/model")" "$(cat "$d/rev")"
}
# drives: one line per SCSI disk, its name and identity.
drives() {
    for d in /sys/block/sd*; do
        [ -e "$d" ] && echo "${d##*/} $(identity "${d##*/}")"
    done
}
# ctl_drive: the letter of the controller's disk, once its node is there.
ctl_drive() {
    for d in /sys/block/sd*; do
        n=${d##*/}
        if [ -e "$d" ] && [ "$(identity "$n")" = "Generic Storage RamDisc 1.00" ] && [ -b "/dev/$n" ]; then
            echo "${n#sd}"
            return 0
        fi
    done
    return 1
}
no_ctl_drive() { ! ctl_drive > /dev/null; }
# ctl_intf: the controller's USB interface (3a7c:7730), as usb-storage names it.
ctl_intf() {
    for d in /sys/bus/usb/devices/*; do
        if [ "$(cat "$d/idVendor" 2> /dev/null)" = 3a7c ] && [ "$(cat "$d/idProduct")" = 7730 ]; then
            echo "${d##*/}:$(cat "$d/bConfigurationValue").0"
            return 0
        fi
    done
    return 1
}
ctl_unbind() { i=$(ctl_intf) && echo "$i" > /sys/bus/usb/drivers/usb-storage/unbind && waitfor 30 no_ctl_drive; }
ctl_bind() { i=$(ctl_intf) && echo "$i" > /sys/bus/usb/drivers/usb-storage/bind; }
# ctl_node: the controller's usbfs node.
ctl_node() {
    i=$(ctl_intf) || return 1
    d=/sys/bus/usb/devices/${i%%:*}
    printf '/dev/bus/usb/%03d/%03d\n' "$(cat "$d/busnum")" "$(cat "$d/devnum")"
}
# seat_node / root_node: the node given to the user at the seat (uid 1000) as the udev
# rule's uaccess would give it, and taken back.
seat_node() { n=$(ctl_node) && chown 1000:1000 "$n" && chmod 0660 "$n"; }
root_node() { n=$(ctl_node) && chown 0:0 "$n" && chmod 0660 "$n"; }
# seat NAME ARG...: like tool, as the user at the seat: uid 1000 in a group of its own, no
# capability (busybox's su, with the user in /etc/passwd).
seat() {
    name=$1
    shift
    grep -q '^seat:' /etc/passwd 2> /dev/null || {
        mkdir -p /etc
        echo 'root:x:0:0:root:/:/bin/sh' >> /etc/passwd
        echo 'seat:x:1000:1000:seat:/kt:/bin/sh' >> /etc/passwd
        echo 'root:x:0:' >> /etc/group
        echo 'seat:x:1000:' >> /etc/group
    }
    words=""
    for w in "$@"; do words="$words '$w'"; done
    (cd /kt && timeout -s KILL 60 su -s /bin/sh seat -c "exec qp7730 $words") < /dev/null \
        > "$KT/$name.out" 2> "$KT/$name.err"
    echo $? > "$KT/$name.rc"
}
# no_usb / usb_back: the usbfs nodes hidden under a tmpfs and shown again, so that a run as
# root takes the drive route although it could take the interface from usb-storage.
no_usb() { mount -t tmpfs -o mode=0755 none /dev/bus/usb; }
usb_back() { umount /dev/bus/usb; }

stty -F /dev/ttyS1 raw -echo
exec 3<> /dev/ttyS1
echo "KT ready" >&3
n=0
while read -r verb id command <&3; do
    case "$verb" in
    RUN)
        : > "/tmp/kt-taken.$id"  # for the host to tell a lost request from a lost answer
        n=$((n + 1))
        KT=/tmp/kt/$n
        mkdir -p "$KT"
        (cd "$KT" && eval "$command") > "$KT/command.out" 2>&1
        rc=$?
        for f in "$KT"/*; do
            [ -f "$f" ] && echo "KT $id file ${f##*/} $(gzip -c "$f" | base64 -w 0)" >&3
        done
        rm -rf "$KT"
        echo "KT $id rc=$rc" >&3
        ;;
    OFF)
        sync
        poweroff -f
        ;;
    esac
done
poweroff -f
