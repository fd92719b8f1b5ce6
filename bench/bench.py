#!/usr/bin/env python3
"""Benchmark of the real program against the stand-ins: prints figures, asserts nothing.

  bench.py --tools DIR [--linux EXE] [--win64 EXE] [--changes N]

Per build: lamp change -> block received latency (panel's on-screen time -> unit stand-in's receive
time, both CLOCK_MONOTONIC) at PollInterval 200 and 20; processor use while idle with eight units
connected and during a silent unit's reply wait (from /proc/<pid>/stat); resident memory.
"""

import argparse
import os
import random
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2elib import (ACTIVE, GREY, Build, Failure, Panel, Program, Session, UnitSim,  # noqa: E402
                    cpu_seconds, ini_text, resident_kib)

GOALS = {
    200: (105, 215),  # median, max in ms
    20: (15, 30),
}
IDLE_GOAL = 0.5  # % of a core
SILENT_GOAL = 2.0
RSS_GOAL_MB = {"linux": 40, "win64": 25}


def program_pid(program):
    """The process that runs the program itself (under wine, the one whose command line names the .exe)."""
    pid = program.pid
    with open(f"/proc/{pid}/cmdline", "rb") as f:
        cmd = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
    if program.session.build.is_wine and ".exe" not in cmd.lower():
        raise Failure(f"pid {pid} is not the .exe's process: {cmd}")
    return pid


def cpu_percent(pid, seconds):
    start_cpu, start = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)  # a measuring window, nothing waits on it
    return 100 * (cpu_seconds(pid) - start_cpu) / (time.monotonic() - start)


def start_world(session, poll, reconnect, silent_unit=None):
    session.start_xvfb()
    panel = Panel(session)
    sims = {u: UnitSim(session, f"unit{u}", reply="none" if u == silent_unit else "ack") for u in range(1, 9)}
    if session.build.is_wine:
        session.prepare_wine_prefix()
    program = Program(session, ini_text({u: f"127.0.0.1:{s.port}" for u, s in sims.items()}, poll=poll,
                                        reconnect=reconnect))
    for u, s in sims.items():
        s.wait_connections(1, 60, f"unit {u} connected")
    return panel, sims, program


def latency_run(build, tools, poll, changes):
    with Session(build, tools) as session:
        panel, sims, program = start_world(session, poll, 3000)
        latencies = []
        current = None
        counts = {u: 0 for u in sims}
        rng = random.Random(1)
        for i in range(changes):
            unit = i % 8 + 1
            lamps = {unit: ACTIVE}
            if current:
                lamps[current] = GREY
            shown = panel.set(lamps)
            counts[unit] += 1
            block = sims[unit].wait_blocks(counts[unit], 10, f"block {i + 1} at unit {unit}")
            latencies.append((float(block["t"]) - shown) * 1000)
            current = unit
            # A random phase against the poll timer, so every point of the interval is sampled.
            time.sleep(rng.uniform(0, poll / 1000))
        rss = resident_kib(program_pid(program)) / 1024
        return latencies, rss


def idle_run(build, tools):
    with Session(build, tools) as session:
        panel, sims, program = start_world(session, 200, 3000)
        pid = program_pid(program)
        time.sleep(1.0)  # let start-up work end before measuring
        idle = cpu_percent(pid, 10)
        server = cpu_percent(session.wineserver.pid, 2) if session.wineserver else None
        return idle, server, resident_kib(pid) / 1024


def silent_run(build, tools):
    with Session(build, tools) as session:
        panel, sims, program = start_world(session, 200, 6000, silent_unit=1)
        pid = program_pid(program)
        panel.set({1: ACTIVE})
        sims[1].wait_blocks(1, 10, "block at the silent unit")
        busy = cpu_percent(pid, 4)  # the reply wait lasts 6 s
        return busy


def describe(values):
    ordered = sorted(values)
    p95 = ordered[min(len(ordered) - 1, int(round(0.95 * (len(ordered) - 1))))]
    return statistics.median(ordered), p95, ordered[-1]


def bench(build, tools, changes):
    print(f"== {build.kind}: {build.exe}")
    results = {}
    peak_rss = 0.0
    for poll in (200, 20):
        started = time.monotonic()
        latencies, rss = latency_run(build, tools, poll, changes)
        median, p95, worst = describe(latencies)
        goal_median, goal_max = GOALS[poll]
        verdict = "ok" if median <= goal_median and worst <= goal_max else "OVER GOAL"
        print(f"  PollInterval {poll:3d}: lamp -> block over {len(latencies)} changes: median {median:6.1f} ms, "
              f"p95 {p95:6.1f} ms, max {worst:6.1f} ms (goal median <= {goal_median}, max <= {goal_max}) "
              f"{verdict}  [{time.monotonic() - started:.0f} s]")
        results[poll] = (median, p95, worst)
        peak_rss = max(peak_rss, rss)
    idle, server, rss = idle_run(build, tools)
    rss = max(rss, peak_rss)
    print(f"  idle, 8 units connected: {idle:.2f} % of a core (goal <= {IDLE_GOAL}) "
          f"{'ok' if idle <= IDLE_GOAL else 'OVER GOAL'}"
          + (f"; wineserver {server:.2f} %" if server is not None else ""))
    busy = silent_run(build, tools)
    print(f"  waiting for a silent unit: {busy:.2f} % of a core (goal <= {SILENT_GOAL}) "
          f"{'ok' if busy <= SILENT_GOAL else 'OVER GOAL'}")
    goal = RSS_GOAL_MB[build.kind]
    print(f"  resident memory (largest seen): {rss:.1f} MB (goal <= {goal} MB) {'ok' if rss <= goal else 'OVER GOAL'}")


def main():
    repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tools", default=os.path.join(repo, "build", "linux", "tools"))
    ap.add_argument("--linux", default=os.path.join(repo, "build", "linux", "TavoRouterControl"))
    ap.add_argument("--win64", default=os.path.join(repo, "build", "win64", "TavoRouterControl.exe"))
    ap.add_argument("--changes", type=int, default=200)
    ap.add_argument("--only", choices=("linux", "win64"))
    args = ap.parse_args()
    tools = os.path.abspath(args.tools)
    if not os.path.isfile(os.path.join(tools, "tavo-unit-sim")):
        print(f"stand-ins not found in {tools}: build the linux configuration first")
        return 1
    for kind, exe in (("linux", args.linux), ("win64", args.win64)):
        if args.only and args.only != kind:
            continue
        if not os.path.isfile(exe):
            print(f"== {kind}: {exe} not built, skipped")
            continue
        try:
            bench(Build(kind, os.path.abspath(exe), repo), tools, args.changes)
        except Failure as f:
            print(f"  {kind}: benchmark broke off: {f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
