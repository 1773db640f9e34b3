#!/usr/bin/python3
"""scan_bench.py BUILD - a full discovery scan 1..247 on a 9600-baud bench line with five
controllers and RxTimeout 100, compared with the minimum time its own rules impose:

  silent address   the request's wire time + (RxTimeout + 50 ms), the receiver's idle limit
  controller       three requests and three replies on the wire, plus the device's turnaround
  hand-overs       5 s with the port released, for every hand-over the trace shows

Beside it the same range read by mbpoll (one read per address, the same time-out) on the
same bench line, the peak resident memory of the command itself (the scan, and `-r`) beside
/bin/true's in the same run, and valgrind's leak summary of a short scan. Prints figures;
runs inside the test sandbox (it re-executes itself there).

Peak memory is GNU time's %M: the ru_maxrss of a child that GNU time, a small program,
forks. This script's own getrusage would not do: a child that Python starts is vfork'ed (or
forked) from Python, and when it executes the command the kernel keeps the peak of the
address space it leaves (Python's, about 13 MiB) as the child's. valgrind reports on the command alone, not on
the children of its line-database looks."""
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import time

CONTROLLERS = (17, 60, 120, 180, 240)
SPEED, RX_TIMEOUT, LATENCY_MS = 9600, 100, 10
CHAR_S = 10.0 / SPEED          # 8N1: start + 8 data + stop
REQUEST, REPLY_1, REPLY_2 = 8, 7, 9  # bytes on the wire
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def start_sim(build, desc_text, name):
    desc = f"/tmp/{name}.desc"
    with open(desc, "w") as f:
        f.write(desc_text)
    proc = subprocess.Popen([f"{build}/qmfieldsim", "-q", "-n", f"/tmp/{name}.tty",
                             "-l", f"/tmp/{name}.log", desc])
    for _ in range(400):
        if os.path.exists(f"/tmp/{name}.tty"):
            break
        time.sleep(0.025)
    tty = open(f"/tmp/{name}.tty").read().strip()
    return proc, tty


def add_line(tty):
    os.makedirs("/etc/quor/db/sysconfig", exist_ok=True)
    db = sqlite3.connect("/etc/quor/db/sysconfig/quorLan.db")
    with open(os.path.join(SOURCE, "linedb", "lines.sql")) as schema:
        db.executescript(schema.read())
    db.execute("INSERT OR REPLACE INTO lines VALUES (1, ?, ?, 0, 8, 1, 0, 0, ?, 0, 0, 0)",
               (tty.replace("/dev/", ""), SPEED, RX_TIMEOUT))
    db.commit()
    db.close()


def description():
    text = f"line {SPEED} 8N1\n"
    for a in CONTROLLERS:
        text += (f"device {a}\nlatency {LATENCY_MS}\nreg 0 0x0123\nreg 1 0x4142 0x1EE3\n"
                 "reg 6 0x0107\n")
    return text


def minimum_seconds(hand_overs):
    silent = 247 - len(CONTROLLERS)
    wire_request = REQUEST * CHAR_S
    per_silent = wire_request + (RX_TIMEOUT + 50) / 1000.0
    turnaround = 3.5 * CHAR_S + LATENCY_MS / 1000.0
    per_controller = 3 * (wire_request + turnaround) + (2 * REPLY_1 + REPLY_2) * CHAR_S
    parts = silent * per_silent + len(CONTROLLERS) * per_controller + 5.0 * hand_overs
    return parts, per_silent, per_controller


GNU_TIME = "/usr/bin/time"


def timed(argv, settings=()):
    """argv run under GNU time when it is there: (completed process, peak RSS in KiB or None).
    settings (NAME=value: the emulation's preload, its trace) are given to the program only,
    through env, not to time."""
    argv = ["env", *settings, *argv] if settings else argv
    if not os.access(GNU_TIME, os.X_OK):
        return subprocess.run(argv, capture_output=True, text=True), None
    report = "/tmp/scan_bench.rss"
    out = subprocess.run([GNU_TIME, "-f", "%M", "-o", report, *argv], capture_output=True,
                         text=True)
    with open(report) as f:
        return out, int(f.read().split()[-1])


def run_scan(build):
    emulation = (f"LD_PRELOAD={build}/libuartemu.so", "UARTEMU_TRACE=/tmp/scan.trace")
    t0 = time.monotonic()
    out, rss_kib = timed([f"{build}/qmveskar", "1", "1", "247"], emulation)
    wall = time.monotonic() - t0
    trace = open("/tmp/scan.trace").read()
    closes = len(re.findall(r" close ", trace))
    return out, wall, rss_kib, max(0, closes - 1)


