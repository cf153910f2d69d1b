"""What the program must show for the trees in e2e/trees/, written out by hand
from the report rules (not computed by the program's own code)."""

NOT_FOUND = "Quorvanta KQ-6200 not found"

# two-units.devtree on Windows 8 and later (split audio).
UNIT_A_SPLIT = [
    "Quorvanta KQ6200 S/N 12345",
    "    CAT Port \t - COM9",
    "    PTT/CW Port \t - COM10",
    "    FSK Port \t - COM8",
    "    WinKey Port \t - COM7",
    "    Audio Input \t - Microphone (USB Audio CODEC)",
    "    Audio Output\t - Speakers (USB Audio CODEC)",
]
UNIT_B_SPLIT = [
    "Quorvanta KQ6200 S/N 67890",
    "    FTDI ErrorCode: 1",
    "    FSK Port \t - COM12",
    "    WinKey Port \t - COM11",
    "    Audio Input \t - Microphone (2- USB Audio CODEC)",
    "    Audio Output\t - Speakers (2- USB Audio CODEC)",
]
TWO_UNITS_SPLIT = UNIT_A_SPLIT + UNIT_B_SPLIT

# two-units-win7.devtree on Windows 7 and earlier (one audio device line).
UNIT_A_JOINED = UNIT_A_SPLIT[:5] + ["    Audio device\t - USB Audio CODEC"]
UNIT_B_JOINED = UNIT_B_SPLIT[:4] + ["    Audio device\t - 2- USB Audio CODEC"]
TWO_UNITS_JOINED = UNIT_A_JOINED + UNIT_B_JOINED

# The demo tree sim/trees/two-units.devtree on Windows 8 and later: the same
# ports and endpoints as two-units.devtree here, other serials, and the second
# unit's FTDI function not started.
DEMO_SPLIT = (["Quorvanta KQ6200 S/N 40117"] + UNIT_A_SPLIT[1:]
              + ["Quorvanta KQ6200 S/N 40262", "    FTDI ErrorCode: 7"] + UNIT_B_SPLIT[2:])

# non-ascii.devtree on Windows 8 and later: the names as the tree has them.
NON_ASCII_SPLIT = [
    "Quorvanta KQ6200 S/N 54321",
    "    CAT Port \t - COM9",
    "    PTT/CW Port \t - COM10",
    "    FSK Port \t - COM8",
    "    WinKey Port \t - COM7",
    "    Audio Input \t - Mikrofon \U0001F399 (\u0417\u0432\u0443\u043a\u043e\u0432\u043e\u0439 "
    "\u043a\u043e\u0434\u0435\u043a USB)",
    "    Audio Output\t - Lautsprecher (\u0417\u0432\u0443\u043a\u043e\u0432\u043e\u0439 "
    "\u043a\u043e\u0434\u0435\u043a USB)",
]

# The demo tree sim/trees/two-units-win7.devtree on Windows 7: the demo's
# units with one audio device each (the second unit's codec is named as the
# first's there).
DEMO_JOINED = (["Quorvanta KQ6200 S/N 40117"] + UNIT_A_JOINED[1:]
               + ["Quorvanta KQ6200 S/N 40262", "    FTDI ErrorCode: 7"] + UNIT_B_JOINED[2:4]
               + ["    Audio device\t - USB Audio CODEC"])

# Every tree the console scenarios compare (test_kqports.py), by file stem
# and whether the audio is split (Windows 8 on): the MCU functions of a
# Windows 8 tree have upper-case instance IDs, those of a Windows 7 tree
# lower-case ones, and the walk of each Windows version matches its own.
CONSOLE_TREES = {
    ("empty", True): [NOT_FOUND], ("empty", False): [NOT_FOUND],
    ("example", True): UNIT_A_SPLIT, ("example", False): [NOT_FOUND],
    ("two-units", True): DEMO_SPLIT, ("two-units", False): [NOT_FOUND],
    ("two-units-win7", True): [NOT_FOUND], ("two-units-win7", False): DEMO_JOINED,
    ("mixed-case", True): UNIT_A_SPLIT, ("mixed-case", False): UNIT_B_JOINED,
    ("non-ascii", True): NON_ASCII_SPLIT, ("non-ascii", False): [NOT_FOUND],
}

# Instance IDs of some rows, for the properties launch.
ID_CAT_A = "FTDIBUS\\VID_0403+PID_6010+KQ6A1B2CA\\0000"
ID_WINKEY_B = "USB\\VID_0483&PID_A1DF&MI_00\\6&5D6E7F8&0&0000"
ID_RENDER_A = "SWD\\MMDEVAPI\\{0.0.0.00000000}.{6a7c5e1d-1f2b-4c3d-9e8f-0a1b2c3d4e5f}"

PROPERTIES_PREFIX = 'devmgr.dll,DeviceProperties_RunDLL /MachineName "" /DeviceID '
HINT = "Double click item to edit properties"
