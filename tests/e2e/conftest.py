"""The end-to-end rig: per build one private display with the lamp panel (and, for the Windows build,
one wine server), shared by the session; per test a workspace with the program and unit stand-ins."""

import os, re, time
from types import SimpleNamespace
import pytest
from harness import REPO
from harness.display import Xvfb
from harness.proc import Failure, Workspace, wait_for
from harness.program import Program, ini_text
from harness.standins import ACTIVE, GREY, INF, Ledger, Panel, UnitSim
from harness.wine import Wine


def pytest_addoption(parser):  # each program's picker is beside it
    parser.addoption("--build", action="append", choices=("linux", "win64"), help="only this build (default both)")
    parser.addoption("--linux-exe", default=os.path.join(REPO, "build/linux/TavoRouterControl"))
    parser.addoption("--win64-exe", default=os.path.join(REPO, "build/win64/TavoRouterControl.exe"))
    parser.addoption("--tools", default=os.path.join(REPO, "build/linux/tools"))


def pytest_configure(config):
    config.addinivalue_line("markers", "linux_only: the Linux build's own behaviour")
    kinds = config.getoption("build") or []
    if len(kinds) == 1 and not os.path.isfile(exe := config.getoption(f"--{kinds[0]}-exe")):
        pytest.exit(f"SKIP: {exe} does not exist: build the {kinds[0]} configuration first", returncode=77)


def pytest_generate_tests(metafunc):
    if "build" in metafunc.fixturenames:
        kinds = metafunc.config.getoption("build") or ["linux", "win64"]
        metafunc.parametrize("build", kinds, indirect=True, scope="session")


def pytest_collection_modifyitems(config, items):
    other = [i for i in items if i.get_closest_marker("linux_only") and i.callspec.params["build"] != "linux"]
    config.hook.pytest_deselected(items=other)
    items[:] = [i for i in items if i not in other]


def pytest_terminal_summary(terminalreporter):
    terminalreporter.section("scenarios: seconds and figures")
    for report in terminalreporter.getreports("passed") + terminalreporter.getreports("failed"):
        terminalreporter.write_line(f"{report.duration:6.1f} s  {report.location[2]}")
        for _, line in report.user_properties:
            terminalreporter.write_line(f"           {line}")


@pytest.fixture(scope="session")
def build(request):
    kind, option, wine = request.param, request.config.getoption, request.param == "win64"
    if not os.path.isfile(exe := option(f"--{kind}-exe")):
        pytest.skip(f"{exe} does not exist: build the {kind} configuration first")
    # start, trigger, window: bounds of waits, not delays. Every winsock call goes through the wine server,
    # which other busy sockets keep busy: the hold-up goals get allowance_ms more under wine.
    return SimpleNamespace(kind=kind, wine=wine, tools=option("--tools"), exe=exe,
                           picker=os.path.join(os.path.dirname(exe), "TavoLampPicker" + ".exe" * wine),
                           start=40 if wine else 15, trigger=6 if wine else 4, window=30 if wine else 15,
                           allowance_ms=40 if wine else 0)


@pytest.fixture(scope="session")
def desk(build, request):
    """One display for all of a build's scenarios, with the lamp panel and (Windows build) wine."""
    ws = Workspace(f"e2e-{build.kind}", build.tools)
    x = Xvfb(ws)
    desk = SimpleNamespace(x=x, panel=Panel(ws, x.env()), wine=Wine() if build.wine else None)
    ws.cleanups.append(lambda: desk.wine and desk.wine.stop())
    yield desk
    ws.close(ok=request.session.testsfailed == 0)


