"""Start-up: the boxes a settings file can draw, the Linux program's command line and settings
locations, what the program must never do (system calls), and a screen that grows after start-up."""

import os
import re
import shutil
import subprocess
import time

import pytest

from harness.display import Xvfb
from harness.names import SilentNameServer, Unavailable
from harness.proc import Failure, wait_for
from harness.program import ERROR_TITLE, Program, ini_text
from harness.standins import ACTIVE, GP_OUT, Panel, UnitSim

def unit1(address):
    return lambda text: re.sub(r"Unit1=[^\r]*", f"Unit1={address}", text)


STARTS = [  # case, settings edit (None: no file), box title, once it is closed, what the box says
    ("no Version", lambda t: t.replace("[General]\r\nVersion=1\r\n", ""), "Warning", "runs", ["TavoRouterControl.ini"]),
    ("no unit configured", unit1(""), "Warning", "runs", ["{ini}", "[Devices]"]),
    ("PollInterval not a number", lambda t: t.replace("PollInterval=50", "PollInterval=fast"), ERROR_TITLE, "ends",
     ["{ini}", "PollInterval"]),
    ("UnitActiveColor not a colour", lambda t: t.replace("UnitActiveColor=#", "UnitActiveColor=blue#"), ERROR_TITLE,
     "ends", ["{ini}", "UnitActiveColor"]),
    ("no settings file", None, ERROR_TITLE, "ends", ["{ini}", "{xdg}"]),
    ("unknown host name", unit1("missing.tavo-e2e.test:9000"), ERROR_TITLE, "later attempts silent",
     ["Could not resolve hostname missing.tavo-e2e.test!"]),
    # Last: its box comes back at every attempt, on top of any box still open.
    ("port out of range", unit1("127.0.0.1:70000"), ERROR_TITLE, "comes again",
     ["An unknown error occurred while connecting to or communicating with the unit."]),
]


def test_start_up_boxes(world, build, figure):
    """Each start draws one box (each copy in a folder of its own): a warning lets the start go on once
    it is closed, a settings error ends the program with status 1, a connection's error leaves it running."""
    w = world
    unit = w.unit(1)
    base = w.ini()
    try:
        names = SilentNameServer(w.ws)
    except Unavailable as e:
        names = None
        figure(f"unknown host name: left out ({e})")
    rows = [row for row in STARTS if names or "host" not in row[0]]

    def launch(case, edit):
        return w.launch(None if edit is None else edit(base), watch=False, prefix=names.prefix if "host" in case else ())
    # Side by side, but under wine one at a time: a click meant for one wine box would reach another
    # lying on top of it (wine keeps its own stacking order).
    started = {} if build.wine else {row[0]: launch(*row[:2]) for row in rows}
    for case, edit, title, after, says in rows:
        p = started.get(case) or launch(case, edit)

        def boxes():
            return set(w.desk.search("--all", "--pid", str(p.pid), "--name", f"^{title}$"))
        box = wait_for(lambda: boxes() or None, build.window, f"{case}: a box titled {title}", interval=0.05).pop()
        text = " ".join(w.desk.box_text(box, p).split())
        paths = {"{ini}": p.ini, "{xdg}": os.path.join(w.ws.dir, "xdg-config", "TavoRouterControl",
                                                         "TavoRouterControl.ini")}
        if build.wine:  # Windows paths: the folder's and the file's names
            says = [os.path.basename(p.folder) if s == "{ini}" else s for s in says if s != "{xdg}"]
        missing = [paths.get(s, s) for s in says if paths.get(s, s) not in text]
        if missing:
            raise Failure(f"{case}: the box does not say {missing}: {text!r}")
        if case == "no Version" and unit.connections():
            raise Failure(f"{case}: unit 1 was connected while the start-up box was open")
        w.desk.dismiss(box, f"^{title}$")
        if after == "ends":
            seen = set()
            wait_for(lambda: seen.update(boxes()) or not p.alive(), build.window, f"{case}: the program ended")
            if p.proc.returncode != 1 or seen - {box}:
                raise Failure(f"{case}: exit status {p.proc.returncode}, boxes {seen | {box}}: one box, then 1")
        elif case == "no Version":
            unit.wait_connections(1, build.start, f"{case}: unit 1 connected once the box was closed")
        elif after == "comes again":
            wait_for(lambda: boxes() - {box}, build.window, f"{case}: the box again at a later attempt")
        elif after == "later attempts silent":
            p.wait_until(lambda _: len(p.diagnostics(1)) >= 3, build.start, f"{case}: two later attempts")
            if boxes():
                raise Failure(f"{case}: a later attempt showed a box again")
        if after != "ends" and not p.alive():
            raise Failure(f"{case}: the program ended once its box was closed")
        figure(f"{case}: {title!r}: {text[:90]}")


