"""umockdev test beds of KQ-6200 units as the Linux kernel and udev show them.

A unit is a USB 2.0 hub of its own with three functions on ports 1 to 3: the
MCU 0483:a1df (two CDC ACM functions, interfaces 0+1 and 2+3, ttyACM), the
FTDI FT2232 0403:6010 (channels A and B, ftdi_sio, ttyUSB) and the audio
codec 10c4:eac3 (snd-usb-audio: audio control 0, a vendor interface 1 that no
driver takes, audio streaming 2; one sound card with a playback and a capture
PCM). Each device block is in umockdev's own text format: P: the path below
/sys, N: the node below /dev, E: udev properties, A: sysfs attributes, L: links.
"""

PCI = "/devices/pci0000:00/0000:00:14.0"


def block(path, props=(), attrs=(), links=(), node=None):
    lines = [f"P: {path}"]
    if node:
        lines.append(f"N: {node}")
    lines += [f"E: {k}={v}" for k, v in props]
    lines += [f"A: {k}={v}" for k, v in attrs]
    lines += [f"L: {k}={v}" for k, v in links]
    return "\n".join(lines) + "\n\n"


def driver_link(path, driver, bus="usb"):
    depth = path.count("/") - 1
    return ("driver", "../" * depth + f"bus/{bus}/drivers/{driver}")


def usb_device(path, vid, pid, product, serial=None, manufacturer=None, cls="00", speed="480"):
    busnum = path.split("/usb")[1].split("/")[0]
    name = path.rsplit("/", 1)[1]
    attrs = [("idVendor", vid), ("idProduct", pid), ("product", product),
             ("bDeviceClass", cls), ("speed", speed), ("busnum", busnum)]
    if serial:
        attrs.append(("serial", serial))
    if manufacturer:
        attrs.append(("manufacturer", manufacturer))
    props = [("SUBSYSTEM", "usb"), ("DEVTYPE", "usb_device"), ("DRIVER", "usb"),
             ("PRODUCT", f"{int(vid, 16):x}/{int(pid, 16):x}/100")]
    return block(path, props, attrs, [driver_link(path, "usb")],
                 node=f"bus/usb/{int(busnum):03d}/{sum(map(ord, name)) % 120 + 2:03d}")


def usb_interface(path, number, cls, driver=None, name=None):
    attrs = [("bInterfaceNumber", f"{number:02x}"), ("bInterfaceClass", cls)]
    if name:
        attrs.append(("interface", name))
    props = [("SUBSYSTEM", "usb"), ("DEVTYPE", "usb_interface")]
    links = []
    if driver:
        props.append(("DRIVER", driver))
        links.append(driver_link(path, driver))
    return block(path, props, attrs, links)


def tty(path, name, major, minor, links, extra=()):
    props = [("SUBSYSTEM", "tty"), ("DEVNAME", f"/dev/{name}"), ("MAJOR", str(major)),
             ("MINOR", str(minor)), ("DEVLINKS", " ".join(links)), *extra]
    return block(path, props, [("dev", f"{major}:{minor}")], node=name)


def ruled(serial, role):
    """What the packaged udev rules add to a port: its link, and the
    properties that keep ModemManager away and let the user at the desk in."""
    return ([f"/dev/kq6200/{serial}/{role}"],
            [("ID_MM_DEVICE_IGNORE", "1"), ("TAGS", ":uaccess:"), ("CURRENT_TAGS", ":uaccess:")])


def root_hub(bus=1):
    return (block(PCI, [("SUBSYSTEM", "pci"), ("DRIVER", "xhci_hcd")],
                  [("vendor", "0x8086"), ("device", "0xa36d")])
            + usb_device(f"{PCI}/usb{bus}", "1d6b", "0002", "xHCI Host Controller",
                         serial="0000:00:14.0", cls="09")
            + usb_interface(f"{PCI}/usb{bus}/{bus}-0:1.0", 0, "09", "hub"))


def hub(parent, port, vid="05e3", pid="0608", product="USB2.0 Hub"):
    """A hub on `port` of the device at `parent`; returns (text, its path)."""
    name = parent.rsplit("/", 1)[1]
    own = f"{name}.{port}" if "-" in name else f"{name[3:]}-{port}"
    path = f"{parent}/{own}"
    return (usb_device(path, vid, pid, product, cls="09")
            + usb_interface(f"{path}/{own}:1.0", 0, "09", "hub")), path


