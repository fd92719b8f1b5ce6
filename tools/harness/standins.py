"""The stand-ins (tools/UnitSim.cpp, tools/LampPanel.cpp), their logs, and the selection ledger that
judges what the units received against the changes made on the panel."""

import bisect
import os

from harness.proc import Failure, LogProcess

GP_OUT = b"CONTROL:\nGP out: yes\n\n"
ACTIVE, ON_AIR, GREY = "#3296FF", "#E52F2F", "#808080"
INF = float("inf")


def parse(line):
    """'block t=1.5 conn=2 bytes=22' -> ('block', {'t': '1.5', 'conn': '2', 'bytes': '22'})."""
    words = line.split()
    return (words[0] if words else ""), dict(w.split("=", 1) for w in words[1:] if "=" in w)


class StandIn(LogProcess):
    """A stand-in's stdout is one event per line, each with its own CLOCK_MONOTONIC time t=."""

    def events(self, kind):
        return [f for k, f in map(parse, self.snapshot()) if k == kind]

    def wait_event(self, kind, timeout, what, count=1, where=lambda f: True):
        """The count-th event of this kind (that where() accepts), waited for."""
        def found(lines):
            hits = [f for k, f in map(parse, lines) if k == kind and where(f)]
            return hits[count - 1] if len(hits) >= count else None
        return self.wait_until(found, timeout, what)


class UnitSim(StandIn):
    def __init__(self, ws, name, greeting="lines", reply="ack", extra=(), port=0, prefix=()):
        argv = [*prefix, os.path.join(ws.tools, "tavo-unit-sim"), "--port", str(port), "--greeting", greeting,
                "--reply", reply, *extra]
        super().__init__(ws, ws.unique(name), argv, stdin=True)
        ws.watched.add(self)
        self.port = int(self.wait_event("listening", 10, f"{name} listening")["port"])

    def blocks(self):
        return self.events("block")

    def connections(self):
        return self.events("connected")

    def wait_connections(self, count, timeout, what):
        return self.wait_event("connected", timeout, what, count)

    def wait_blocks(self, count, timeout, what):
        return self.wait_event("block", timeout, what, count)

    def live(self):
        """(accepted, closed) times of every connection; closed is inf while it is open."""
        spans, opened = [], {}
        for kind, f in map(parse, self.snapshot()):
            if kind == "connected":
                opened[f["conn"]] = float(f["t"])
            elif kind == "closed" and f["conn"] in opened:
                spans.append((opened.pop(f["conn"]), float(f["t"])))
        return spans + [(t, INF) for t in opened.values()]


class Panel(StandIn):
    """Eight lamps, lamp n's top left corner at (x + (n-1)*step, y)."""

    def __init__(self, ws, x_env, x=100, y=900, step=40, size=24, legend=False):
        self.x, self.y, self.step, self.size = x, y, step, size
        argv = [os.path.join(ws.tools, "tavo-lamp-panel"), "--grid", f"{x},{y},{step}", "--size", f"{size},{size}"]
        if legend:
            argv += ["--legend", f"{ACTIVE},{ON_AIR},{GREY}"]
        super().__init__(ws, ws.unique("panel"), argv, env=x_env, stdin=True)
        ws.watched.add(self)
        self.wait_event("ready", 15, "lamp panel ready")
        self.colours = {n: GREY for n in range(1, 9)}

    def centre(self, n):
        return self.x + (n - 1) * self.step + self.size // 2, self.y + self.size // 2

    def set(self, changes):
        """changes {lamp: '#RRGGBB'}; returns the time (CLOCK_MONOTONIC) they were all on the screen."""
        start = len(self.snapshot())
        self.send(" ".join(f"{n} {c}" for n, c in sorted(changes.items())))

        def shown(lines):
            seen = {}
            for kind, f in map(parse, lines[start:]):
                if kind == "error":
                    raise Failure(f"lamp panel refused {changes}: {f}")
            for line in lines[start:]:
                words = line.split()
                if words[:1] == ["lamp"]:
                    seen[int(words[1])] = float(words[3][2:])
            return max(seen.values()) if set(changes) <= set(seen) else None
        t = self.wait_until(shown, 10, f"lamps {changes} shown")
        self.colours.update(changes)
        return t

    def reset(self):
        if any(c != GREY for c in self.colours.values()):
            self.set({n: GREY for n in range(1, 9)})


class Ledger:
    """Selection changes and the blocks the units received, judged by the program's rule: every change
    reaches its unit exactly once, unless it was superseded before its unit came back (connected, its
    greeting drained: back[unit] seconds after the accept); nothing else is ever sent.
    seen: how long the program may take to act on a change (a poll, a nested wait, a loaded machine)."""

    SHOWN_EARLY = 0.02  # the panel logs a change after its read-back; the poll may see it a little earlier

    def __init__(self, sims, seen=0.3, back=None):
        self.sims, self.seen, self.back = sims, seen, back or {}
        self.changes = []  # [unit, shown, ended]

    def add(self, unit, shown):
        if self.changes:
            self.changes[-1][2] = shown
        self.changes.append([unit, shown, INF])

    def judge(self, now):
        """Returns (figures, problems, latencies {change index: seconds})."""
        problems, got, latency = [], [0] * len(self.changes), {}
        late = superseded = 0
        for u, sim in self.sims.items():
            mine = [i for i, c in enumerate(self.changes) if c[0] == u]
            starts = [self.changes[i][1] for i in mine]
            for b in sim.blocks():
                t = float(b["t"])
                if b["hex"] != GP_OUT.hex():
                    problems.append(f"unit {u} received something other than the GP-out block: {b}")
                k = bisect.bisect_right(starts, t + self.SHOWN_EARLY) - 1
                if k < 0:
                    problems.append(f"unit {u} received a block no selection asked for at {t:.3f}")
                    continue
                i = mine[k]
                got[i] += 1
                latency.setdefault(i, t - self.changes[i][1])
                if t > self.changes[i][2] + self.seen:
                    problems.append(f"the change to unit {u} at {starts[k]:.3f} was delivered at {t:.3f}, after "
                                    f"it was superseded at {self.changes[i][2]:.3f}")
            problems += [f"unit {u} was left an unfinished block: {p}" for p in sim.events("partial")]
        for i, (u, shown, ended) in enumerate(self.changes):
            end = min(ended, now)
            back = self.back.get(u, 0.05)
            reachable = any(max(a + back, shown) + self.seen <= min(b, end) for a, b in self.sims[u].live())
            if got[i] > 1:
                problems.append(f"the change to unit {u} at {shown:.3f} was delivered {got[i]} times")
            elif got[i] == 0 and reachable:
                problems.append(f"the change to unit {u} at {shown:.3f} (until {ended:.3f}) was never delivered, "
                                "though the unit was connected meanwhile")
            elif got[i] == 0:
                superseded += 1
            elif latency[i] > self.seen:
                late += 1
        figures = {"changes": len(self.changes), "delivered": sum(1 for g in got if g), "late": late,
                   "superseded": superseded, "duplicates": sum(1 for g in got if g > 1)}
        return figures, problems, latency
