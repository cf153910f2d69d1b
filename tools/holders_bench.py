#!/usr/bin/python3
"""What looking at the ports' holders costs on a busy machine, beside fuser.

    umockdev-wrapper /usr/bin/python3 tools/holders_bench.py --kqports build/bench/bin/kqports
        [--processes 3000] [--files 22] [--hoarder 200000] [--seconds 60] [--runs 5]
        [--load N]

Serves the test bed "one-unit" (tests/udev/testbeds.py) and starts PROCESSES
processes that each hold FILES character devices (/dev/null, /dev/zero and
the like), one more that holds HOARDER, and one that holds the unit's PTT
port by a path of its own in a mount namespace of its own. Then, with the
machine idle and again with N processes busy for ever (one a processor by
default), it prints:
  - the time of one report (`kqports --json`, whose one look at the holders
    reads every process's open files), the median of RUNS, without and with
    those processes: the difference is one look; and how many processes the
    look had no time left for;
  - the time of `fuser` on the PTT port's node, which reads every process's
    open files too, the median of RUNS in the same run, and what share of it
    the look and the whole report took;
then whether the report names the process in the other namespace as the
PTT port's holder, and the processor time `kqports --watch` takes over
SECONDS, as a share of one core.
A benchmark: it asserts only that the contained holder is found (exit code
1 when not), and wants root (the namespace, the hoarder's file limit) and,
for figures worth reading, a build without sanitizers, e.g.
    cmake --preset native -B build/bench -DCMAKE_BUILD_TYPE=Release -DKQ_SANITIZE=OFF
    cmake --build build/bench --target kqports
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "udev"))
import harness as beds  # noqa: E402
import testbeds  # noqa: E402

DEV_FILES = ["/dev/null", "/dev/zero", "/dev/full", "/dev/urandom", "/dev/random"]

HOARDER = """
import os, resource, sys, time
hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
n = min(int(sys.argv[1]), hard - 64)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
fd = os.open("/dev/null", os.O_RDONLY)
for _ in range(n):
    os.dup(fd)
print("ready", n, flush=True)
time.sleep(3600)
"""


def one_report(kqports, *args):
    started = time.monotonic()
    done = subprocess.run([kqports, "--json", *args], capture_output=True, text=True,
                          env=beds.env_for(), timeout=120)
    return time.monotonic() - started, done.stdout


def median_report(kqports, runs):
    """The median time of RUNS reports, and the largest count of processes
    not looked at in any of them."""
    one_report(kqports)  # warm: /proc's and the libraries' pages in memory
    times, uninspected = [], 0
    for _ in range(runs):
        took, out = one_report(kqports)
        times.append(took)
        uninspected = max(uninspected, json.loads(out)["units"][0]["ptt"]["uninspected"])
    return statistics.median(times), uninspected


def out_of_time(kqports):
    """How many processes a report's look had no time left for, as its text says."""
    done = subprocess.run([kqports], capture_output=True, text=True, env=beds.env_for(),
                          timeout=120)
    said = re.search(r"(\d+) process(es)? the look had no time left for", done.stdout)
    return int(said[1]) if said else 0


def median_fuser(node, runs):
    """The median time of RUNS runs of fuser on `node`, outside the test bed,
    as anyone would run it (its complaints about processes it may not look
    at left unread); None without fuser."""
    fuser = shutil.which("fuser")
    if not fuser:
        return None

    def once():
        started = time.monotonic()
        subprocess.run([fuser, node], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=beds.env_for(bed_env=False), timeout=120)
        return time.monotonic() - started

    once()
    return statistics.median(once() for _ in range(runs))


def busy(count):
    """`count` processes that keep a processor busy each, at the usual priority."""
    return [subprocess.Popen(["/bin/sh", "-c", "while :; do :; done"],
                             env=beds.env_for(bed_env=False)) for _ in range(count)]


