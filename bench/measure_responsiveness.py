#!/usr/bin/env python3
"""How fast the program answers while it scans its largest frame with the
windows a scientist keeps open.

Each run starts a copy of qvt in a folder of its own (the executable beside a
fresh copy of the bundled settings, changed to 2048 x 2048 pixels at 20 lines
a second, with the oscilloscope, the resonance tool, spectroscopy and the
navigator opened at start) on an X screen, opens Tools > View 3D with the
keyboard, starts the scan over the local command server and then, for the
given time, sends one REQUEST every 50 ms and times its answer:

  round trip   median, 99th percentile and longest answer time. Requests are
               served by the window thread, so the longest one also bounds
               the window thread's longest busy stretch during the run;
  cpu          the whole program's CPU share of one core while scanning.

With --busy, every core is kept busy by spinning processes during the run.
Without a DISPLAY, an Xvfb screen of its own is started (xvfb and xdotool
must be installed). The load average is printed with each run.

    bench/measure_responsiveness.py [--qvt build-bench/bin/qvt] [--runs 1]
                                    [--seconds 30] [--busy]
"""

import argparse
import multiprocessing
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
sys.path.insert(0, HERE)
from measure_realtime_scan import BUNDLED, RESOURCES, cpu_seconds, request, wait_for_server  # noqa: E402

OPEN_AT_START = ["Oszi2Button", "dncButton", "SpectButton", "SelButton"]


def set_key(path, section, key, value):
    """Sets one key of an ini file, adding the section or key when missing."""
    with open(path, encoding="latin-1") as f:
        lines = f.read().splitlines()
    out, inside, done = [], False, False
    for line in lines:
        if line.startswith("["):
            if inside and not done:
                out.append("%s=%s" % (key, value))
                done = True
            inside = line.strip() == "[%s]" % section
        elif inside and line.split("=", 1)[0] == key:
            line, done = "%s=%s" % (key, value), True
        out.append(line)
    if not done:
        if not inside:
            out.append("[%s]" % section)
        out.append("%s=%s" % (key, value))
    with open(path, "w", encoding="latin-1") as f:
        f.write("\r\n".join(out) + "\r\n")


def spin():
    while True:
        pass


def xdotool(display, *args):
    return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display), capture_output=True,
                          text=True, timeout=30).stdout.split()


def open_3d_view(display, pid):
    """Tools > View 3D, typed into the main window; True when the view shows."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        for window in xdotool(display, "search", "--onlyvisible", "--pid", str(pid), "--name", "."):
            name = " ".join(xdotool(display, "getwindowname", window))
            if name.startswith("qvt") or "QVT" in name:
                xdotool(display, "windowfocus", "--sync", window)
                xdotool(display, "key", "--clearmodifiers", "alt+t")
                time.sleep(0.5)
                xdotool(display, "key", "v")
                time.sleep(1.0)
                if xdotool(display, "search", "--onlyvisible", "--name", "^3D View"):
                    return True
        time.sleep(0.5)
    return False


def one_run(qvt, display, seconds, settle):
    work = tempfile.mkdtemp(prefix="qvt-respond-", dir=os.path.dirname(qvt))
    try:
        os.makedirs(os.path.join(work, "ini"))
        for name in BUNDLED:
            shutil.copy(os.path.join(RESOURCES, name), os.path.join(work, name))
        main_ini = os.path.join(work, "ini", "qvt.ini")
        set_key(main_ini, "ScanPara", "ComboBox1", "2048")
        set_key(main_ini, "ScanPara", "Edit4", "20")
        for key in OPEN_AT_START:
            set_key(os.path.join(work, "user.ini"), "Main", key, "1")
        exe = os.path.join(work, "qvt")
        try:
            os.link(qvt, exe)
        except OSError:
            shutil.copy(qvt, exe)
        run = os.path.join(work, "run")
        os.mkdir(run, 0o700)
        env = dict(os.environ, DISPLAY=display, XDG_RUNTIME_DIR=run)
        env.pop("QT_QPA_PLATFORM", None)
        path = os.path.join(run, "qvt-SIM.dde")
        process = subprocess.Popen([exe], cwd=work, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_for_server(path, process, time.monotonic() + 120)
            request(path, "REQUEST DdeItem DdeQVTControl")
            if not open_3d_view(display, process.pid):
                raise RuntimeError("the 3D view did not open")
            request(path, "EXECUTE DdeItem SCAN:1")
            time.sleep(settle)
            times = []
            c0, t0 = cpu_seconds("/proc/%d/stat" % process.pid), time.monotonic()
            end = t0 + seconds
            while time.monotonic() < end:
                start = time.monotonic()
                request(path, "REQUEST DdeItem DdeQVTControl")
                times.append(time.monotonic() - start)
                time.sleep(max(0.0, 0.05 - times[-1]))
            cpu = (cpu_seconds("/proc/%d/stat" % process.pid) - c0) / (time.monotonic() - t0)
            request(path, "EXECUTE DdeItem SCAN:0")
        finally:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        return times, cpu
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qvt", default=os.path.join(HERE, "..", "build-bench", "bin", "qvt"))
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--settle", type=float, default=3.0)
    parser.add_argument("--busy", action="store_true", help="keep every core busy during the runs")
    args = parser.parse_args()
    qvt = os.path.abspath(args.qvt)
    if not os.access(qvt, os.X_OK):
        sys.exit("no qvt at " + qvt)

    xvfb = None
    display = os.environ.get("DISPLAY", "")
    if not display:
        display = ":93"
        xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1920x1080x24"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        time.sleep(1.0)
    spinners = []
    if args.busy:
        spinners = [multiprocessing.Process(target=spin, daemon=True) for _ in range(os.cpu_count() or 1)]
        for p in spinners:
            p.start()
    try:
        for i in range(args.runs):
            times, cpu = one_run(qvt, display, args.seconds, args.settle)
            ms = sorted(t * 1000 for t in times)
            print("run %d (load %.1f%s): %d round trips, median %.1f ms, 99%% %.1f ms, longest %.1f ms; cpu %.0f %%"
                  % (i + 1, os.getloadavg()[0], ", every core busy" if args.busy else "", len(ms),
                     statistics.median(ms), ms[int(0.99 * (len(ms) - 1))], ms[-1], 100 * cpu), flush=True)
    finally:
        for p in spinners:
            p.terminate()
        if xvfb is not None:
            xvfb.terminate()
            xvfb.wait()


if __name__ == "__main__":
    main()