def unit(parent, port, serial, ftdi_serial, acm=(0, 1), usb=(0, 1), card=1,
         ftdi_driver=True, codec_driver=True, mcu_driver=True, with_mcu=True, rules=False,
         by_id=True, label=None):
    """A whole KQ-6200 on `port` of the device at `parent`; its MCU's USB
    serial is "2051" and `serial`. Without `with_mcu` the MCU function is missing;
    with `rules` the packaged udev rules have named it; without `by_id` its
    ports have no links at all (udev's own rules did not run); with `label`
    the labelling rules have labelled it too. Returns (text, the unit's hub
    path)."""
    text, unit_hub = hub(parent, port)
    own = unit_hub.rsplit("/", 1)[1]
    mcu, ftdi, codec = (f"{unit_hub}/{own}.{p}" for p in (1, 2, 3))
    mcu_name, ftdi_name, codec_name = (p.rsplit("/", 1)[1] for p in (mcu, ftdi, codec))

    labelled = [("KQ6200_SERIAL", serial), ("KQ6200_LABEL", label)] if label else []

    def named(role, links):
        extra_links, props = ruled(serial, role) if rules else ([], [])
        if label:
            extra_links = [f"/dev/kq6200/{label}/{role}"] + extra_links
        return extra_links + (links if by_id else []), props + labelled

    if with_mcu:
        text += usb_device(mcu, "0483", "a1df", "KQ-6200", serial=f"2051{serial}",
                           manufacturer="Quorvanta")
    for number, cls, channel in ((0, "02", 0), (1, "0a", None), (2, "02", 1), (3, "0a", None)):
        if not with_mcu:
            break
        path = f"{mcu}/{mcu_name}:1.{number}"
        text += usb_interface(path, number, cls, "cdc_acm" if mcu_driver else None)
        if channel is not None and mcu_driver:
            name = f"ttyACM{acm[channel]}"
            links, props = named(("winkey", "fsk")[channel],
                                 [f"/dev/serial/by-id/usb-Quorvanta_KQ-6200_2051{serial}-if{number:02d}",
                                  f"/dev/serial/by-path/pci-0000:00:14.0-usb-0:{own[2:]}.1:1.{number}"])
            text += tty(f"{path}/tty/{name}", name, 166, acm[channel], links, props)

    text += usb_device(ftdi, "0403", "6010", "Dual RS232-HS", serial=ftdi_serial,
                       manufacturer="FTDI")
    for number in (0, 1):
        path = f"{ftdi}/{ftdi_name}:1.{number}"
        text += usb_interface(path, number, "ff", "ftdi_sio" if ftdi_driver else None,
                              name="Dual RS232-HS")
        if ftdi_driver:
            name = f"ttyUSB{usb[number]}"
            text += block(f"{path}/{name}", [("SUBSYSTEM", "usb-serial"), ("DRIVER", "ftdi_sio")],
                          [("port_number", "0")])
            links, props = named(("cat", "ptt")[number],
                                 [f"/dev/serial/by-id/usb-FTDI_Dual_RS232-HS_{ftdi_serial}-if{number:02d}-port0",
                                  f"/dev/serial/by-path/pci-0000:00:14.0-usb-0:{own[2:]}.2:1.{number}-port0"])
            text += tty(f"{path}/{name}/tty/{name}", name, 188, usb[number], links, props)

    text += usb_device(codec, "10c4", "eac3", "USB Audio CODEC")
    for number, cls, name in ((0, "01", None), (1, "ff", "KQ-6200 Reserved Interface"), (2, "01", None)):
        driver = "snd-usb-audio" if codec_driver and cls == "01" else None
        text += usb_interface(f"{codec}/{codec_name}:1.{number}", number, cls, driver, name)
    if codec_driver:
        sound = f"{codec}/{codec_name}:1.0/sound/card{card}"
        names = ([("PULSE_NAME", f"kq6200-{serial}"), ("ACP_NAME", f"kq6200-{serial}")] if rules
                 else []) + labelled
        text += block(sound, [("SUBSYSTEM", "sound"), ("SOUND_INITIALIZED", "1"),
                              ("ID_MODEL", "USB_Audio_CODEC")] + names,
                      [("id", f"KQ{serial}" if rules else "CODEC" if card == 1 else f"CODEC_{card}"),
                       ("number", str(card))])
        for pcm, minor in ((f"pcmC{card}D0p", 16), (f"pcmC{card}D0c", 24), (f"controlC{card}", 0)):
            text += block(f"{sound}/{pcm}", [("SUBSYSTEM", "sound"), ("DEVNAME", f"/dev/snd/{pcm}"),
                                              ("MAJOR", "116"), ("MINOR", str(minor + 32 * card))],
                          [("dev", f"116:{minor + 32 * card}")], node=f"snd/{pcm}")
    return text, unit_hub


