#!/usr/bin/env python3
"""Start time and CPU share of a real-time scan, on the bundled settings.

Each run starts a copy of qvt in a folder of its own (the executable beside a
fresh copy of the bundled settings: 128 pixels, four lines a second, the
forward and backward topography windows, the simulator in real time) and
talks to it over its local command server:

  ready     seconds from the start of the process to the answer of the
            command server that follows the start-up (windows created, link
            opened, delay calibration and communication test done: the
            window thread only answers once the start-up has returned);
  idle      CPU share of one core of the whole program before the scan;
  scan      CPU share of one core of the whole program while scanning, and
            of the window thread alone;
  start cpu CPU seconds the program spent up to ready (on a busy machine a
            fairer comparison than the wall time).

With --threads, each run also lists every thread's share while scanning
(thread id and the name the system shows), to see where the time goes.

    bench/measure_realtime_scan.py [--qvt build-bench/bin/qvt] [--runs 3]
                                   [--seconds 20] [--settle 3] [--threads]

Figures are medians and minima over the runs; the machine should be idle.
"""

import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RESOURCES = os.path.join(HERE, "..", "resources")
BUNDLED = ["ini/qvt.ini", "ini/sim.ini", "user.ini", "SoftLin.ini", "QVT_Manual.html"]
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(stat_path):
    """utime + stime of a process or thread, in seconds."""
    with open(stat_path) as f:
        text = f.read()
    # The command name may hold blanks: the fields start after its ")".
    fields = text[text.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def request(path, line, timeout=30.0):
    """Sends one request and returns the reply's lines."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect(path)
        s.sendall((line + "\n").encode())
        data = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
            if line.upper().startswith("EXECUTE") and data.endswith(b"\n"):
                break
            if data == b".\n" or data.endswith(b"\n.\n"):
                break
    return data.decode(errors="replace").splitlines()


def wait_for_server(path, process, deadline):
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError("qvt ended during start-up (status %d)" % process.returncode)
        if os.path.exists(path):
            try:
                return request(path, "REQUEST DdeItem DdeQVTControl")
            except OSError:
                pass
        time.sleep(0.002)
    raise RuntimeError("the command server did not answer")


def thread_seconds(pid):
    """CPU seconds of each thread of a process, by thread id."""
    result = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            result[int(tid)] = cpu_seconds("/proc/%d/task/%s/stat" % (pid, tid))
        except OSError:
            pass  # the thread ended meanwhile
    return result


def thread_name(pid, tid):
    try:
        with open("/proc/%d/task/%d/comm" % (pid, tid)) as f:
            return f.read().strip()
    except OSError:
        return "?"


def share(pid, tid, seconds, threads=None):
    """CPU share of one core of the process and of one of its threads; with
    `threads` (a list), each thread's (tid, name, share) is appended to it."""
    proc = "/proc/%d/stat" % pid
    thread = "/proc/%d/task/%d/stat" % (pid, tid)
    t0, p0, w0, each0 = time.monotonic(), cpu_seconds(proc), cpu_seconds(thread), thread_seconds(pid)
    time.sleep(seconds)
    t1, p1, w1, each1 = time.monotonic(), cpu_seconds(proc), cpu_seconds(thread), thread_seconds(pid)
    if threads is not None:
        for t in sorted(each1):
            threads.append((t, thread_name(pid, t), (each1[t] - each0.get(t, 0.0)) / (t1 - t0)))
    return (p1 - p0) / (t1 - t0), (w1 - w0) / (t1 - t0)


def one_run(qvt, seconds, settle, threads=None):
    work = tempfile.mkdtemp(prefix="qvt-measure-", dir=os.path.dirname(qvt))
    try:
        os.makedirs(os.path.join(work, "ini"))
        for name in BUNDLED:
            shutil.copy(os.path.join(RESOURCES, name), os.path.join(work, name))
        exe = os.path.join(work, "qvt")
        try:
            os.link(qvt, exe)  # the program finds its settings beside itself
        except OSError:
            shutil.copy(qvt, exe)
        run = os.path.join(work, "run")
        os.mkdir(run, 0o700)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=run)
        path = os.path.join(run, "qvt-SIM.dde")

        start = time.monotonic()
        process = subprocess.Popen([exe], cwd=work, env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        try:
            wait_for_server(path, process, start + 60)
            # The first answer may come from the one round of events before
            # the start-up; the next one only when the start-up is over.
            request(path, "REQUEST DdeItem DdeQVTControl")
            ready = time.monotonic() - start
            start_cpu = cpu_seconds("/proc/%d/stat" % process.pid)

            time.sleep(settle)
            idle, _ = share(process.pid, process.pid, seconds / 2)
            request(path, "EXECUTE DdeItem SCAN:1")
            time.sleep(settle)
            scan, window = share(process.pid, process.pid, seconds, threads)
            request(path, "EXECUTE DdeItem SCAN:0")
            time.sleep(0.5)
        finally:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        return ready, idle, scan, window, start_cpu
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qvt", default=os.path.join(HERE, "..", "build-bench", "bin", "qvt"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--settle", type=float, default=3.0)
    parser.add_argument("--threads", action="store_true", help="list each thread's share while scanning")
    args = parser.parse_args()
    qvt = os.path.abspath(args.qvt)
    if not os.access(qvt, os.X_OK):
        sys.exit("no qvt at " + qvt)

    results = []
    for i in range(args.runs):
        threads = [] if args.threads else None
        r = one_run(qvt, args.seconds, args.settle, threads)
        results.append(r)
        print("run %d: ready %.3f s (%.3f CPU s), idle %.1f %%, scan %.1f %% (window thread %.1f %%)"
              % (i + 1, r[0], r[4], 100 * r[1], 100 * r[2], 100 * r[3]), flush=True)
        for tid, name, part in threads or []:
            if part >= 0.0005:
                print("    thread %d %-16s %.1f %%" % (tid, name, 100 * part))
    for k, name, unit, scale in ((0, "ready", "s", 1), (4, "start cpu", "s", 1), (1, "idle", "%", 100),
                                 (2, "scan", "%", 100), (3, "window thread", "%", 100)):
        values = [r[k] * scale for r in results]
        print("%-14s median %.3f %s, min %.3f %s" % (name, statistics.median(values), unit, min(values), unit))


if __name__ == "__main__":
    main()