@pytest.mark.linux_only
def test_command_line(build):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    run = {a: subprocess.run([build.exe, *a], env=env, capture_output=True, text=True, timeout=20)
           for a in (("--help",), ("--version",), ())}
    helped, version, plain = run[("--help",)], run[("--version",)], run[()]
    if helped.returncode or "--version" not in helped.stdout or helped.stderr:
        raise Failure(f"--help without a display: status {helped.returncode}, {helped.stdout!r}, {helped.stderr!r}")
    if version.returncode or not re.fullmatch(r"TavoRouterControl \d+\.\d+\.0\.\d+\n", version.stdout):
        raise Failure(f"--version without a display: status {version.returncode}, {version.stdout!r}")
    lines = plain.stderr.splitlines()
    if plain.returncode <= 0 or len(lines) != 1 or "display" not in lines[0].lower() or plain.stdout:
        raise Failure(f"without a display: status {plain.returncode}, stderr {plain.stderr!r}: one line, "
                      "then a status above 0 (no abort)")


LOCATIONS = [  # case, where the file goes ("beside", "xdg", "home"), the unit it must use
    ("$XDG_CONFIG_HOME", ("xdg",), 1),
    ("~/.config without XDG_CONFIG_HOME", ("home",), 1),
    ("beside the program first", ("beside", "xdg"), 2),
]


@pytest.mark.parametrize("case,places,used", LOCATIONS, ids=[c for c, _, _ in LOCATIONS])
@pytest.mark.linux_only
def test_settings_location(world, build, case, places, used):
    w = world
    sims = {n: w.unit(n) for n in (1, 2)}
    name = "StudioRouter"  # the file is named after the executable
    home, xdg = w.ws.folder("home"), w.ws.folder("xdg-config")
    env = {"HOME": home} | ({"XDG_CONFIG_HOME": None} if "home" in places else {})
    texts = {place: ini_text({n: f"127.0.0.1:{sims[n].port}"}, {n: w.panel.centre(n) for n in (1, 2)})
             for place, n in (("beside", 2), ("xdg", 1), ("home", 1))}
    for place, folder in (("xdg", xdg), ("home", os.path.join(home, ".config"))):
        if place in places:
            os.makedirs(os.path.join(folder, "TavoRouterControl"), exist_ok=True)
            with open(os.path.join(folder, "TavoRouterControl", f"{name}.ini"), "w") as f:
                f.write(texts[place])
    p = w.launch(texts["beside"] if "beside" in places else None, name=name, env=env)
    sims[used].wait_connections(1, build.start, f"{case}: unit {used} of that file connected")
    if sims[3 - used].connections():
        raise Failure(f"{case}: the program read the other settings file too")