def other_devices(parent):
    """A mouse and a keyboard on the root hub, and a webcam with a microphone."""
    text = usb_device(f"{parent}/1-2", "046d", "c077", "USB Optical Mouse")
    text += usb_interface(f"{parent}/1-2/1-2:1.0", 0, "03", "usbhid")
    text += usb_device(f"{parent}/1-3", "046d", "0825", "C270 HD WEBCAM", serial="8A3C2F50")
    text += usb_interface(f"{parent}/1-3/1-3:1.0", 0, "0e", "uvcvideo")
    text += usb_interface(f"{parent}/1-3/1-3:1.2", 2, "01", "snd-usb-audio")
    sound = f"{parent}/1-3/1-3:1.2/sound/card0"
    text += block(sound, [("SUBSYSTEM", "sound")], [("id", "U0x46d0x825"), ("number", "0")])
    text += block(f"{sound}/pcmC0D0c", [("SUBSYSTEM", "sound"), ("DEVNAME", "/dev/snd/pcmC0D0c"),
                                        ("MAJOR", "116"), ("MINOR", "8")], [("dev", "116:8")],
                  node="snd/pcmC0D0c")
    return text


ROOT = f"{PCI}/usb1"


def mcu_path(unit_hub):
    """The MCU function of the unit behind unit_hub (for its serial attribute)."""
    return f"{unit_hub}/{unit_hub.rsplit('/', 1)[1]}.1"


def testbeds():
    """Each scenario: name -> (umockdev text, what it shows)."""
    beds = {}
    beds["no-unit"] = (root_hub() + other_devices(ROOT),
                       "a mouse and a webcam, no unit")
    one, _ = unit(ROOT, 4, "40117", "KQ6A1B2C")
    beds["one-unit"] = (root_hub() + other_devices(ROOT) + one, "one complete unit")
    second, _ = unit(ROOT, 5, "40262", "KQ6B7E41", acm=(2, 3), usb=(3, 2), card=2)
    beds["two-units"] = (root_hub() + other_devices(ROOT) + one + second,
                         "two complete units; the kernel met the second one's FTDI channels "
                         "in reverse order")
    no_ftdi, _ = unit(ROOT, 4, "40117", "KQ6A1B2C", ftdi_driver=False)
    beds["ftdi-without-driver"] = (root_hub() + no_ftdi, "the FTDI bridge has no driver bound")
    no_card, _ = unit(ROOT, 4, "40117", "KQ6A1B2C", codec_driver=False)
    beds["codec-without-card"] = (root_hub() + no_card, "the codec has no driver and no card")
    desk, desk_path = hub(ROOT, 4, vid="1a40", pid="0101", product="USB 2.0 Hub [MTT]")
    behind, _ = unit(desk_path, 2, "40117", "KQ6A1B2C")
    beds["behind-extra-hub"] = (root_hub() + desk + behind, "a unit behind a desk hub")
    ruled_unit, _ = unit(ROOT, 4, "40117", "KQ6A1B2C", rules=True)
    beds["with-rules"] = (root_hub() + ruled_unit,
                          "a unit named by the packaged udev rules: its links, its card id")
    ruled_second, _ = unit(ROOT, 5, "40262", "KQ6B7E41", acm=(2, 3), usb=(3, 2), card=2, rules=True)
    beds["two-with-rules"] = (root_hub() + ruled_unit + ruled_second,
                              "two units named by the packaged udev rules")
    labelled, _ = unit(ROOT, 4, "40117", "KQ6A1B2C", rules=True, label="IC7300")
    beds["two-labelled"] = (root_hub() + labelled + ruled_second,
                            "two units the rules named, one of them labelled IC7300")
    no_mcu, _ = unit(ROOT, 4, "40117", "KQ6A1B2C", with_mcu=False)
    beds["mcu-missing"] = (root_hub() + other_devices(ROOT) + no_mcu,
                           "a unit whose MCU did not enumerate: its FTDI and codec are seen")
    return beds
