#!/usr/bin/env python3
"""Times the program's streaming stages against the tools a user would reach for.

Makes its own data in a temporary folder, runs each side several times and prints the
median of each, their ratio, and the peak resident memory of the whole program on inputs
of growing size. Usage: scripts/bench.py [--reps N] [--mib N] [--files N] [--rss-sizes ...]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(HERE, "build")
STAGE = os.path.join(BUILD, "zelmorth_stage")
PROGRAM = os.path.join(BUILD, "zelmorth")
MIB = 1 << 20

MESSAGE_LINES = [
    b"Service notice: the exchange closes early on the day before the holiday.\r\n",
    b"Updates for that day arrive after 15:00 local time; evening files follow.\r\n",
    b"\r\n",
    b"Contract roll: the June contracts of the grains roll to September on the 14th.\r\n",
]


def write_repeated(path, block, size):
    """Writes block again and again until the file holds at least size bytes."""
    with open(path, "wb") as out:
        written = 0
        while written < size:
            out.write(block)
            written += len(block)


def message_block():
    return b"".join(MESSAGE_LINES) * 256


def logweb_block():
    """A thousand log lines: transfers of the three areas and one refused log-in."""
    lines = []
    for i in range(999):
        ext = ("clc", "idx", "cot")[i % 3]
        lines.append(
            b"12/04/26 18:%02d:%02d GET http://download.quarrine.example/updates/%04d.%s\r\n"
            % (i // 60 % 60, i % 60, i, ext.encode())
        )
    lines.append(b"Authorization failed for user demo01 (area locked)\r\n")
    return b"".join(lines)


def run(cmd, cwd, env, shell=False):
    """Runs one command and returns its wall time in seconds. Its output goes to a real file:
    GNU grep stops at the first match when it sees its output is /dev/null."""
    with open(os.path.join(cwd, "..", "..", "stdout.txt"), "wb") as out:
        start = time.perf_counter()
        done = subprocess.run(cmd, cwd=cwd, env=env, shell=shell, stdout=out,
                              stderr=subprocess.DEVNULL)
        elapsed = time.perf_counter() - start
    if done.returncode != 0 and not (isinstance(cmd, list) and cmd[0] == "grep"):
        sys.exit("failed (%d): %s" % (done.returncode, cmd))
    return elapsed


def peak_rss(cmd, cwd, env):
    """Peak resident memory in KiB of cmd alone, as GNU time measures it from a small parent
    (a child forked straight from this interpreter would count the interpreter's memory)."""
    report = os.path.join(cwd, "..", "..", "rss.txt")
    run(["/usr/bin/time", "-f", "%M", "-o", report] + cmd, cwd, env)
    with open(report) as f:
        return int(f.read().split()[-1])


def side_by_side(reps, prepare, ours, theirs, cwd, env, theirs_shell=False):
    """Median times of our command and the reference tool. The two take turns, so that a
    change in the machine's load during the run weighs on both alike."""
    mine, ref = [], []
    for _ in range(reps):
        prepare()
        mine.append(run(ours, cwd, env))
        prepare()
        ref.append(run(theirs, cwd, env, theirs_shell))
    return statistics.median(mine), statistics.median(ref)


def make_install(top):
    drive = os.path.join(top, "drive")
    install = os.path.join(drive, "QUARRINE")
    os.makedirs(os.path.join(install, "UPDATES"))
    return drive, install


def fill_updates(folder, count):
    """count update files, half of them empty, over the three areas."""
    if os.path.isdir(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    data = b"1204 SP 4712.25 4730.50 4701.00 4725.75\n"
    for i in range(count):
        name = "%06d.%s" % (i, ("CLC", "IDX", "COT")[i % 3])
        with open(os.path.join(folder, name), "wb") as f:
            if i % 2:
                f.write(data)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--mib", type=int, default=256, help="size of the streamed files")
    ap.add_argument("--files", type=int, default=100000, help="files in the update folder")
    ap.add_argument("--rss-sizes", type=int, nargs="*", default=[1, 64, 1024],
                    help="input sizes in MiB for the memory measurement")
    args = ap.parse_args()
    for exe in (STAGE, PROGRAM):
        if not os.access(exe, os.X_OK):
            sys.exit("build first: cmake --preset default && cmake --build --preset default")

    top = tempfile.mkdtemp(prefix="zelmorth-bench-")
    try:
        drive, install = make_install(top)
        env = dict(os.environ, ZELMORTH_ROOT=drive,
                   PATH=os.path.join(HERE, "demo", "bin") + ":" + os.environ["PATH"])
        notices = os.path.join(install, "TELVOX.MSG")
        rows = []

        def fresh_notices():
            if os.path.exists(notices):
                os.remove(notices)

        # Files from the service have CR-LF line ends, which the reader turns into LF as the
        # Windows runtime does; cat copies bytes as they are. Both kinds are measured.
        for kind, block in (("CR-LF", message_block()),
                            ("LF", message_block().replace(b"\r\n", b"\n"))):
            write_repeated(os.path.join(install, "SYSTEM.MSG"), block, args.mib * MIB)
            ours, theirs = side_by_side(args.reps, fresh_notices, [STAGE, "relay"],
                                        "cat SYSTEM.MSG >> TELVOX.MSG", install, env,
                                        theirs_shell=True)
            rows.append(("relay, %d MiB %s SYSTEM.MSG" % (args.mib, kind), ours, "cat >>",
                         theirs, 1.3))
        os.remove(os.path.join(install, "SYSTEM.MSG"))

        write_repeated(os.path.join(install, "LOGWEB.TXT"), logweb_block(), args.mib * MIB)
        ours, theirs = side_by_side(args.reps, fresh_notices, [STAGE, "logweb"],
                                    ["grep", "-c", "Authorization failed", "LOGWEB.TXT"],
                                    install, env)
        rows.append(("web log check, %d MiB" % args.mib, ours, "grep -c", theirs, 2.0))
        os.remove(os.path.join(install, "LOGWEB.TXT"))

        updates = os.path.join(install, "UPDATES")
        find_cmd = ["find", "UPDATES", "-maxdepth", "1", "-type", "f", "-empty", "(",
                    "-iname", "*.clc", "-o", "-iname", "*.idx", "-o", "-iname", "*.cot",
                    ")", "-delete"]
        ours, theirs = side_by_side(args.reps, lambda: fill_updates(updates, args.files),
                                    [STAGE, "cleanup"], find_cmd, install, env)
        rows.append(("clean-up of %d files" % args.files, ours, "find -delete", theirs, 1.3))
        fill_updates(updates, 10)

        print("\n%-32s %10s  %-13s %10s  %6s  %s" %
              ("stage", "ours (s)", "reference", "ref (s)", "ratio", "target"))
        for name, ours, ref, theirs, target in rows:
            ratio = ours / theirs if theirs > 0 else float("inf")
            print("%-32s %10.3f  %-13s %10.3f  %6.2f  <= %.1f %s" %
                  (name, ours, ref, theirs, ratio, target, "ok" if ratio <= target else "MISSED"))

        # Peak memory of the whole program, with both streamed files at each size.
        for name in ("TABLES.INI", "TELVOX.INI"):
            shutil.copy(os.path.join(HERE, "tests", "fixtures", name), install)
        calendar = time.strftime("%m/%d/%y", time.localtime(time.time() + 400 * 86400))
        with open(os.path.join(install, "HOLIDAYS.KVL"), "w") as f:
            f.write(calendar + " 20\n")
        print("\n%-32s %14s" % ("whole program, input size", "peak RSS (KiB)"))
        peaks = []
        for size in args.rss_sizes:
            write_repeated(os.path.join(install, "SYSTEM.MSG"), message_block(), size * MIB)
            write_repeated(os.path.join(install, "LOGWEB.TXT"), logweb_block(), size * MIB)
            fresh_notices()
            peak = peak_rss([PROGRAM], install, env)
            peaks.append(peak)
            print("%-32s %14d" % ("SYSTEM.MSG + LOGWEB.TXT %d MiB each" % size, peak))
        spread = (max(peaks) - min(peaks)) / min(peaks) if peaks else 0.0
        print("%-32s %13.1f%%  (target: within 10%%)" % ("spread", spread * 100))
    finally:
        shutil.rmtree(top, ignore_errors=True)


if __name__ == "__main__":
    main()
