"""One program on the lamp panel with unit stand-ins keyed by unit number: its settings file, its start,
the selections made on the panel and the blocks they bring, the ledger that holds the one against the
other. Shared by the end-to-end tests, the benchmark, the soak and the demo."""

import time

from harness.display import Xvfb
from harness.proc import wait_for
from harness.program import Program, ini_text, on_wine
from harness.standins import ACTIVE, GREY, INF, Ledger, Panel, UnitSim
from harness.wine import Wine


class World:
    """kind 'linux', 'win32' or 'win64' (these two under wine: the set-up given, else one of its own). x, panel:
    a display and a lamp panel to use; without x, an Xvfb of its own with the panel on it (and wine's server
    ends with the workspace). start, trigger: bounds (s) of the waits for connections and for blocks; seen: the
    ledger's."""

    def __init__(self, ws, kind, exe, wine=None, x=None, panel=None, start=15, trigger=4, seen=0.3):
        self.wine = wine or (Wine() if on_wine(kind) else None)
        self.ws, self.kind, self.exe, self.x = ws, kind, exe, x or Xvfb(ws)
        if self.wine and not x:
            ws.cleanups.append(self.wine.stop)
        self.panel = panel or Panel(ws, self.x.env())
        self.bound, self.trigger = start, trigger
        self.sims, self.program, self.current, self.started = {}, None, None, None
        self.ledger = Ledger(self.sims, seen)

    def unit(self, n, **kw):
        self.sims[n] = UnitSim(self.ws, f"unit{n}", **kw)
        return self.sims[n]

    def units(self, *ns, **kw):
        return {n: self.unit(n, **kw) for n in ns}

    def ini(self, addresses=None, **kw):
        """The settings for the stand-ins, and addresses {n: text} besides; every lamp's centre."""
        units = {n: f"127.0.0.1:{s.port}" for n, s in self.sims.items()} | (addresses or {})
        return ini_text(units, {n: self.panel.centre(n) for n in range(1, 9)}, **kw)

    def launch(self, ini, watch=True, exe=None, **kw):
        p = Program(self.ws, self.kind, exe or self.exe, self.x.env(), ini, self.wine, **kw)
        self.ws.watched.update([p] * watch)
        return p

    def start(self, addresses=None, wait=None, program=None, units=(), **kw):
        """Starts the program on the stand-ins and addresses; waits for those in wait (all) to connect.
        units: new stand-ins first, numbers or {number: their options}."""
        for n in units:
            self.unit(n, **(units[n] if isinstance(units, dict) else {}))
        self.started = time.monotonic()
        self.program = self.launch(self.ini(addresses, **kw), **(program or {}))
        self.connect(wait)
        return self.program

    def stop(self):
        """Ends the program; a start after it takes new stand-ins (these stay up)."""
        self.program.stop()
        self.sims.clear()

    def connect(self, units=None):
        for n in self.sims if units is None else units:
            self.sims[n].wait_connections(1, self.bound, f"unit {n} connected after start-up")

    def connected(self, n, margin=0.05):
        now = time.monotonic()
        return any(a + margin <= now and b == INF for a, b in self.sims[n].live())

    def level(self, timeout=None):
        """(resident KiB, descriptors) of the program once every unit is connected, so that they compare."""
        wait_for(lambda: all(self.connected(n) for n in self.sims), timeout or self.bound, "every unit connected",
                 self.ws.check_alive)
        return self.program.resources()

    def settled(self, base, slack_kib, timeout=0):
        """Waits (up to timeout s) for the program's level to come back to base: as many descriptors, at most
        slack_kib more resident memory. Returns that level and whether it came back."""
        def flat(r):
            return r[1] == base[1] and r[0] <= base[0] + slack_kib
        now, deadline = self.level(), time.monotonic() + timeout
        while not flat(now) and time.monotonic() < deadline:
            self.ws.check_alive()
            time.sleep(0.02)
            now = self.program.resources()
        return now, flat(now)

    def command(self, n, word, event):
        """Sends unit n's stand-in a command and waits for the event that answers it; returns its time."""
        count = len(self.sims[n].events(event)) + 1
        self.sims[n].send(word)
        return float(self.sims[n].wait_event(event, 5, f"unit {n}: {word}", count)["t"])

    def down(self, n, bound=None):
        """Switches unit n off and waits until the program has seen it go."""
        closed = sum(d == "closed" for _, _, d in self.program.diagnostics(n))
        self.command(n, "down", "down")
        self.program.wait_diagnostic(n, "closed", bound or self.bound, count=closed + 1)

    def back(self, n):
        """Switches unit n on again; returns when it listened."""
        return self.command(n, "up", "listening")

    def bounce(self, n, command, bound=None):
        """A command that drops unit n's connection; waits for the program's next one."""
        count = len(self.sims[n].connections())
        self.sims[n].send(command)
        self.sims[n].wait_connections(count + 1, bound or self.bound, f"unit {n} reconnected after {command!r}")

    def block(self, n, count, bound=None, what=None):
        """The time unit n received its count-th block, waited for."""
        return float(self.sims[n].wait_blocks(count, bound or self.trigger, what or f"unit {n}'s block")["t"])

    def select(self, unit, lamps=None, wait=None, bound=None, what=None):
        """Shows lamps (default: unit's lit, the last one grey); with wait (default: when unit is connected)
        returns the seconds from the lamps on the screen to unit's block."""
        lamps = lamps or {unit: ACTIVE} | ({self.current: GREY} if self.current not in (None, unit) else {})
        wait = self.connected(unit, 0) if wait is None else wait
        before = wait and len(self.sims[unit].blocks())
        shown = self.panel.set(lamps)
        if unit != self.current:
            self.ledger.add(unit, shown)
        self.current = unit
        if wait:
            return self.block(unit, before + 1, bound, what) - shown

    def tour(self, units, **kw):
        """Selects each of units in turn; their latencies (None where not waited for)."""
        return [self.select(n, **kw) for n in units]
