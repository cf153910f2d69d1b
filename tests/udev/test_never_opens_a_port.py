"""strace: kqports opens no tty, nor the bed's node of one, while it reports
ports, their holders and their access."""

import re
import shutil
import subprocess

import pytest

from harness import BEDS, env_for


@pytest.mark.parametrize("args", [(), ("--json",), ("--serial", "40117", "--role", "cat")],
                         ids=lambda args: " ".join(args) or "text")
def test_no_port_opened(args, kqports, make_bed, processes, tmp_path):
    assert shutil.which("strace"), "strace is installed"
    make_bed(BEDS["two-units"][0], shared=True)
    processes.start_as("flrig", "exec 3<>/dev/ttyUSB1")
    log = tmp_path / "trace"
    # The leak check cannot run under ptrace.
    env = env_for()
    env["ASAN_OPTIONS"] += ":detect_leaks=0"
    done = subprocess.run(["strace", "-f", "-qq", "-e", "trace=open,openat,openat2,creat",
                           "-o", str(log), kqports, *args],
                          capture_output=True, text=True, env=env, timeout=60)
    opened = [line for line in log.read_text().splitlines()
              if re.search(r'"[^"]*/dev/(tty|pts/|serial/|kq6200/)', line)]
    assert done.returncode == 0 and not opened and "open" in log.read_text() \
        and ("flrig" in done.stdout or args), f"{done.returncode} {done.stderr[-500:]} {opened}"
