#!/usr/bin/env python3
"""Plant each fault of one or more fault lists in turn, run the whole suite
against it, take it out again and say which faults the suite caught.

    tools/plant-faults.py [--build DIR] [--jobs N] [--pick TEXT] LIST...

A fault list is a text file of entries separated by blank lines; lines that
start with '#' are comments:

    fault: one line saying what the operator would meet
    file: src/spectro/SpektKinds.cpp
    find: <exact text, one line, occurring exactly once in that file>
    replace: <the replacement text>

For every entry the file is changed, the build brought up to date and the
whole ctest suite run (QT_QPA_PLATFORM=offscreen). Tests that fail are run
once more; a fault counts as KILLED only when some test fails in both runs.
A test that fails once and passes on the rerun is a flake, not a kill, and is
listed apart. The file is always put back, also on Ctrl-C and SIGTERM.
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


class Interrupted(Exception):
    pass


def on_signal(signum, _frame):
    raise Interrupted(signal.Signals(signum).name)


class Entry:
    def __init__(self, source, line):
        self.source = source  # list file the entry came from
        self.line = line  # line of its first key there
        self.fields = {}

    def __getattr__(self, name):
        try:
            return self.__dict__["fields"][name]
        except KeyError:
            raise AttributeError(name) from None

    def where(self):
        return f"{self.source}:{self.line}"


KEYS = ("fault", "file", "find", "replace")


def parse_list(path):
    entries, current = [], None
    text = Path(path).read_text(encoding="utf-8")
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.rstrip("\n")
        if line.startswith("#"):
            continue
        if not line.strip():
            if current is not None:
                entries.append(current)
                current = None
            continue
        key, sep, value = line.partition(":")
        if not sep or key not in KEYS:
            sys.exit(f"{path}:{number}: expected one of {', '.join(KEYS)} followed by ':'")
        if current is None:
            current = Entry(path, number)
        if key in current.fields:
            sys.exit(f"{path}:{number}: '{key}' given twice in one entry")
        # One space after the colon belongs to the format; the rest is the text.
        current.fields[key] = value[1:] if value.startswith(" ") else value
    if current is not None:
        entries.append(current)
    for entry in entries:
        missing = [key for key in KEYS if key not in entry.fields]
        if missing:
            sys.exit(f"{entry.where()}: entry lacks {', '.join(missing)}")
    return entries


def check_entries(entries):
    """Every find text must occur exactly once, and the replacement must differ."""
    problems = []
    for entry in entries:
        path = ROOT / entry.file
        if not path.is_file():
            problems.append(f"{entry.where()}: no file {entry.file}")
            continue
        count = path.read_text(encoding="utf-8").count(entry.find)
        if count != 1:
            problems.append(f"{entry.where()}: find text occurs {count} times in {entry.file}")
        if entry.find == entry.replace:
            problems.append(f"{entry.where()}: replace is the same as find")
    return problems


def uncommitted(files):
    out = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--", *files],
                         check=True, capture_output=True, text=True).stdout
    return [line[3:] for line in out.splitlines() if line.strip()]


def run(cmd, log, env=None):
    """Run cmd in its own process group, so an interruption ends all of it."""
    with open(log, "a", encoding="utf-8") as out:
        out.write(f"$ {' '.join(cmd)}\n")
        out.flush()
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                env=env, start_new_session=True, errors="replace")
        lines = []
        try:
            for line in proc.stdout:
                out.write(line)
                lines.append(line)
            proc.wait()
        except BaseException:
            try:
                os.killpg(proc.pid, signal.SIGTERM)
                try:
                    proc.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait()
            except ProcessLookupError:
                pass
            raise
        return proc.returncode, "".join(lines)


FAILED_LINE = re.compile(r"^\s*\d+\s+-\s+(\S.*?)\s+\(([^)]*)\)\s*$")


def failed_tests(output):
    """Names ctest lists under 'The following tests FAILED:'."""
    names, inside = [], False
    for line in output.splitlines():
        if line.startswith("The following tests FAILED:"):
            inside = True
            continue
        if inside:
            match = FAILED_LINE.match(line)
            if match:
                names.append(f"{match.group(1)} ({match.group(2)})")
            elif line.strip():
                inside = False
    return names


def bare(name):
    return name.rsplit(" (", 1)[0]


def run_suite(build, jobs, log):
    """Returns (failed in both runs, failed only in the first, error text or None)."""
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    base = ["ctest", "--test-dir", str(build), "-j", str(jobs), "--timeout", "300"]
    code, output = run(base, log, env)
    first = failed_tests(output)
    if code == 0:
        return [], [], None
    if not first:
        return [], [], f"ctest ended with {code} but named no failing test (see {log})"
    code, output = run(base + ["--rerun-failed"], log, env)
    second = {bare(name) for name in failed_tests(output)}
    if code != 0 and not second:
        return [], [], f"ctest rerun ended with {code} but named no failing test (see {log})"
    confirmed = [name for name in first if bare(name) in second]
    flaky = [name for name in first if bare(name) not in second]
    return confirmed, flaky, None


def build_tree(build, jobs, log):
    code, _ = run(["cmake", "--build", str(build), "-j", str(jobs)], log)
    return code == 0


def restore(path, original):
    # A second Ctrl-C must not cut the restore short.
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    try:
        path.write_bytes(original)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


def slug(text):
    return re.sub(r"[^A-Za-z0-9]+", "-", text).strip("-")[:50]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("lists", nargs="+", metavar="LIST", help="fault list files")
    parser.add_argument("--build", default=str(ROOT / "build"), help="configured build folder")
    parser.add_argument("--jobs", type=int, default=2, help="parallel jobs for build and ctest")
    parser.add_argument("--pick", action="append", default=[], metavar="TEXT",
                        help="plant only entries whose fault, file or find contains TEXT (repeatable)")
    parser.add_argument("--logs", default=None, help="folder for the logs (default BUILD/plant-faults)")
    parser.add_argument("--new-tests", metavar="REGEX", default=None,
                        help="tests written for this campaign's survivors: a fault only they kill "
                             "counts as a survivor of the suite before them (first round)")
    parser.add_argument("--from", dest="first", type=int, default=1, metavar="N",
                        help="begin at the Nth entry (after --pick), to go on with a run that was stopped")
    args = parser.parse_args()

    started = time.monotonic()
    # Ctrl-C and SIGTERM end the run through the same path, which puts the file back.
    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    entries = [entry for path in args.lists for entry in parse_list(path)]
    if args.pick:
        entries = [e for e in entries
                   if any(t in e.fault or t in e.file or t in e.find for t in args.pick)]
    entries = entries[max(args.first, 1) - 1:]
    if not entries:
        sys.exit("no fault to plant")

    files = sorted({entry.file for entry in entries})
    dirty = uncommitted(files)
    if dirty:
        sys.exit("refusing to start: uncommitted changes in " + ", ".join(dirty) +
                 " (commit them, or 'git checkout -- FILE' if a fault was left planted)")
    problems = check_entries(entries)
    if problems:
        sys.exit("\n".join(problems))

    build = Path(args.build).resolve()
    logs = Path(args.logs).resolve() if args.logs else build / "plant-faults"
    logs.mkdir(parents=True, exist_ok=True)

    results = []  # (entry, verdict, tests, flaky)
    all_flaky = []
    planted = False
    try:
        log = logs / "00-unplanted-build.log"
        log.write_text("")
        if not build_tree(build, args.jobs, log):
            sys.exit(f"the unplanted checkout does not build (see {log})")
        for number, entry in enumerate(entries, 1):
            log = logs / f"{number:02d}-{slug(Path(entry.file).stem + '-' + entry.fault)}.log"
            log.write_text(f"fault: {entry.fault}\nfile: {entry.file}\n"
                           f"find: {entry.find}\nreplace: {entry.replace}\n\n")
            path = ROOT / entry.file
            original = path.read_bytes()
            t0 = time.monotonic()
            try:
                text = original.decode("utf-8")
                planted = True
                path.write_bytes(text.replace(entry.find, entry.replace, 1).encode("utf-8"))
                if not build_tree(build, args.jobs, log):
                    verdict, tests, flaky = "NO-BUILD", [], []
                else:
                    tests, flaky, error = run_suite(build, args.jobs, log)
                    if error:
                        verdict, tests = "ERROR", [error]
                    else:
                        verdict = "KILLED" if tests else "SURVIVED"
            finally:
                restore(path, original)
            results.append((entry, verdict, tests, flaky))
            all_flaky += [(entry, name) for name in flaky]
            detail = f": {', '.join(tests)}" if tests else ""
            print(f"[{number + args.first - 1}] {verdict} {entry.file}: {entry.fault} "
                  f"({time.monotonic() - t0:.0f} s){detail}", flush=True)
            for name in flaky:
                print(f"    flake (failed once, passed on the rerun): {name}", flush=True)
    except Interrupted as why:
        print(f"\ninterrupted by {why}; the planted file was put back", flush=True)
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        # Leave the build folder matching the restored sources.
        if planted:
            build_tree(build, args.jobs, logs / "99-restored-build.log")

    print("\nVerdicts:")
    for entry, verdict, tests, _ in results:
        print(f"{verdict:8} {entry.where()} {entry.file}: {entry.fault}")
        for name in tests:
            print(f"           {name}")
    counted = [r for r in results if r[1] in ("KILLED", "SURVIVED")]
    killed = sum(1 for r in counted if r[1] == "KILLED")
    others = len(results) - len(counted)
    if counted:
        print(f"\nKill rate: {killed}/{len(counted)} = {100.0 * killed / len(counted):.1f} %"
              + (f" ({others} not counted: did not build or ctest erred)" if others else ""))
    if counted and args.new_tests:
        new = re.compile(args.new_tests)
        only_new = [r for r in counted if r[1] == "KILLED" and all(new.search(bare(t)) for t in r[2])]
        before = killed - len(only_new)
        print(f"Kill rate without the tests matching {args.new_tests!r}: {before}/{len(counted)} = "
              f"{100.0 * before / len(counted):.1f} %")
        for entry, _, tests, _ in only_new:
            print(f"    killed only by them: {entry.file}: {entry.fault}")
    if all_flaky:
        print("Flaky tests (failed once, passed on the rerun):")
        for entry, name in all_flaky:
            print(f"    {name} (with {entry.file}: {entry.fault})")
    print(f"Total time: {time.monotonic() - started:.0f} s")
    return 0 if counted and killed == len(counted) and len(counted) == len(results) else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Interrupted as why:
        sys.exit(f"interrupted by {why} before any fault was planted")
