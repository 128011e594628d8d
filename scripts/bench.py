#!/usr/bin/env python3
"""Times the program against the limits of the machine and the tools a user would reach for.

    python3 scripts/bench.py [--runs N] [--rounds N] [--round-runs N] [--mib N] [--files N]
                             [--rss-sizes ...] [--export-markdown FILE] [--program PATH]
                             [--rows relay logweb cleanup typical memory]
    python3 scripts/bench.py --windows [--runs N] [--windows-mib N] [--windows-rounds N]
                             [--windows-round-runs N] [--export-markdown FILE]
                             [--rows relay logweb typical]
    python3 scripts/bench.py --check-areas build/zelmorth_stage

Needs a built build/ (cmake --preset default && cmake --build --preset default) and hyperfine,
which it installs through scripts/deps.sh when it is missing. It makes its own data in a
temporary folder. Each row is one hyperfine run of our side and its references, with warm-up
runs, and gives the median time of each side, its spread (the middle half of the runs, from
the first quartile to the third, as a share of the median), the ratio of ours to the
reference and the target that ratio is held to:

- the relay of SYSTEM.MSG, CR-LF and LF text, against dd bs=128K, the limit for a copy that
  passes every byte through user space, and against tr -d '\\r' and dos2unix, which a user
  would reach for and which it must beat. cat is shown for reference only: GNU cat copies
  inside the kernel (copy_file_range) and never looks at the bytes, which the relay must;
- the web log check against grep -c;
- the clean-up of the update folder against find -delete;
- a typical run of the demo install against the bare start of the updater, sh -c 'TELVOX.EXE
  /M', which the run makes too; the updater is a compiled program that does nothing. A start
  takes a few milliseconds and the machine drifts, so this row is several rounds that take
  turns, and gives the median of the rounds' ratios with their range.

Last comes the peak memory of the whole program on inputs from 1 MiB to 1 GiB. A ratio over
its target prints MISSED. --export-markdown writes the table to FILE as well; --rows measures
only the rows named, and --program times another build of the program in the typical run.

--windows times the Windows program instead, under Wine in a prefix of its own (it installs
Wine when it is missing). It needs build-windows/ (cmake --preset windows && cmake --build
--preset windows), which holds the program, its stage on its own, the updater that does
nothing and bench_limits.exe, a plain ReadFile/WriteFile copy and scan. Rows: the relay of a
CR-LF SYSTEM.MSG against that copy (1.3x) and against cmd /c type appending to the file, which
it must beat, with Wine's start of a program that does nothing beside them to subtract; the web
log check against the plain scan with one locked append to the notice file per refusal, the
least the check must do (1.3x), and the plain scan alone; and a typical run of the demo
install against cmd /c TELVOX.EXE /M. The program does its own line-end work on both builds, so
these rows measure its code over Wine's system calls; they show the shape under Wine, not a
PC's times.

--check-areas only checks that the program's data areas, as its stage lists them, are the
benchmark's own list, AREAS; the clean-up row does so first, and so does the test bench_areas.
"""
import argparse
import json
import os
import shlex
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
UPDATER = os.path.join(BUILD, "bench", "TELVOX.EXE")
# The Windows program and its helpers, from the windows preset, for the rows under Wine.
WINDOWS_BUILD = os.path.join(HERE, "build-windows")
WINDOWS = {
    "program": os.path.join(WINDOWS_BUILD, "zelmorth.exe"),
    "stage": os.path.join(WINDOWS_BUILD, "zelmorth_stage.exe"),
    "updater": os.path.join(WINDOWS_BUILD, "bench", "TELVOX.EXE"),
    "limits": os.path.join(WINDOWS_BUILD, "bench", "bench_limits.exe"),
}
WINE_DRIVE = "q:"  # the drive letter whose root stands for the bench's drive folder
MIB = 1 << 20
# The data areas: the update files' extensions, in the web log's transfers too. The program's
# table in src/update_cleanup.cpp is their source; the test bench_areas holds this list to it.
AREAS = ("CLC", "IDX", "COT")

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
    """A thousand log lines: transfers of the areas in turn and one refused log-in."""
    lines = []
    for i in range(999):
        ext = AREAS[i % len(AREAS)].lower()
        lines.append(
            b"12/04/26 18:%02d:%02d GET http://download.quarrine.example/updates/%04d.%s\r\n"
            % (i // 60 % 60, i % 60, i, ext.encode())
        )
    lines.append(b"Authorization failed for user demo01 (area locked)\r\n")
    return b"".join(lines)


def fill_updates(folder, count, empty_list):
    """count update files, every other one empty, in pairs over the areas (an empty file and
    one with data of the first area, then of the next), so that each area has both whatever
    the number of areas; the names of the empty ones go into empty_list, so that they can be
    made again after each clean-up."""
    os.makedirs(folder)
    data = b"1204 SP 4712.25 4730.50 4701.00 4725.75\n"
    with open(empty_list, "w") as names:
        for i in range(count):
            name = "%06d.%s" % (i, AREAS[i // 2 % len(AREAS)])
            with open(os.path.join(folder, name), "wb") as f:
                if i % 2:
                    f.write(data)
                else:
                    names.write(name + "\n")


class Bench:
    def __init__(self, top, env, runs):
        self.top, self.env, self.runs = top, env, runs
        self.count = 0

    def hyperfine(self, cwd, commands, prepare=None, shell=True, runs=None, env=None):
        """One hyperfine run of the named commands, in order; the times of each, in seconds.
        Output goes through a pipe: GNU grep stops at the first match when it writes to
        /dev/null. With shell, each command runs through sh and hyperfine takes the shell's
        own start off; without, each is started directly."""
        self.count += 1
        out = os.path.join(self.top, "hyperfine-%d.json" % self.count)
        cmd = ["hyperfine", "--style", "basic", "--output", "pipe", "--warmup", "2",
               "--runs", str(runs or self.runs), "--export-json", out]
        cmd += ["--shell", "sh"] if shell else ["-N"]
        if prepare:
            cmd += ["--prepare", prepare]
        for name, command in commands:
            cmd += ["--command-name", name, command]
        done = subprocess.run(cmd, cwd=cwd, env=env or self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            sys.exit("hyperfine failed:\n" + done.stdout + done.stderr)
        with open(out) as f:
            return [r["times"] for r in json.load(f)["results"]]


def summary(times):
    """The median and the spread: the middle half of the times as a share of the median."""
    q1, median, q3 = statistics.quantiles(times, n=4, method="inclusive")
    return median, (q3 - q1) / median


def add_rows(rows, stage, times, names, targets):
    """Rows of a stage timed against references: the first times are ours."""
    ours, ours_spread = summary(times[0])
    for name, ref_times, target in zip(names, times[1:], targets):
        ref, ref_spread = summary(ref_times)
        rows.append((stage, ours, ours_spread, name, ref, ref_spread, ours / ref, target, None))


def demo_template(top, name):
    """A copy of the demo install whose calendar runs a year ahead, so that a run is a normal
    one and prints nothing; its drive folder."""
    template = os.path.join(top, name)
    shutil.copytree(os.path.join(HERE, "demo", "drive"), template)
    ahead = time.strftime("%m/%d/%y", time.localtime(time.time() + 400 * 86400))
    with open(os.path.join(template, "QUARRINE", "HOLIDAYS.KVL"), "a") as f:
        f.write(ahead + " 20\n")
    return template


def typical_run(bench, template, drive, ours, bare, rounds, runs, env):
    """Median ratio of a whole run of the demo install to the bare start of the updater, over
    rounds that take turns as to which side goes first. Both run in the install folder of
    drive, a copy of template; only what a run changes is put back before each run."""
    shutil.copytree(template, drive)
    install = os.path.join(drive, "QUARRINE")
    # Without a shell for the timed commands, hyperfine starts the preparation directly too.
    fresh = "sh -c " + shlex.quote("rm -f TELVOX.MSG && cp -R %s/QUARRINE/. ." %
                                   shlex.quote(template))
    ratios, our_times, bare_times = [], [], []
    for r in range(rounds):
        if r % 2 == 0:
            mine, ref = bench.hyperfine(install, [ours, bare], prepare=fresh, shell=False,
                                        runs=runs, env=env)
        else:
            ref, mine = bench.hyperfine(install, [bare, ours], prepare=fresh, shell=False,
                                        runs=runs, env=env)
        our_times += mine
        bare_times += ref
        ratios.append(statistics.median(mine) / statistics.median(ref))
    return our_times, bare_times, ratios


ROWS = ("relay", "logweb", "cleanup", "typical", "memory")


def relay_rows(bench, install, mib, rows):
    stage = shlex.quote(STAGE)
    for kind, block in (("CR-LF", message_block()),
                        ("LF", message_block().replace(b"\r\n", b"\n"))):
        write_repeated(os.path.join(install, "SYSTEM.MSG"), block, mib * MIB)
        refs = [
            ("dd bs=128K", "dd if=SYSTEM.MSG of=TELVOX.MSG bs=128K oflag=append "
                           "conv=notrunc status=none", 1.3),
            ("tr -d '\\r'", "tr -d '\\r' < SYSTEM.MSG >> TELVOX.MSG", 1.0),
            ("dos2unix", "dos2unix < SYSTEM.MSG >> TELVOX.MSG 2>/dev/null", 1.0),
            ("cat", "cat SYSTEM.MSG >> TELVOX.MSG", None),
        ]
        times = bench.hyperfine(install, [("relay", stage + " relay")] +
                                [(n, c) for n, c, _ in refs], prepare="rm -f TELVOX.MSG")
        add_rows(rows, "relay, %d MiB %s" % (mib, kind), times, [n for n, _, _ in refs],
                 [t for _, _, t in refs])
    os.remove(os.path.join(install, "SYSTEM.MSG"))


def logweb_row(bench, install, mib, rows):
    write_repeated(os.path.join(install, "LOGWEB.TXT"), logweb_block(), mib * MIB)
    times = bench.hyperfine(install, [("web log check", shlex.quote(STAGE) + " logweb"),
                                      ("grep -c", "grep -c 'Authorization failed' "
                                                  "LOGWEB.TXT || true")],
                            prepare="rm -f TELVOX.MSG")
    add_rows(rows, "web log check, %d MiB" % mib, times, ["grep -c"], [1.3])
    os.remove(os.path.join(install, "LOGWEB.TXT"))


def check_areas(stage):
    """Ends the bench unless the program's data areas, as its stage lists them, are AREAS: the
    clean-up row would time unlike work, and the web log's transfers name areas it has not."""
    listed = subprocess.run([stage, "areas"], stdout=subprocess.PIPE, text=True, check=True)
    if sorted(listed.stdout.split()) != sorted(AREAS):
        sys.exit("the program's data areas (src/update_cleanup.cpp) are %s, the benchmark's "
                 "(AREAS in scripts/bench.py) %s: change every place that the note beside the "
                 "program's table names" % (" ".join(listed.stdout.split()), " ".join(AREAS)))


def cleanup_row(bench, install, files, rows):
    check_areas(STAGE)
    empty = os.path.join(bench.top, "empty-updates.txt")
    fill_updates(os.path.join(install, "UPDATES"), files, empty)
    fresh_updates = "cd UPDATES && xargs touch < %s" % shlex.quote(empty)
    names = " -o ".join("-iname '*.%s'" % area.lower() for area in AREAS)
    find_cmd = "find UPDATES -maxdepth 1 -type f -empty \\( %s \\) -delete" % names
    times = bench.hyperfine(install, [("clean-up", shlex.quote(STAGE) + " cleanup"),
                                      ("find -delete", find_cmd)], prepare=fresh_updates)
    add_rows(rows, "clean-up, %d files" % files, times, ["find -delete"], [1.2])
    shutil.rmtree(os.path.join(install, "UPDATES"))


def typical_row(bench, program, rounds, runs, rows):
    template = demo_template(bench.top, "demo-template")
    drive = os.path.join(bench.top, "demo-drive")
    bare = ("sh -c 'TELVOX.EXE /M'", "sh -c 'TELVOX.EXE /M'")
    ours, theirs, ratios = typical_run(bench, template, drive,
                                       ("zelmorth, demo install", shlex.quote(program)), bare,
                                       rounds, runs, dict(bench.env, ZELMORTH_ROOT=drive))
    add_typical(rows, ours, theirs, ratios, bare[0], 1.7)


def add_typical(rows, ours, theirs, ratios, bare_name, target):
    our_median, our_spread = summary(ours)
    bare_median, bare_spread = summary(theirs)
    rows.append(("typical run, demo install", our_median, our_spread, bare_name, bare_median,
                 bare_spread, statistics.median(ratios), target, (min(ratios), max(ratios))))


class WinePrefix:
    """A Wine prefix of the bench's own in its temporary folder, with its server kept running
    between starts, made and removed as the Windows tests do it."""

    def __init__(self, top, env):
        self.env = dict(env, WINEPREFIX=os.path.join(top, "wine"), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d")
        self.script = os.path.join(HERE, "tests", "support", "wine_prefix.sh")

    def __enter__(self):
        subprocess.run(["sh", self.script, "up"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL)
        return self

    def __exit__(self, *_):
        subprocess.run(["sh", self.script, "down"], env=self.env, check=False)

    def map_drive(self, drive):
        """Points the bench's drive letter at drive, so that \\QUARRINE\\ on it is
        drive/QUARRINE when the working folder lies there."""
        link = os.path.join(self.env["WINEPREFIX"], "dosdevices", WINE_DRIVE)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(os.path.realpath(drive), link)


def wine(name, *args):
    return " ".join(["wine", shlex.quote(WINDOWS[name])] + [shlex.quote(a) for a in args])


def windows_relay_row(bench, install, mib, rows, env):
    write_repeated(os.path.join(install, "SYSTEM.MSG"), message_block(), mib * MIB)
    refs = [
        ("plain copy, ReadFile/WriteFile", wine("limits", "copy", "SYSTEM.MSG", "TELVOX.MSG"),
         1.3),
        # Wine's cmd now and then ends type with status 1 after copying; its time still
        # counts, and a run cut short would only make the reference look faster.
        ("cmd /c type >>", "wine cmd /c 'type SYSTEM.MSG >> TELVOX.MSG' || true", 1.0),
        ("Wine start, a program that does nothing", wine("updater"), None),
    ]
    times = bench.hyperfine(install, [("relay", wine("stage", "relay"))] +
                            [(n, c) for n, c, _ in refs], prepare="rm -f TELVOX.MSG", env=env)
    add_rows(rows, "relay, %d MiB CR-LF" % mib, times, [n for n, _, _ in refs],
             [t for _, _, t in refs])
    os.remove(os.path.join(install, "SYSTEM.MSG"))


def windows_logweb_row(bench, install, mib, rows, env):
    """The web log check writes a notice for each refusal, opening the notice file each time,
    which under Wine costs far more than the scan: the limit it is held to does both, the plain
    scan stands beside it."""
    write_repeated(os.path.join(install, "LOGWEB.TXT"), logweb_block(), mib * MIB)
    refusal = "Authorization failed"
    refs = [
        ("binary scan, a locked append per refusal",
         wine("limits", "count", refusal, "LOGWEB.TXT", "TELVOX.MSG"), 1.3),
        ("binary scan, ReadFile", wine("limits", "count", refusal, "LOGWEB.TXT"), None),
    ]
    times = bench.hyperfine(install, [("web log check", wine("stage", "logweb"))] +
                            [(n, c) for n, c, _ in refs], prepare="rm -f TELVOX.MSG", env=env)
    add_rows(rows, "web log check, %d MiB" % mib, times, [n for n, _, _ in refs],
             [t for _, _, t in refs])
    os.remove(os.path.join(install, "LOGWEB.TXT"))


def windows_typical_row(bench, prefix, rounds, runs, rows):
    template = demo_template(bench.top, "windows-demo-template")
    shutil.copy(WINDOWS["updater"], os.path.join(template, "QUARRINE"))
    drive = os.path.join(bench.top, "windows-demo-drive")
    prefix.map_drive(drive)
    bare = ("cmd /c TELVOX.EXE /M", "wine cmd /c TELVOX.EXE /M")
    ours, theirs, ratios = typical_run(bench, template, drive,
                                       ("zelmorth.exe, demo install", wine("program")), bare,
                                       rounds, runs, prefix.env)
    add_typical(rows, ours, theirs, ratios, bare[0], None)


def windows_rows(args, top):
    """The Windows program under Wine: the relay and the web log check of the stage on its
    own, each against a plain program that moves or scans the same bytes, and a typical run."""
    for exe in WINDOWS.values():
        if not os.path.isfile(exe):
            sys.exit("build the Windows programs first: cmake --preset windows && "
                     "cmake --build --preset windows")
    bench = Bench(top, dict(os.environ), args.runs)
    rows = []
    with WinePrefix(top, os.environ) as prefix:
        drive = os.path.join(top, "drive")
        install = os.path.join(drive, "QUARRINE")
        os.makedirs(install)
        prefix.map_drive(drive)
        if "relay" in args.rows:
            windows_relay_row(bench, install, args.windows_mib, rows, prefix.env)
        if "logweb" in args.rows:
            windows_logweb_row(bench, install, args.windows_mib, rows, prefix.env)
        if "typical" in args.rows:
            windows_typical_row(bench, prefix, args.windows_rounds, args.windows_round_runs,
                                rows)
    return rows


WINDOWS_ROWS = ("relay", "logweb", "typical")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=10, help="timed runs of each side of a row")
    ap.add_argument("--rounds", type=int, default=5, help="rounds of the typical run")
    ap.add_argument("--round-runs", type=int, default=60, help="runs of each side per round")
    ap.add_argument("--mib", type=int, default=256, help="size of the streamed files")
    ap.add_argument("--files", type=int, default=100000, help="files in the update folder")
    ap.add_argument("--rss-sizes", type=int, nargs="*", default=[1, 64, 1024],
                    help="input sizes in MiB for the memory measurement")
    ap.add_argument("--export-markdown", metavar="FILE", help="write the table to FILE too")
    ap.add_argument("--program", default=PROGRAM,
                    help="the program of the typical run, to compare builds (build/zelmorth)")
    ap.add_argument("--rows", nargs="+", choices=ROWS,
                    help="the rows to measure (all of them; under --windows: %s)" %
                    " ".join(WINDOWS_ROWS))
    ap.add_argument("--windows", action="store_true",
                    help="time the Windows program under Wine instead (build-windows/)")
    ap.add_argument("--windows-mib", type=int, default=64,
                    help="size of the streamed files under Wine")
    ap.add_argument("--windows-rounds", type=int, default=3,
                    help="rounds of the typical run under Wine")
    ap.add_argument("--windows-round-runs", type=int, default=20,
                    help="runs of each side per round under Wine")
    ap.add_argument("--check-areas", metavar="STAGE",
                    help="only check that the data areas of STAGE (a zelmorth_stage) are AREAS")
    args = ap.parse_args()
    if args.check_areas:
        check_areas(args.check_areas)
        return
    if args.windows:
        args.rows = args.rows or list(WINDOWS_ROWS)
        other = [r for r in args.rows if r not in WINDOWS_ROWS]
        if other:
            ap.error("not measured under Wine: " + " ".join(other))
    else:
        args.rows = args.rows or list(ROWS)
        args.program = os.path.abspath(args.program)
        for exe in (STAGE, args.program, UPDATER):
            if not os.access(exe, os.X_OK):
                sys.exit("build first: cmake --preset default && cmake --build --preset default")
    packages = "$BENCH_WINDOWS_PACKAGES" if args.windows else "$BENCH_PACKAGES"
    subprocess.run(["sh", "-c", ". scripts/deps.sh && need_packages " + packages],
                   cwd=HERE, check=True)

    top = tempfile.mkdtemp(prefix="zelmorth-bench-")
    try:
        if args.windows:
            rows = windows_rows(args, top)
        else:
            rows = posix_rows(args, top)
        if rows:
            table = format_table(rows)
            print(table)
            if args.export_markdown:
                with open(args.export_markdown, "w") as f:
                    f.write(table)
        if "memory" in args.rows:
            peak_memory(os.path.join(top, "drive", "QUARRINE"), posix_env(top), args.rss_sizes)
    finally:
        shutil.rmtree(top, ignore_errors=True)


def posix_env(top):
    """The bench's drive as the root, and the updater that does nothing first on the path."""
    path = os.path.dirname(UPDATER) + ":" + os.environ["PATH"]
    return dict(os.environ, ZELMORTH_ROOT=os.path.join(top, "drive"), PATH=path)


def posix_rows(args, top):
    """The POSIX build: each stage on its own against the machine's limits and the tools a
    user would reach for, and a typical run."""
    install = os.path.join(top, "drive", "QUARRINE")
    os.makedirs(install)
    bench = Bench(top, posix_env(top), args.runs)
    rows = []
    if "relay" in args.rows:
        relay_rows(bench, install, args.mib, rows)
    if "logweb" in args.rows:
        logweb_row(bench, install, args.mib, rows)
    if "cleanup" in args.rows:
        cleanup_row(bench, install, args.files, rows)
    if "typical" in args.rows:
        typical_row(bench, args.program, args.rounds, args.round_runs, rows)
    return rows


def seconds(t):
    return "%.1f ms" % (t * 1000) if t < 1 else "%.3f s" % t


def format_table(rows):
    lines = ["| stage | ours | spread | reference | reference's | spread | ratio | target | |",
             "|---|--:|--:|---|--:|--:|--:|--:|---|"]
    for stage, ours, ours_spread, ref, theirs, ref_spread, ratio, target, span in rows:
        shown = "%.2fx" % ratio
        if span:
            shown += " (%.2f to %.2f)" % span
        verdict = "" if target is None else ("ok" if ratio <= target else "MISSED")
        lines.append("| %s | %s | %.0f%% | %s | %s | %.0f%% | %s | %s | %s |" % (
            stage, seconds(ours), ours_spread * 100, ref.replace("|", "\\|"), seconds(theirs),
            ref_spread * 100, shown, "-" if target is None else "%.1fx" % target, verdict))
    return "\n".join(lines) + "\n"


def peak_memory(install, env, sizes):
    """Peak resident memory of the whole program, with both streamed files at each size, as
    GNU time measures it from a small parent (a child of this interpreter would count the
    interpreter's own memory)."""
    for name in ("TABLES.INI", "TELVOX.INI"):
        shutil.copy(os.path.join(HERE, "tests", "fixtures", name), install)
    calendar = time.strftime("%m/%d/%y", time.localtime(time.time() + 400 * 86400))
    with open(os.path.join(install, "HOLIDAYS.KVL"), "w") as f:
        f.write(calendar + " 20\n")
    print("\n%-36s %14s" % ("whole program, input size", "peak RSS (KiB)"))
    report = os.path.join(install, "..", "rss.txt")
    peaks = []
    for size in sizes:
        write_repeated(os.path.join(install, "SYSTEM.MSG"), message_block(), size * MIB)
        write_repeated(os.path.join(install, "LOGWEB.TXT"), logweb_block(), size * MIB)
        notices = os.path.join(install, "TELVOX.MSG")
        if os.path.exists(notices):
            os.remove(notices)
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report, PROGRAM], cwd=install,
                       env=env, stdout=subprocess.DEVNULL, check=True)
        with open(report) as f:
            peaks.append(int(f.read().split()[-1]))
        print("%-36s %14d" % ("SYSTEM.MSG + LOGWEB.TXT %d MiB each" % size, peaks[-1]))
    spread = (max(peaks) - min(peaks)) / min(peaks) if peaks else 0.0
    print("%-36s %13.1f%%  (target: within 10%%)" % ("spread", spread * 100))


if __name__ == "__main__":
    main()