class World:
    """One scenario: unit stand-ins, the program, the selections made and what the units received."""

    def __init__(self, desk, build, ws):
        self.x, self.panel, self.wine, self.build, self.ws = desk.x, desk.panel, desk.wine, build, ws
        self.sims, self.program, self.current = {}, None, None
        self.ledger = Ledger(self.sims, seen=0.6 if build.wine else 0.3)

    def search(self, *criteria, visible=True):
        """xdotool search, retried while windows vanish during the search (xdotool gives up then)."""
        for _ in range(20):
            r = self.x.run("xdotool", "search", *(["--onlyvisible"] if visible else []), *criteria)
            if "BadWindow" not in r.stderr and "X Error" not in r.stderr:
                return r.stdout.split()
        raise Failure(f"xdotool search {criteria} kept failing")

    def boxes(self, program, title):
        return set(self.search("--all", "--pid", str(program.pid), "--name", f"^{title}$"))

    def geometry(self, window):
        """(left, top, width, height) on the screen, or None once the window has gone."""
        r = self.x.run("xdotool", "getwindowgeometry", "--shell", window)
        g = dict(v.split("=") for v in r.stdout.split() if "=" in v)
        return tuple(int(g[k]) for k in ("X", "Y", "WIDTH", "HEIGHT")) if r.returncode == 0 else None

    def box_text(self, window, program):
        """A box's text: under wine from its trace; in Qt its label's paragraph, selected by a triple click."""
        if self.build.wine:
            return wait_for(lambda: program.box_texts()[-1:], 5, "the box's text traced by wine")[0]
        left, top = self.isolate(window)[:2]

        def selected():
            for dy in (22, 16, 30):
                self.x.run("xdotool", "mousemove", str(left + 80), str(top + dy),
                           "click", "--repeat", "3", "--delay", "60", "1")
                r = self.x.run("xclip", "-selection", "primary", "-o", timeout=10)
                if r.returncode == 0 and len(r.stdout.split()) > 3:  # a paragraph, not a word
                    return r.stdout
        return wait_for(selected, 10, f"the text of box {window} selected", interval=0.2)

    def isolate(self, window):
        """Raises a box (they lie on each other); a Qt box also goes to a corner to be read (wine would not know)."""
        if self.build.wine:
            self.x.run("xdotool", "windowraise", window)
            return self.geometry(window)
        self.x.run("xdotool", "windowmove", window, "760", "20", "windowraise", window)
        return wait_for(lambda: (lambda g: g and g[:2] == (760, 20) and g)(self.geometry(window)), 5,
                        f"box {window} moved to a corner")

    def dismiss(self, window, title):
        """Answers a box's OK: a click under wine (where keys reach only the window it deems active), Return in Qt."""
        clicked = [0.0]

        def closed():
            if window not in self.search("--name", title):
                return True
            if time.monotonic() - clicked[0] < 0.7:  # never two clicks a double-click apart
                return False
            left, top, width, height = self.isolate(window)
            if self.build.wine:  # a box's one button sits in the middle of its bottom edge
                self.x.run("xdotool", "mousemove", str(left + width // 2), str(top + height - 24), "click", "1")
            else:  # the box closes on the press, so the release goes nowhere and the key stays down
                self.x.run("xdotool", "mousemove", str(left + width // 2), str(top + 6), "click", "1", "key", "Return")
                self.x.run("xdotool", "keyup", "Return")
            clicked[0] = time.monotonic()
        wait_for(closed, 10, f"box {window} /{title}/ answered", interval=0.1)

    def unit(self, n, **kw):
        self.sims[n] = UnitSim(self.ws, f"unit{n}", **kw)
        return self.sims[n]

    def ini(self, addresses=None, **kw):
        units = {n: f"127.0.0.1:{s.port}" for n, s in self.sims.items()} | (addresses or {})
        return ini_text(units, {n: self.panel.centre(n) for n in range(1, 9)}, **kw)

    def launch(self, ini, watch=True, **kw):
        p = Program(self.ws, self.build.kind, self.build.exe, self.x.env(), ini, self.wine, **kw)
        self.ws.watched.update([p] * watch)
        return p

    def start(self, addresses=None, wait=None, program=None, **kw):
        """Starts the program on the stand-ins and addresses {n: text}; waits for those in wait (all) to connect."""
        self.program = self.launch(self.ini(addresses, **kw), **(program or {}))
        for n in self.sims if wait is None else wait:
            self.sims[n].wait_connections(1, self.build.start, f"unit {n} connected after start-up")
        return self.program

    def connected(self, n, margin=0.05):
        now = time.monotonic()
        return any(a + margin <= now and b == INF for a, b in self.sims[n].live())

    def bounce(self, n, command):
        count = len(self.sims[n].connections())
        self.sims[n].send(command)
        self.sims[n].wait_connections(count + 1, self.build.start, f"unit {n} reconnected after {command!r}")

    def select(self, unit, lamps=None, wait=None, bound=None, what=None):
        """Shows lamps (default: unit's lit, the last one grey); waits for unit's block if it is connected."""
        lamps = lamps or {unit: ACTIVE} | ({self.current: GREY} if self.current not in (None, unit) else {})
        wait = self.connected(unit, 0) if wait is None else wait
        before = len(self.sims[unit].blocks())
        shown = self.panel.set(lamps)
        if unit != self.current:
            self.ledger.add(unit, shown)
        self.current = unit
        if wait:
            block = self.sims[unit].wait_blocks(before + 1, bound or self.build.trigger, what or f"unit {unit}'s block")
            return float(block["t"]) - shown

    def judge(self, report=False):
        """Holds what the units received against the selections made; report: prints its figures."""
        figures, problems, _ = self.ledger.judge(time.monotonic())
        if report:
            self.figure("selections: " + ", ".join(f"{k} {v}" for k, v in figures.items()))
        assert not problems, "\n  ".join(problems[:20]) + self.diagnostics()

    def diagnostics(self, count=25):
        return "\n  the program's last diagnostic lines:\n    " + "\n    ".join(
            f"{t:.3f} Unit{u}: {d}" for t, u, d in self.program.diagnostics()[-count:]) if self.program else ""


@pytest.fixture
def w(desk, build, request):
    ws, failed = Workspace(re.sub(r"[^\w-]", "-", request.node.name), build.tools), request.session.testsfailed
    desk.panel.reset()
    world = World(desk, build, ws)
    world.figure = lambda line: request.node.user_properties.append(("figure", line))  # printed in the summary
    yield world
    if request.session.testsfailed > failed:  # this test's set-up or call failed: its traces are kept
        desk.x.run("import", "-window", "root", f"{ws.dir}/failure.png")  # a picture of the screen, kept too
    ws.close(ok=request.session.testsfailed == failed)