def memory_lines(build, scan_kib):
    """The peak resident memory of the scan, of `qmveskar -r` and of /bin/true (alone and
    with the emulation preloaded, as the scan has it), measured the same way in this run."""
    if scan_kib is None:
        return ["  peak resident memory: GNU time (package time) is not installed"]
    preload = (f"LD_PRELOAD={build}/libuartemu.so",)
    figures = [("qmveskar 1 1 247 (emulation preloaded)", scan_kib),
               ("qmveskar -r", timed([f"{build}/qmveskar", "-r"])[1]),
               ("/bin/true", timed(["/bin/true"])[1]),
               ("/bin/true (emulation preloaded)", timed(["/bin/true"], preload)[1])]
    lines = ["  peak resident memory"]
    for name, kib in figures:
        lines.append(f"    {name:40s} {kib:6d} KiB  {kib / 1024:5.2f} MiB")
    return lines


def run_mbpoll(tty):
    if not shutil.which("mbpoll"):
        return None
    t0 = time.monotonic()
    subprocess.run(["mbpoll", "-m", "rtu", "-b", str(SPEED), "-P", "none", "-d", "8", "-s", "1",
                    "-a", "1:247", "-t", "4", "-r", "1", "-c", "1", "-1",
                    "-o", f"{RX_TIMEOUT / 1000.0:.2f}", tty],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.monotonic() - t0


def run_valgrind(build):
    if not shutil.which("valgrind"):
        return "valgrind not installed"
    env = dict(os.environ, LD_PRELOAD=f"{build}/libuartemu.so")
    r = subprocess.run(["valgrind", "--leak-check=full", "--child-silent-after-fork=yes",
                        f"{build}/qmveskar", "1", "15", "20"],
                       env=env, capture_output=True, text=True)
    lines = [l.split("== ", 1)[-1] for l in r.stderr.splitlines()
             if re.search(r"(definitely|indirectly|possibly) lost|still reachable|ERROR SUMMARY", l)]
    return "; ".join(lines)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    if os.environ.get("QM_SANDBOX") != "1":
        top = SOURCE
        os.execvpe(f"{top}/testbench/sandbox/qmsandbox",
                   [f"{top}/testbench/sandbox/qmsandbox", sys.executable, os.path.abspath(__file__),
                    build], dict(os.environ, QM_SOURCE_DIR=top, QM_BIN_DIR=build))
    sim, tty = start_sim(build, description(), "scan")
    try:
        add_line(tty)
        out, wall, rss, hand_overs = run_scan(build)
        lines = out.stdout.splitlines()
        identified = [l for l in lines if "XAB123C" in l]
        parts, per_silent, per_controller = minimum_seconds(hand_overs)
        print(f"full scan 1..247, {SPEED} 8N1, RxTimeout {RX_TIMEOUT} ms, "
              f"{len(CONTROLLERS)} controllers")
        print(f"  report lines {len(lines)} ({len(identified)} identified), exit {out.returncode}")
        print(f"  wall time            {wall:8.2f} s")
        print(f"  minimum (rules)      {parts:8.2f} s  = {247 - len(CONTROLLERS)} x "
              f"{per_silent * 1000:.1f} ms + {len(CONTROLLERS)} x {per_controller * 1000:.1f} ms"
              f" + {hand_overs} hand-overs x 5 s")
        print(f"  ratio                {wall / parts:8.4f}")
        idle_pass = 0.011
        passes = -(-(RX_TIMEOUT + 50) // 11)
        with_passes = parts + (247 - len(CONTROLLERS)) * (passes * idle_pass - (RX_TIMEOUT + 50) / 1000.0)
        print(f"  minimum with the receiver's 11 ms idle passes {with_passes:8.2f} s, "
              f"ratio {wall / with_passes:.4f}")
        for line in memory_lines(build, rss):
            print(line)
        mb = run_mbpoll(tty)
        if mb is not None:
            print(f"  mbpoll, same range, one read each, {RX_TIMEOUT} ms time-out: {mb:.2f} s")
        print(f"  valgrind (scan 15..20): {run_valgrind(build)}")
    finally:
        sim.terminate()
        sim.wait()


if __name__ == "__main__":
    main()