def measure(kqports, node, quiet, runs, phase):
    took, uninspected = median_report(kqports, runs)
    late = out_of_time(kqports)
    fuser = median_fuser(node, runs)
    processes = len(list(Path("/proc").glob("[0-9]*")))
    look = took - quiet
    print(f"{phase}: one report, {processes} processes: {took * 1000:.0f} ms (one look at the "
          f"holders: about {look * 1000:.0f} ms); processes not looked at: {uninspected}, "
          f"{late} of them for lack of time")
    if fuser is None:
        print(f"{phase}: no fuser here to compare with")
    else:
        print(f"{phase}: fuser {node}: {fuser * 1000:.0f} ms; the look took "
              f"{100 * look / fuser:.0f} % of fuser's time, the whole report "
              f"{100 * took / fuser:.0f} %")


def cpu_seconds(pid):
    """The processor time of the process and of its children that ended
    (kqports looks at the holders in a child)."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return sum(int(f) for f in fields[11:15]) / os.sysconf("SC_CLK_TCK")


def start_crowd(count, files):
    """`count` sleeping processes, each holding `files` files under /dev."""
    held = [os.open(DEV_FILES[i % len(DEV_FILES)], os.O_RDONLY) for i in range(files)]
    crowd = [subprocess.Popen(["sleep", "3600"], pass_fds=held, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              env=beds.env_for(bed_env=False))
             for _ in range(count)]
    for fd in held:
        os.close(fd)
    return crowd


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kqports", required=True)
    parser.add_argument("--processes", type=int, default=3000)
    parser.add_argument("--files", type=int, default=22)
    parser.add_argument("--hoarder", type=int, default=200000)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--load", type=int, default=os.cpu_count() or 1,
                        help="busy processes for the measurement under load")
    args = parser.parse_args()
    if "UMOCKDEV_DIR" not in os.environ and "umockdev" not in os.environ.get("LD_PRELOAD", ""):
        sys.exit("run under umockdev-wrapper")
    kqports = str(Path(args.kqports).resolve())
    text, _ = testbeds.testbeds()["one-unit"]
    bed = beds.new_bed(text)

    quiet = median_report(kqports, args.runs)[0]
    print(f"one report, {len(list(Path('/proc').glob('[0-9]*')))} processes: {quiet * 1000:.0f} ms")

    started = time.monotonic()
    crowd = start_crowd(args.processes, args.files)
    hoarder = subprocess.Popen([sys.executable, "-c", HOARDER, str(args.hoarder)],
                               stdout=subprocess.PIPE, text=True, env=beds.env_for(bed_env=False))
    hoarded = hoarder.stdout.readline().split()
    contained = beds.start_in_namespace(os.path.realpath(
        Path(os.environ["UMOCKDEV_DIR"]) / "dev" / "ttyUSB1"))
    print(f"started {args.processes} processes holding {args.files} files under /dev each, "
          f"one holding {hoarded[1] if len(hoarded) == 2 else 'none (it failed)'}, "
          f"in {time.monotonic() - started:.0f} s")
    watch = None
    load = []
    failed = False
    node = os.path.realpath(Path(os.environ["UMOCKDEV_DIR"]) / "dev" / "ttyUSB1")
    try:
        measure(kqports, node, quiet, args.runs, "idle")
        load = busy(args.load)
        measure(kqports, node, quiet, args.runs, f"loaded ({args.load} busy processes)")
        for proc in load:
            proc.kill()
            proc.wait()
        load = []
        if contained:
            document = json.loads(one_report(kqports)[1])
            holders = document["units"][0]["ptt"]["holders"]
            found = any(h["pid"] == contained.pid for h in holders)
            print(f"the PTT port's holder in another mount namespace (pid {contained.pid}) "
                  f"{'found' if found else 'NOT found'}")
            if not found:
                failed = True
        else:
            print("no mount namespace can be made here: the contained holder is not tried")

        watch = subprocess.Popen([kqports, "--watch", "--json"], stdout=subprocess.PIPE,
                                 text=True, env=beds.env_for())
        if not beds.read_line(watch.stdout, 60):
            sys.exit("kqports --watch printed no report")
        time.sleep(1)  # past its first looks
        before = cpu_seconds(watch.pid)
        time.sleep(args.seconds)
        used = cpu_seconds(watch.pid) - before
        print(f"kqports --watch over {args.seconds:.0f} s: {used:.2f} s of processor time, "
              f"{100 * used / args.seconds:.1f} % of a core")
    finally:
        for proc in [watch, hoarder, contained, *load, *crowd]:
            if proc and proc.poll() is None:
                proc.kill()
                proc.wait()
    del bed
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
