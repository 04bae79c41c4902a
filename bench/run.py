#!/usr/bin/python3
"""Times the headless command against `cp -r` and the plain GDCM loop on the bench corpora.

For each corpus, in one run, the commands take turns: the headless command with 1 worker and
with its default workers, the plain loop (bench/plainloop.cpp) on 1 and 2 threads and on 1
thread with glibc's freed buffers kept (BENCH_KEEP_BUFFERS=0 leaves it out), and `cp -r` of
the same tree (on `huge`, one sparse 2 GB file, only the headless command and `cp -r`: there
the figure that counts is peak memory; on `tiny`, 100,000 files of 5 KB, only the default
command, the standard clean-up, the plain loop on 2 threads and `cp -r`). One untimed warm-up
round first (the corpus is then in the page
cache), then N timed rounds, each starting with another command so none always runs after the
same neighbour. The figure kept is the median; the machine is shared, so single runs are noisy.

Every run writes into a fresh folder BENCH_DIR/runs/<session>/<n>/ that holds a symbolic link
named like the corpus: the commands write "<name>_depersonification" beside the folder they
are given, so their output lands in that fresh folder (the file system is slow to create many
files just deleted in the same place). Dirty pages are flushed before each timed command; the
run folders are deleted in the background after the bench, never between timed commands.
With --emptied (BENCH_EMPTIED=1) each command writes instead into one folder of its own, whose
previous output is deleted just before the command is timed: the slow case of a disk that
creates files where many were just deleted.

A run counts only when the command exits with 0, the output holds as many files as the corpus,
and a sample output file carries the replaced values: a bench that silently fails is worse
than none. Peak memory and CPU time (user and system apart) come from /usr/bin/time; on a busy
machine the CPU time is the steadier figure. Per-file CPU is shown in milliseconds per file,
and each command's time beside the plain loop's on 2 threads ("× loop").

Runs with Debian's /usr/bin/python3 (pydicom reads the sample).
"""

import argparse
import datetime
import fcntl
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

import pydicom

DEFAULT_RUNS = {"small": 5, "ct": 5, "big": 3, "trail": 3, "huge": 1, "tiny": 1}

# Targets from the performance goals, as fractions of `cp -r`'s speed (cp time / command time).
TARGETS = {
    ("small", "cli1"): 0.30, ("small", "clidef"): 0.40,
    ("ct", "cli1"): 0.45, ("ct", "clidef"): 0.90, ("ct", "clistd"): 0.65,
    ("big", "cli1"): 0.60, ("big", "clidef"): 0.60,
    ("trail", "clidef"): 0.60,
}
# The headless command with its default workers, against the plain loop on 2 threads: at most
# this many times its wall time and its system CPU time, on the corpora of small and CT files.
LOOP_TARGETS = {"small": 1.5, "ct": 1.5, "tiny": 1.5}
# Peak memory of the headless command, whatever the file size.
RSS_CAP_MB = 64
# Only the headless command (and cp -r) on the 2 GB file: the plain loop holds it in memory.
ONLY = {"huge": ("cli1", "clidef", "cp"), "tiny": ("clidef", "clistd", "plain2", "cp")}
# The headless command with 1 worker may take at most this much longer than the plain loop.
PLAIN_LOOP_OVERHEAD = 1.10
# Disk space left free while the run folders pile up.
FREE_SPACE_RESERVE = 10e9
# One-minute load averages seen after each round.
LOADS = []


class BenchError(Exception):
    pass


def count_files(root):
    count = 0
    for _, _, names in os.walk(root):
        count += len(names)
    return count


def first_file(root):
    for dirpath, dirnames, names in os.walk(root):
        dirnames.sort()
        if names:
            return os.path.relpath(os.path.join(dirpath, sorted(names)[0]), root)
    return None


class Command:
    def __init__(self, key, label, argv, workers, anonymizes):
        self.key = key
        self.label = label
        self.argv = argv          # function(link path, run folder) -> argument list
        self.workers = workers
        self.anonymizes = anonymizes
        self.times = []
        self.user = []
        self.system = []
        self.rss_kb = []
        self.folder = None        # with --emptied: the one run folder of this command


