#!/usr/bin/env python3
"""End-to-end scenarios: the real program (Linux build, or Windows build under wine) against the lamp
panel and unit stand-ins, each on a private Xvfb.

  run_e2e.py --build linux|win64 --exe PATH --tools DIR --scenario NAME [--keep]

Exit code 0 passed, 1 failed, 77 skipped (the program's executable does not exist).
"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2elib import (ACTIVE, GP_OUT, GREY, ON_AIR, Failure, Panel, Program, Session,  # noqa: E402
                    UnitSim, free_port, ini_text, scenario_main, syn_sent_count, wait_for)

POLL_MS = 50
RECONNECT_MS = 500
ERROR_TITLE = "^TavoRouterControl - Error$"
WARNING_TITLE = "^Warning$"


class Timing:
    """Deadlines: bounds for events, not delays. Wine starts slowly, so its bounds are wider."""

    def __init__(self, wine):
        self.start = 40 if wine else 15           # program up and first units connected
        self.trigger = 6 if wine else 4           # lamp on screen -> block at the unit
        self.window = 30 if wine else 15          # a message box appears
        # A reconnect needs the pass that finds the loss and the pass after it: two periods, plus
        # the passes' own work (greeting waits) and slack for a loaded machine.
        self.two_passes = 2 * RECONNECT_MS / 1000 + (3.0 if wine else 2.0)


class Scenario:
    def __init__(self, session, timing):
        self.s = session
        self.t = timing
        self.sims = {}      # unit -> UnitSim
        self.expected = {}  # unit -> blocks expected so far
        self.clock = None   # a unit stand-in reset on purpose to measure maintenance passes
        self.panel = None
        self.program = None

    def start(self, sims, ini_units=None, version="1", clock_unit=None, connect=True):
        self.s.start_xvfb()
        self.panel = Panel(self.s)
        units = {}
        for unit, sim in sims.items():
            self.sims[unit] = sim
            self.expected[unit] = 0
            units[unit] = f"127.0.0.1:{sim.port}"
        if clock_unit:
            self.clock = UnitSim(self.s, f"clock-unit{clock_unit}")
            units[clock_unit] = f"127.0.0.1:{self.clock.port}"
        units.update(ini_units or {})
        if self.s.build.is_wine:
            self.s.prepare_wine_prefix()
        self.program = Program(self.s, ini_text(units, poll=POLL_MS, reconnect=RECONNECT_MS, version=version))
        if connect:
            self.wait_connected()

    def wait_connected(self, units=None):
        for unit, sim in self.sims.items():
            if units is None or unit in units:
                sim.wait_connections(1, self.t.start, f"unit {unit} connected after start-up")
        if self.clock:
            self.clock.wait_connections(1, self.t.start, "clock unit connected after start-up")

    def hold(self, why):
        """Lets at least one whole maintenance period (ten or more polls) pass, proven by an event: the
        clock unit resets its connection and waits to be connected again, which takes the pass that
        finds the loss and the pass after it."""
        before = len(self.clock.connections())
        self.clock.send("reset")
        self.clock.wait_connections(before + 1, self.t.two_passes + 3,
                                    f"({why}) clock unit reconnected after its reset; "
                                    "the maintenance pass is stuck (an open message box?)")

    def check_counts(self, label):
        for unit, sim in self.sims.items():
            blocks = sim.blocks()
            for b in blocks:
                if b["bytes"] != str(len(GP_OUT)) or b["hex"] != GP_OUT.hex():
                    raise Failure(f"{label}: unit {unit} received a block that is not the GP-out block: {b}")
            if len(blocks) != self.expected[unit]:
                raise Failure(f"{label}: unit {unit} has received {len(blocks)} blocks, expected "
                              f"{self.expected[unit]} (counts: "
                              f"{ {u: len(s.blocks()) for u, s in self.sims.items()} })")
            partial = sim.events("partial")
            if partial:
                raise Failure(f"{label}: unit {unit} was left an unfinished block: {partial}")

    def change(self, lamps, expect, label, hold=True):
        """Shows the lamp colours; expect is the unit that must receive one block (None: nobody)."""
        shown = self.panel.set(lamps)
        block = None
        if expect is not None:
            self.expected[expect] += 1
            block = self.sims[expect].wait_blocks(self.expected[expect], self.t.trigger,
                                                  f"{label}: block at unit {expect}")
            latency = float(block["t"]) - shown
            print(f"  {label}: unit {expect} got the block {latency * 1000:.0f} ms after the lamp change")
        if hold:
            self.hold(label)
        self.check_counts(label)
        if expect is None:
            print(f"  {label}: no block, as expected")
        return block


# Scenarios -------------------------------------------------------------------------------------
def scenario_selection(sc):
    """Selection moves and the rules that pick a unit from the lamps."""
    sims = {u: UnitSim(sc.s, f"unit{u}") for u in (1, 2, 3)}
    sc.start(sims, clock_unit=4)
    A, O, G = ACTIVE, ON_AIR, GREY
    sc.hold("all lamps grey")
    sc.check_counts("all lamps grey selects nothing")
    steps = [
        ({1: A}, 1, "unit 1 active"),
        ({1: G, 3: A}, 3, "selection moves 1 -> 3"),
        ({3: G, 2: A}, 2, "selection moves 3 -> 2"),
        ({2: G}, None, "no lamp lit keeps the selection"),
        ({2: A}, None, "the selected unit lit again is not triggered again"),
        ({2: G, 3: A, 1: O}, 3, "active outranks a lower on-air lamp"),
        ({1: G, 2: A}, 2, "two active lamps: the lowest wins"),
        ({2: G, 3: O}, 3, "a single on-air lamp selects"),
        ({1: O}, None, "two on-air lamps change nothing"),
        ({3: G}, 1, "the on-air lamp left alone selects"),
        ({1: G, 5: A}, None, "the lamp of an unconfigured unit is not looked at"),
        ({5: G, 2: A}, 2, "selection moves 1 -> 2"),
    ]
    for lamps, expect, label in steps:
        sc.change(lamps, expect, label)


def scenario_reconnect(sc):
    """A unit that restarts, and one that closes in an orderly way, are reconnected and triggered."""
    sims = {1: UnitSim(sc.s, "unit1-restarts"), 2: UnitSim(sc.s, "unit2-closes"), 3: UnitSim(sc.s, "unit3")}
    sc.start(sims)
    A, G = ACTIVE, GREY
    sc.change({1: A}, 1, "unit 1 selected", hold=False)
    for unit, command in ((1, "restart"), (2, "close")):
        sim = sc.sims[unit]
        before = len(sim.connections())
        lost_at = time.monotonic()
        sim.send(command)
        sim.wait_connections(before + 1, sc.t.two_passes,
                             f"unit {unit} ({command}) reconnected within two maintenance passes")
        print(f"  unit {unit} ({command}): reconnected after {time.monotonic() - lost_at:.2f} s")
        other = 3
        sc.change({u: G for u in (1, 2)} | {other: A}, other, f"after unit {unit}'s {command}: unit {other}",
                  hold=False)
        block = sc.change({other: G, unit: A}, unit, f"after its {command}: unit {unit} again", hold=False)
        if block["conn"] != str(before + 1):
            raise Failure(f"unit {unit}: the block came on connection {block['conn']}, expected the new "
                          f"connection {before + 1}")


def scenario_misbehaving(sc):
    """Units that reset mid-reply, never answer, flood, or have a full backlog do not stop the others."""
    sims = {
        1: UnitSim(sc.s, "unit1-resets-mid-reply", reply="reset"),
        2: UnitSim(sc.s, "unit2-never-answers", reply="none"),
        3: UnitSim(sc.s, "unit3-floods"),
        4: UnitSim(sc.s, "unit4-good"),
        # Connected at first, then its backlog fills and it drops the connection: the program's
        # reconnect hangs until the platform gives up. Last, because the pass that hangs on it reaches
        # the units after it only then.
        5: UnitSim(sc.s, "unit5-backlog-full"),
    }
    sc.start(sims)
    A, G = ACTIVE, GREY
    sims[5].send("stop-accepting")
    sims[5].wait_event("stopped-accepting", 5, "unit 5 stopped accepting")
    dummies = syn_sent_count(sims[5].port)  # the stand-in's own connects that fill the backlog
    sims[5].send("reset")
    hung = wait_for(lambda: syn_sent_count(sims[5].port) > dummies, sc.t.two_passes + 3,
                    "the program's reconnect to unit 5 hanging on the full backlog", sc.s)
    print(f"  unit 5: backlog full, the program's connect hangs ({hung} connects waiting)")
    sims[3].send("flood:4000000")
    previous = None
    # Unit 5 is never selected: a trigger it cannot get has no observable trace.
    for unit in (4, 1, 4, 2, 4, 3, 4, 2, 3, 4):
        if unit == 3:
            sims[3].send("flood:2000000")
        lamps = {unit: A}
        if previous:
            lamps[previous] = G
        sc.change(lamps, unit, f"unit {unit} selected", hold=False)
        previous = unit
    # Each misbehaviour really happened. (Unit 1 is not reconnected here: the pass that would do it
    # waits on unit 5's connect; the reconnect scenario covers reconnecting.)
    if not sims[1].events("closed") or sims[1].events("closed")[0]["reason"] != "reply-reset":
        raise Failure(f"unit 1 did not reset mid-reply: {sims[1].events('closed')}")
    if any(e["what"] == "reply" for e in sims[2].events("sent")):
        raise Failure("unit 2 answered")
    flooded = sum(int(e["bytes"]) for e in sims[3].events("sent") if e["what"] == "flood")
    if flooded < 4000000:
        raise Failure(f"unit 3 flooded only {flooded} bytes")
    print(f"  unit 1 reset mid-reply, unit 2 never answered, unit 3 flooded {flooded} bytes")
    if len(sims[5].connections()) != 1:
        raise Failure(f"unit 5's backlog was full, yet it accepted: {sims[5].connections()}")
    if syn_sent_count(sims[5].port) <= dummies:
        raise Failure("the program's connect to unit 5 ended during the run; the test proved nothing")
    sc.check_counts("end of the misbehaving-units run")


def scenario_errorbox(sc):
    """The first failed connection shows its error box; later passes show none."""
    refused = free_port()
    sc.start({}, ini_units={1: f"127.0.0.1:{refused}"}, clock_unit=2, connect=False)
    box = sc.s.wait_window(ERROR_TITLE, sc.t.window, "error box of the first failed connection")
    if sc.clock.connections():
        raise Failure("unit 2 was connected while the error box of unit 1 was still open")
    sc.s.dismiss(box, ERROR_TITLE)
    sc.clock.wait_connections(1, sc.t.start, "unit 2 connected after the error box was closed")
    # Every later pass tries unit 1 again (before unit 2); a box there would stop the pass.
    for i in range(3):
        sc.hold(f"later pass {i + 1}")
        boxes = sc.s.visible_windows(ERROR_TITLE)
        if boxes:
            raise Failure(f"a later maintenance pass showed an error box again: windows {boxes}")
    print("  error box shown once, later passes silent")


def scenario_version(sc):
    """A file without Version draws the warning; start-up goes on once it is closed."""
    sims = {1: UnitSim(sc.s, "unit1")}
    sc.start(sims, version=None, connect=False)
    box = sc.s.wait_window(WARNING_TITLE, sc.t.window, "version warning box")
    if sims[1].connections():
        raise Failure("unit 1 was connected while the version warning was still open")
    sc.s.dismiss(box, WARNING_TITLE)
    sc.wait_connected()
    sc.change({1: ACTIVE}, 1, "trigger after the warning", hold=False)
    if sc.s.visible_windows(WARNING_TITLE):
        raise Failure("the version warning came back")


SCENARIOS = {
    "selection": scenario_selection,
    "reconnect": scenario_reconnect,
    "misbehaving": scenario_misbehaving,
    "errorbox": scenario_errorbox,
    "version": scenario_version,
}


def print_backtraces(session):
    """Where the program stands at a failure (set TAVO_E2E_BACKTRACE=1; needs gdb, Linux build)."""
    for p in session.processes:
        if p.name == "program" and p.alive():
            r = subprocess.run(["gdb", "-p", str(p.pid), "-batch", "-ex", "thread apply all bt"],
                               capture_output=True, text=True, timeout=60)
            print(r.stdout[-6000:])


def run(session, args, scenario):
    try:
        scenario(Scenario(session, Timing(session.build.is_wine)))
    except Failure:
        if os.environ.get("TAVO_E2E_BACKTRACE"):
            print_backtraces(session)
        raise


def main():
    return scenario_main(__doc__, SCENARIOS, "e2e", run)


if __name__ == "__main__":
    sys.exit(main())
