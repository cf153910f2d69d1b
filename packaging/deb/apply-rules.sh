# Tells a running udev to read its rules again and to apply them to the
# attached units' devices of the given subsystems, so that their names come
# or go without the units being plugged in again. A unit's devices are the
# tty and sound devices below its three USB functions (the MCU 0483:a1df and
# the FTDI bridge and codec beside it): no other device is touched. Where
# udev does not run (a chroot, a container, an image being built) there is
# no control socket and nothing is done; a failure of udevadm never fails
# the package.
kq6200_apply_rules() {
    [ -S /run/udev/control ] || return 0
    command -v udevadm > /dev/null 2>&1 || return 0
    udevadm control --reload || return 0
    for mcu in /sys/bus/usb/devices/*; do
        [ "$(cat "$mcu/idVendor" 2> /dev/null):$(cat "$mcu/idProduct" 2> /dev/null)" = 0483:a1df ] ||
            continue
        for usb in "$(readlink -f "$mcu/..")"/*; do
            case "$(cat "$usb/idVendor" 2> /dev/null):$(cat "$usb/idProduct" 2> /dev/null)" in
                0483:a1df|0403:6010|10c4:eac3) ;;
                *) continue ;;
            esac
            for subsystem in "$@"; do
                udevadm trigger --action=change --subsystem-match="$subsystem" \
                    --parent-match="$usb" || true
            done
        done
    done
}