@pytest.mark.linux_only
def test_never(world, build, figure):
    """Under strace: no server socket, no file opened for writing, no settings file but its own (a file
    of the same name where it is started and in the settings folder), no other program started, and
    nothing but the GP-out block sent to a unit."""
    strace = shutil.which("strace")
    if not strace:
        pytest.skip("strace is not installed (scripts/deps test)")
    w = world
    sims = {1: w.unit(1), 2: w.unit(2), 3: w.unit(3)}
    trace = os.path.join(w.ws.dir, "strace.txt")
    for folder in (w.ws.folder("elsewhere"), w.ws.folder("xdg-config", "TavoRouterControl")):
        with open(os.path.join(folder, "TavoRouterControl.ini"), "w") as f:
            f.write("[Devices]\nUnit1=127.0.0.1:1\n")
    w.start(program={"prefix": [strace, "-f", "-qq", "-o", trace, "-e",
                                "trace=%file,%network,write,writev,close,execve"]})
    sims[3].send("flood:2000000")
    for n in (1, 3, 2, 1):
        w.select(n, bound=10)
    w.program.stop()
    own = os.path.realpath(w.program.ini)
    problems, inis, unit_fds, sends = [], set(), set(), 0
    ports = {f"htons({s.port})" for s in sims.values()}
    with open(trace, errors="replace") as f:
        for line in f:
            call = line.split(None, 1)[1] if " " in line else line
            name, args = call.split("(", 1)[0], call.partition("(")[2]
            fd = args.split(",", 1)[0].split(")", 1)[0]
            if name in ("listen", "accept", "accept4") or name == "bind" and "AF_INET" in call:
                problems.append(f"server socket: {line.strip()}")
            elif name in ("open", "openat", "creat") and " = -1" not in call:
                if re.search(r"O_WRONLY|O_RDWR|O_CREAT|O_TRUNC", call) and not re.search(r'"/(dev|proc|sys)/', call):
                    problems.append(f"opened for writing: {line.strip()}")
                if '.ini"' in call:
                    inis.add(os.path.realpath(call.split('"')[1]))
            elif name in ("mkdir", "mkdirat", "rename", "renameat", "renameat2", "unlink", "unlinkat") \
                    and " = -1 " not in call:
                problems.append(f"file system changed: {line.strip()}")
            elif name == "execve" and w.program.exe not in call:
                problems.append(f"started another program: {line.strip()[:200]}")
            elif name == "connect" and any(p in call for p in ports):
                unit_fds.add(fd)
            elif name == "close":
                unit_fds.discard(fd)
            elif name in ("sendto", "write", "sendmsg", "writev") and fd in unit_fds:
                sends += 1
                if f'"{GP_OUT.decode().encode("unicode_escape").decode()}", {len(GP_OUT)}' not in call:
                    problems.append(f"sent a unit something else: {line.strip()[:200]}")
    if inis != {own}:
        problems.append(f"settings files read: {sorted(inis)}; only {own} may be")
    if sends < 4:
        problems.append(f"the trace shows {sends} sends to units: the check is blind")
    if problems:
        raise Failure("strace:\n  " + "\n  ".join(problems[:15]))
    figure(f"{sends} sends to units, each the GP-out block; only its own settings file read")


@pytest.mark.linux_only
def test_screen_growth(world, build, figure):
    """A lamp outside the screen at start-up is read once the screen has grown to take it in."""
    w = world
    x = Xvfb(w.ws)
    panel = Panel(w.ws, x.env())
    panel.set({2: ACTIVE})  # at y 900..924
    shrunk = x.run("xrandr", "--fb", "1280x880")
    if "880" not in x.run("xdpyinfo").stdout.split("dimensions:")[1].split("pixels")[0]:
        pytest.skip(f"Xvfb cannot change its screen size here: {shrunk.stderr.strip()}")
    sims = {n: UnitSim(w.ws, f"unit{n}") for n in (1, 2)}
    p = Program(w.ws, "linux", build.exe, x.env(),
                ini_text({n: f"127.0.0.1:{s.port}" for n, s in sims.items()}, {n: panel.centre(n) for n in (1, 2)}))
    w.ws.watched.add(p)
    sims[2].wait_connections(1, build.start, "unit 2 connected")
    time.sleep(0.3)  # polls while the lamp is off the screen: nothing to wait for
    if sims[2].blocks():
        raise Failure("a lamp outside the screen selected its unit")
    grown = time.monotonic()
    if x.run("xrandr", "--fb", "1280x1024").returncode:
        raise Failure("xrandr could not grow the screen back")
    block = sims[2].wait_blocks(1, build.trigger, "unit 2 selected once the screen took its lamp in")
    figure(f"unit 2's block {(float(block['t']) - grown) * 1000:.0f} ms after the screen grew")