def commands_for(cli, plain, jobs_default, keep_buffers):
    cmds = [
        Command("cli1", "cli --jobs 1", lambda link, run: [cli, "--jobs", "1", link], 1, True),
        Command("clidef", "cli (default: %d workers)" % jobs_default,
                lambda link, run: [cli, link], jobs_default, True),
        Command("clistd", "cli --standard (default workers)",
                lambda link, run: [cli, "--standard", link], jobs_default, True),
        Command("clidates", "cli --standard --option modified-dates (default workers)",
                lambda link, run: [cli, "--standard", "--option", "modified-dates", link],
                jobs_default, True),
        Command("plain1", "plain loop, 1 thread",
                lambda link, run: [plain, "--jobs", "1", link], 1, True),
        Command("plain2", "plain loop, 2 threads",
                lambda link, run: [plain, "--jobs", "2", link], 2, True),
        Command("cp", "cp -r",
                lambda link, run: ["cp", "-r", os.path.realpath(link),
                                   os.path.join(run, "copy")], 1, False),
    ]
    if keep_buffers:
        cmds.append(Command("plain1k", "plain loop, 1 thread, kept buffers",
                            lambda link, run: [plain, "--jobs", "1", "--keep-buffers", link],
                            1, True))
    return cmds


class Session:
    """The run folders of one bench, and the lock that keeps benches and cleanups apart.

    BENCH_DIR/runs/.lock is held exclusively for the whole bench, so two benches never time
    each other's disk traffic. At the end the lock passes to a detached `rm -rf` of this
    session's run folders: deleting tens of thousands of files takes minutes on this disk,
    and the next bench waits for it instead of being timed against it.
    """

    def __init__(self, bench_dir):
        self.runs_parent = os.path.join(bench_dir, "runs")
        os.makedirs(self.runs_parent, exist_ok=True)
        self.lock_fd = os.open(os.path.join(self.runs_parent, ".lock"), os.O_RDWR | os.O_CREAT)
        try:
            fcntl.flock(self.lock_fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            print("bench: waiting for another bench, or the deletion of its run folders, "
                  "to finish ...", flush=True)
            fcntl.flock(self.lock_fd, fcntl.LOCK_EX)
        # Holding the lock, whatever else is here was left by a bench that was killed.
        for name in os.listdir(self.runs_parent):
            if name != ".lock":
                started = time.monotonic()
                shutil.rmtree(os.path.join(self.runs_parent, name), ignore_errors=True)
                print("bench: deleted the abandoned run folder %s in %.0f s"
                      % (name, time.monotonic() - started), flush=True)
        # Spreads the run folders over the disk's block groups (ext4; harmless elsewhere).
        subprocess.run(["chattr", "+T", self.runs_parent], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.root = os.path.join(self.runs_parent,
                                 "%s-%d" % (time.strftime("%Y%m%d-%H%M%S"), os.getpid()))
        os.makedirs(self.root)
        self.seq = 0

    def new_run(self, corpus_path):
        self.seq += 1
        run = os.path.join(self.root, "%04d" % self.seq)
        os.makedirs(run)
        link = os.path.join(run, os.path.basename(corpus_path))
        os.symlink(corpus_path, link)
        return run, link

    def emptied_run(self, corpus_path, cmd):
        """The command's own run folder, its previous output deleted (untimed) just now."""
        if cmd.folder is None:
            cmd.folder = self.new_run(corpus_path)
            return cmd.folder
        run, link = cmd.folder
        for name in os.listdir(run):
            path = os.path.join(run, name)
            if path == link:
                continue
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.remove(path)
        return run, link

    def make_room(self, needed):
        """Deletes this session's earlier runs now when the next corpus' runs would not fit."""
        free = shutil.disk_usage(self.root).free
        if free - needed >= FREE_SPACE_RESERVE or not os.listdir(self.root):
            return
        started = time.monotonic()
        for name in os.listdir(self.root):
            shutil.rmtree(os.path.join(self.root, name), ignore_errors=True)
        print("  (%.0f GB free, %.0f GB needed: earlier run folders deleted in %.0f s)"
              % (free / 1e9, needed / 1e9, time.monotonic() - started), flush=True)
        free = shutil.disk_usage(self.root).free
        if free - needed < FREE_SPACE_RESERVE:
            raise BenchError("not enough disk space in %s: %.0f GB free, %.0f GB needed "
                             "(lower BENCH_RUNS)" % (self.root, free / 1e9, needed / 1e9))

    def close(self):
        """Hands the lock and the deletion of the run folders to a detached process."""
        deleter = subprocess.Popen(["rm", "-rf", self.root], pass_fds=(self.lock_fd,),
                                   start_new_session=True, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(self.lock_fd)
        print("bench: deleting the run folders in the background (pid %d)" % deleter.pid,
              flush=True)


def run_once(session, corpus, cmd, expected_files, emptied):
    """Runs cmd once in a fresh run folder (or its own, emptied); returns (seconds, user and
    system CPU seconds, peak RSS in KB)."""
    run, link = (session.emptied_run(corpus["path"], cmd) if emptied
                 else session.new_run(corpus["path"]))
    argv = cmd.argv(link, run)
    log_path = os.path.join(run, "log.txt")
    rss_path = os.path.join(run, "rss.txt")
    os.sync()
    with open(log_path, "wb") as log:
        started = time.perf_counter()
        rc = subprocess.run(["/usr/bin/time", "-f", "%M %U %S", "-o", rss_path] + argv,
                            stdin=subprocess.DEVNULL, stdout=log, stderr=log).returncode
        seconds = time.perf_counter() - started

    def fail(why):
        with open(log_path, "rb") as log:
            tail = log.read()[-2000:].decode(errors="replace")
        raise BenchError("%s on %s: %s\n  command: %s\n  output (end):\n%s"
                         % (cmd.label, corpus["name"], why, " ".join(argv), tail))

    if rc != 0:
        fail("exit status %d" % rc)
    if cmd.anonymizes:
        name = os.path.basename(corpus["path"])
        out = os.path.join(run, name.split(".")[0] + "_depersonification")
        beside_corpus = os.path.join(os.path.dirname(corpus["path"]),
                                     name.split(".")[0] + "_depersonification")
        if not os.path.isdir(out):
            if os.path.isdir(beside_corpus):
                shutil.rmtree(beside_corpus, ignore_errors=True)
                fail("the output went beside the corpus, not beside the link it was given")
            fail("no output folder %s" % out)
        sample = os.path.join(out, corpus["sample"])
        if not os.path.exists(sample):
            # The standard clean-up gives folders named after the patient or a date neutral
            # names: any copy serves as the sample then.
            sample = os.path.join(out, first_file(out))
        try:
            ds = pydicom.dcmread(sample, stop_before_pixels=True)
        except Exception as e:  # any unreadable output makes the run worthless
            fail("sample output %s unreadable: %s" % (sample, e))
        # The profile's texts, or with the standard clean-up the patient's pseudonym (and with
        # Modified Dates a birth date moved back instead of the profile's).
        name = str(ds.get("PatientName", ""))
        pseudonym = name.startswith("VX-") and str(ds.get("PatientID", "")) == name
        if not pseudonym and (name != "----" or ds.get("PatientBirthDate") != "19700101"):
            fail("sample output %s was not anonymized" % sample)
    else:
        out = os.path.join(run, "copy")
    written = count_files(out)
    if written != expected_files:
        fail("%d files written, %d expected" % (written, expected_files))
    with open(rss_path) as f:
        rss_kb, user, system = f.read().split("\n")[-2].split()
    return seconds, float(user), float(system), int(rss_kb)


def bench_corpus(session, corpus, cmds, runs, emptied):
    expected = corpus["files"]
    session.make_room(corpus["bytes"] * (1 if emptied else runs + 1) * len(cmds) * 1.05)
    for rnd in range(runs + 1):
        shift = rnd % len(cmds)
        for cmd in cmds[shift:] + cmds[:shift]:
            seconds, user, system, rss_kb = run_once(session, corpus, cmd, expected, emptied)
            if rnd > 0:
                cmd.times.append(seconds)
                cmd.user.append(user)
                cmd.system.append(system)
                cmd.rss_kb.append(rss_kb)
        LOADS.append(os.getloadavg()[0])
        print("  %s: round %d/%d done%s, load average %.1f" % (
            corpus["name"], rnd, runs, " (warm-up)" if rnd == 0 else "", os.getloadavg()[0]),
            flush=True)


def report(corpus, cmds):
    """Rows of the table for one corpus, plus the lines that compare with the targets."""
    mb = corpus["bytes"] / 1e6
    by_key = {c.key: c for c in cmds}
    cp_time = statistics.median(by_key["cp"].times)
    loop = by_key.get("plain2")
    loop_time = statistics.median(loop.times) if loop else None
    per_file = 1000.0 / corpus["files"]
    rows, notes = [], []
    for c in cmds:
        t = statistics.median(c.times)
        ratio = cp_time / t
        rss_mb = max(c.rss_kb) / 1024
        target = ""
        goal = TARGETS.get((corpus["name"], c.key))
        if goal is not None:
            target = "≥%.2f %s" % (goal, "ok" if ratio >= goal else "MISS")
        if c.key in ("cli1", "clidef", "clistd", "clidates"):
            cap = RSS_CAP_MB
            target += ("; " if target else "") + "RSS≤%.0f %s" % (cap, "ok" if rss_mb <= cap
                                                                 else "MISS")
        rows.append([corpus["name"], c.label, str(corpus["files"]), "%.0f" % mb, "%.3f" % t,
                     "%.3f-%.3f" % (min(c.times), max(c.times)),
                     "%.3f" % (statistics.median(c.user) * per_file),
                     "%.3f" % (statistics.median(c.system) * per_file),
                     "%.0f" % (corpus["files"] / t), "%.0f" % (mb / t), "%.2f" % ratio,
                     "%.2f" % (t / loop_time) if loop_time else "", "%.0f" % rss_mb, target])
    goal = LOOP_TARGETS.get(corpus["name"])
    if loop and goal is not None:
        loop_system = statistics.median(loop.system)
        for key in ("clidef", "clistd"):
            if key not in by_key:
                continue
            c = by_key[key]
            t = statistics.median(c.times) / loop_time
            system = statistics.median(c.system) / loop_system if loop_system > 0 else 0.0
            notes.append("%s: %s / plain loop on 2 threads: time %.2f, system CPU %.2f "
                         "(target ≤ %.2f each: %s)"
                         % (corpus["name"], c.label, t, system, goal,
                            "ok" if t <= goal and system <= goal else "MISS"))
    if "clidates" in by_key and "clistd" in by_key:
        dates = statistics.median(by_key["clidates"].times) / statistics.median(
            by_key["clistd"].times)
        cpu = ((statistics.median(by_key["clidates"].user)
                + statistics.median(by_key["clidates"].system))
               / (statistics.median(by_key["clistd"].user)
                  + statistics.median(by_key["clistd"].system)))
        notes.append("%s: --standard --option modified-dates / --standard = %.2f (CPU time %.2f; "
                     "target ≤ 1.10: %s)" % (corpus["name"], dates, cpu,
                                            "ok" if dates <= 1.10 else "MISS"))
    if "clidef" in by_key and "clistd" in by_key:
        default = statistics.median(by_key["clidef"].times)
        standard = statistics.median(by_key["clistd"].times)
        notes.append("%s: default / --standard = %.2f (target ≤ 1: %s)"
                     % (corpus["name"], default / standard,
                        "ok" if default <= standard else "MISS"))
    # Against both plain loops: which is the fair yardstick depends on whether the headless
    # command keeps its freed buffers too.
    for plain in ("plain1", "plain1k"):
        if plain in by_key and "cli1" in by_key:
            overhead = statistics.median(by_key["cli1"].times) / statistics.median(
                by_key[plain].times)
            cpu = ((statistics.median(by_key["cli1"].user) + statistics.median(by_key["cli1"].system))
                   / (statistics.median(by_key[plain].user)
                      + statistics.median(by_key[plain].system)))
            notes.append("%s: time of cli --jobs 1 / %s = %.2f (target ≤ %.2f: %s; CPU time "
                         "%.2f)" % (corpus["name"], by_key[plain].label, overhead,
                                    PLAIN_LOOP_OVERHEAD,
                                    "ok" if overhead <= PLAIN_LOOP_OVERHEAD else "MISS", cpu))
    return rows, notes


HEADER = ["corpus", "command", "files", "MB", "median s", "min-max s", "user ms/file",
          "sys ms/file", "files/s", "MB/s", "× cp -r", "× loop", "peak RSS MB", "target"]


def format_table(rows):
    widths = [max(len(r[i]) for r in [HEADER] + rows) for i in range(len(HEADER))]
    lines = []
    for n, r in enumerate([HEADER] + rows):
        cells = [r[i].ljust(widths[i]) if i < 2 or i == len(HEADER) - 1 else r[i].rjust(widths[i])
                 for i in range(len(HEADER))]
        lines.append("  ".join(cells).rstrip())
        if n == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def format_markdown(rows):
    lines = ["| " + " | ".join(HEADER) + " |", "|" + "---|" * len(HEADER)]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def load_corpus(bench_dir, name):
    path = os.path.join(bench_dir, name)
    try:
        with open(path + ".complete") as f:
            stamp = json.load(f)
    except (OSError, ValueError):
        raise BenchError("corpus %s is not built: run bench/gencorpus.py --corpora %s"
                         % (name, name))
    return dict(name=name, path=path, files=stamp["files"], bytes=stamp["bytes"],
                largest=stamp["largest"], sample=first_file(path))


def main():
    env = os.environ.get
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--dir", default=env("BENCH_DIR") or "/var/tmp/vexar-bench")
    parser.add_argument("--corpora", default=env("BENCH_CORPORA") or "small,ct,big,trail,huge")
    parser.add_argument("--runs", type=int, default=int(env("BENCH_RUNS") or 0),
                        help="timed runs per command (default: 5, big 3)")
    parser.add_argument("--emptied", action="store_true", default=env("BENCH_EMPTIED", "0") == "1",
                        help="each command writes into its own folder, emptied just before "
                             "(BENCH_EMPTIED=1)")
    parser.add_argument("--cli", default=env("VEXAR_CLI") or "build/bin/vexar-anonymizer-cli")
    parser.add_argument("--plainloop",
                        default=env("BENCH_PLAINLOOP") or "build/bin/vexar-bench-plainloop")
    parser.add_argument("--no-keep-buffers", dest="keep_buffers", action="store_false",
                        default=env("BENCH_KEEP_BUFFERS", "1") != "0",
                        help="skip the plain loop that keeps glibc's freed buffers "
                             "(BENCH_KEEP_BUFFERS=0)")
    args = parser.parse_args()

    for label, path in (("headless command (VEXAR_CLI)", args.cli),
                        ("plain loop (BENCH_PLAINLOOP)", args.plainloop)):
        if not (os.path.isfile(path) and os.access(path, os.X_OK)):
            print("bench: the %s is not built: %s" % (label, path), file=sys.stderr)
            return 2
    cli = os.path.abspath(args.cli)
    plain = os.path.abspath(args.plainloop)
    cores = os.cpu_count() or 1
    try:
        corpora = [load_corpus(args.dir, n) for n in args.corpora.split(",") if n]
        session = Session(args.dir)
        print("bench: %d cores, cli %s, runs in %s, %s" % (
            cores, cli, session.root,
            "each command's folder emptied just before it runs" if args.emptied
            else "every run in a fresh folder"), flush=True)
        all_rows, all_notes = [], []
        for corpus in corpora:
            cmds = commands_for(cli, plain, cores, args.keep_buffers)
            if corpus["name"] in ONLY:
                cmds = [c for c in cmds if c.key in ONLY[corpus["name"]]]
            runs = args.runs or DEFAULT_RUNS.get(corpus["name"], 5)
            print("bench: %s (%d files, %.0f MB), %d runs of %d commands + warm-up"
                  % (corpus["name"], corpus["files"], corpus["bytes"] / 1e6, runs, len(cmds)),
                  flush=True)
            bench_corpus(session, corpus, cmds, runs, args.emptied)
            rows, notes = report(corpus, cmds)
            all_rows += rows
            all_notes += notes
        print_results(args.dir, cli, cores, all_rows, all_notes, args.emptied)
    except BenchError as e:
        print("bench: FAILED: %s" % e, file=sys.stderr)
        return 1
    finally:
        if "session" in locals():
            session.close()
    return 0


def print_results(bench_dir, cli, cores, all_rows, all_notes, emptied):
    print()
    print(format_table(all_rows))
    print()
    for note in all_notes:
        print(note)
    print("MB = 10^6 bytes; × cp -r = cp time / command time; × loop = command time / plain "
          "loop (2 threads) time; medians of the timed runs; %s."
          % ("folders emptied just before each run" if emptied else "fresh folders"))
    if LOADS:
        load = ("Load average after each round: median %.1f, at most %.1f, on %d cores."
                % (statistics.median(LOADS), max(LOADS), cores))
        print(load)
        all_notes.append(load)
    if LOADS and max(LOADS) > cores:
        busy = ("The machine was busy (load average up to %.1f on %d cores): commands that need "
                "the CPU look slower than they are; CPU s is the steadier figure."
                % (max(LOADS), cores))
        print(busy)
        all_notes.append(busy)
    result = os.path.join(bench_dir, "results-%s.md" % time.strftime("%Y%m%d-%H%M%S"))
    with open(result, "w") as f:
        f.write("`make bench`, %s, %d cores, cli %s, %s\n\n%s\n\n%s\n"
                % (datetime.datetime.now().isoformat(timespec="seconds"), cores, cli,
                   "folders emptied just before each run" if emptied else "fresh folders",
                   format_markdown(all_rows), "\n".join("- " + n for n in all_notes)))
    print("Markdown copy: %s" % result)


if __name__ == "__main__":
    sys.exit(main())
