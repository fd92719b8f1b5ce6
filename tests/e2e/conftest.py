"""The end-to-end rig: per build one private display with the lamp panel (and, for the Windows build,
one wine server), shared by the session; per test a workspace with the program and unit stand-ins."""

import os, re, time
from types import SimpleNamespace
import pytest
from harness import TOOLS, world
from harness.proc import Failure, Workspace, wait_for
from harness.program import built, on_wine

KINDS = ("linux", "win32", "win64")
# x64 shares every line with x86, the release, which runs every scenario; x64 runs these (the package: the picker
# and a trigger).
X64 = {"test_start_up_boxes", "test_tray", "test_package"}


def pytest_addoption(parser):  # each program's picker is beside it
    parser.addoption("--build", action="append", choices=KINDS, help="only this build (default all)")
    for kind in KINDS:
        parser.addoption(f"--{kind}-exe", default=built(kind))
    parser.addoption("--tools", default=TOOLS)


def pytest_configure(config):
    config.addinivalue_line("markers", "linux_only: the Linux build's own behaviour")
    kinds = config.getoption("build") or []
    if len(kinds) == 1 and not os.path.isfile(exe := config.getoption(f"--{kinds[0]}-exe")):
        pytest.exit(f"SKIP: {exe} does not exist: build the {kinds[0]} configuration first", returncode=77)


def pytest_generate_tests(metafunc):
    if "build" in metafunc.fixturenames:
        kinds = metafunc.config.getoption("build") or list(KINDS)
        metafunc.parametrize("build", kinds, indirect=True, scope="session")


def pytest_collection_modifyitems(config, items):
    def left_out(item, kind):
        return item.get_closest_marker("linux_only") and kind != "linux" or kind == "win64" and item.originalname not in X64
    other = [i for i in items if left_out(i, i.callspec.params["build"])]
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
    """A build's program and bounds, and one display for all of its scenarios with the lamp panel and wine."""
    kind, option, wine = request.param, request.config.getoption, on_wine(request.param)
    if not os.path.isfile(exe := option(f"--{kind}-exe")):
        pytest.skip(f"{exe} does not exist: build the {kind} configuration first")
    ws = Workspace(f"e2e-{kind}", option("--tools"))
    # start, trigger, window: bounds of waits, not delays.
    yield SimpleNamespace(kind=kind, wine=wine, tools=option("--tools"), exe=exe,
                          picker=os.path.join(os.path.dirname(exe), "TavoLampPicker" + ".exe" * wine),
                          start=40 if wine else 15, trigger=6 if wine else 4, window=30 if wine else 15,
                          desk=world.World(ws, kind, exe))
    ws.close(ok=request.session.testsfailed == 0)


class World(world.World):
    """One scenario on the build's display, and the windows it looks at. figure(line): printed in the summary."""

    def __init__(self, build, ws, figure):
        d, self.build, self.figure = build.desk, build, figure
        super().__init__(ws, build.kind, build.exe, d.wine, d.x, d.panel, build.start, build.trigger,
                         seen=0.6 if build.wine else 0.3)

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
def w(build, request):
    ws, failed = Workspace(re.sub(r"[^\w-]", "-", request.node.name), build.tools), request.session.testsfailed
    build.desk.panel.reset()
    yield World(build, ws, lambda line: request.node.user_properties.append(("figure", line)))
    if request.session.testsfailed > failed:  # this test's set-up or call failed: its traces are kept
        build.desk.x.run("import", "-window", "root", f"{ws.dir}/failure.png")  # a picture of the screen, kept too
    ws.close(ok=request.session.testsfailed == failed)
