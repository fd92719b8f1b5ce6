"""The program on the desktop: the boxes a settings file can draw at start-up, the Linux program's
command line and settings locations, what it must never do (system calls), a screen that grows and
the tray icon's whole life, driven with real pointer and key events (the lamp picker: test_packages)."""

import os, re, shutil, subprocess, time
from collections import Counter
from datetime import datetime, timedelta
from pathlib import Path
import pytest
from harness.display import start_trayer, start_xfce_panel
from harness.names import SilentNameServer, Unavailable
from harness.proc import wait_for
from harness.program import ERROR_TITLE as E, EXE_NAME
from harness.world import World

STARTS = [  # case, settings edit (pattern, replacement; None: no file), box title, once it is closed, what it says
    ("no Version", (r"\[General\]\r\nVersion=1\r\n", ""), "Warning", "runs", ["TavoRouterControl.ini"]),
    ("Wayland session (Linux)", ("", ""), "Warning", "runs", ["Wayland", "keeps running"]),
    ("PollInterval not a number", ("PollInterval=50", "PollInterval=fast"), E, "ends", ["{ini}", "PollInterval"]),
    ("no settings file", None, E, "ends", ["{ini}", "{xdg}"]),
    ("unknown host name", (r"Unit1=[^\r]*", "Unit1=missing.tavo-e2e.test:9000"), E, "later attempts silent",
     ["Could not resolve hostname missing.tavo-e2e.test!"]),
    # Last: its box comes back at every attempt, on top of any box still open.
    ("port out of range", (r"Unit1=[^\r]*", "Unit1=127.0.0.1:70000"), E, "comes again",
     ["An unknown error occurred while connecting to or communicating with the unit."]),
]
# The icon's own colours (resources/TavoRouterControl-*.png): background, red lamp, blue lamp.
ICON = ((0x1B, 0x2A, 0x41), (0xE5, 0x2F, 0x2F), (0x32, 0x96, 0xFF))


def test_start_up_boxes(w, build):
    """Each start draws one box (each copy in a folder of its own): a warning lets the start go on once
    it is closed, a settings error ends the program with status 1, a connection's error leaves it running."""
    unit = w.unit(1)
    try:
        names = SilentNameServer(w.ws)
    except Unavailable as e:
        names = None
        w.figure(f"unknown host name: left out ({e})")
    for case, edit, title, after, says in [r for r in STARTS if (names or "host" not in r[0]) and not (
            build.wine and "Linux" in r[0])]:
        # One at a time: a click meant for one box could reach another.
        p = w.launch(edit and re.sub(*edit, w.ini()), watch=False, prefix=names.prefix if "host" in case else (),
                     env={"WAYLAND_DISPLAY": "wayland-0"} if "Wayland" in case else None)
        box = wait_for(lambda: w.boxes(p, title), build.window, f"{case}: a box titled {title}", interval=0.05).pop()
        text = " ".join(w.box_text(box, p).split())
        # Under wine, Windows paths: the folder's and the file's names are looked for.
        paths = {"{ini}": os.path.basename(p.folder), "{xdg}": ""} if build.wine else {
            "{ini}": p.ini, "{xdg}": os.path.join(w.ws.dir, "xdg-config", "TavoRouterControl", "TavoRouterControl.ini")}
        missing = [paths.get(s, s) for s in says if paths.get(s, s) not in text]
        assert not missing, f"{case}: the box does not say {missing}: {text!r}"
        assert case != "no Version" or not unit.connections(), f"{case}: unit 1 connected while the box was open"
        w.dismiss(box, f"^{title}$")
        if after == "ends":
            seen = set()
            wait_for(lambda: seen.update(w.boxes(p, title)) or not p.alive(), build.window, f"{case}: the end")
            assert p.proc.returncode == 1 and seen <= {box}, f"{case}: status {p.proc.returncode}, boxes {seen | {box}}"
        elif case == "no Version":
            unit.wait_connections(1, build.start, f"{case}: unit 1 connected once the box was closed")
        elif after == "comes again":
            wait_for(lambda: w.boxes(p, title) - {box}, build.window, f"{case}: the box again at a later attempt")
        elif after == "later attempts silent":
            p.wait_until(lambda _: len(p.diagnostics(1)) >= 3, build.start, f"{case}: two later attempts")
            assert not w.boxes(p, title), f"{case}: a later attempt showed a box again"
        assert after == "ends" or p.alive(), f"{case}: the program ended once its box was closed"
        w.figure(f"{case}: {title!r}: {text[:90]}")


@pytest.mark.linux_only
def test_command_line(build):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    helped, version, plain = (subprocess.run([build.exe, *a], env=env, capture_output=True, text=True, timeout=20)
                              for a in (["--help"], ["--version"], []))
    assert not helped.returncode and "--version" in helped.stdout and not helped.stderr, f"--help: {helped}"
    assert not version.returncode and re.fullmatch(r"TavoRouterControl \d+\.\d+\.0\.\d+\n", version.stdout), version
    lines = plain.stderr.splitlines()  # one line, then a status above 0 (no abort)
    assert plain.returncode > 0 and len(lines) == 1 and "display" in lines[0].lower() and not plain.stdout, plain


LOCATIONS = [  # case, where files go (beside the program, $XDG_CONFIG_HOME, ~/.config), the unit to use
    # $XDG_CONFIG_HOME alone: the Debian package's scenario
    ("~/.config without XDG_CONFIG_HOME", ("home/.config",), 1),
    ("beside the program first", ("beside", "xdg-config"), 2),
]


@pytest.mark.parametrize("case,places,used", LOCATIONS, ids=[c for c, _, _ in LOCATIONS])
@pytest.mark.linux_only
def test_settings_location(w, build, case, places, used):
    sims, name = w.units(1, 2), "StudioRouter"  # the file is named after the executable
    text = {n: w.ini({3 - n: ""}) for n in (1, 2)}  # unit n alone
    for folder in set(places) - {"beside"}:
        Path(w.ws.folder(folder, "TavoRouterControl"), f"{name}.ini").write_text(text[1])
    env = {"HOME": w.ws.folder("home")} | ({"XDG_CONFIG_HOME": None} if "home/.config" in places else {})
    w.launch(text[2] if "beside" in places else None, name=name, env=env)
    sims[used].wait_connections(1, build.start, f"{case}: unit {used} of that file connected")
    assert not sims[3 - used].connections(), f"{case}: the program read the other settings file too"


@pytest.mark.linux_only
def test_never(w, build):
    """Under strace: no server socket, no file written, no settings file read but its own (one of the same name
    lies where it starts and in the settings folder), no other program started; the units get only GP-out."""
    strace = shutil.which("strace") or pytest.skip("strace is not installed (scripts/deps test)")
    trace = os.path.join(w.ws.dir, "strace.txt")
    for folder in (w.ws.folder("elsewhere"), w.ws.folder("xdg-config", "TavoRouterControl")):
        Path(folder, "TavoRouterControl.ini").write_text("[Devices]\nUnit1=127.0.0.1:1\n")
    w.start(units=(1, 2, 3),
            program={"prefix": [strace, "-f", "-qq", "-o", trace, "-e", "trace=%file,%network,execve"]})
    w.sims[3].send("flood:2000000")
    w.tour((1, 3, 2, 1), bound=10)
    w.program.stop()
    own, exe, done = os.path.realpath(w.program.ini), re.escape(w.program.exe), r"^(?!.* = -1 )"  # done: succeeded
    never = {"server socket": r"^(listen|accept4?)\(|^bind\(.*AF_INET",
             "opened for writing": done + r'(?!.*"/(dev|proc|sys)/)(open|openat|creat)\(.*O_(WRONLY|RDWR|CREAT|TRUNC)',
             "file system changed": done + r"(mkdir|mkdirat|rename|renameat|renameat2|unlink|unlinkat)\(",
             "started another program": rf'^execve\("(?!{exe}")'}
    calls = [line.split(None, 1)[-1].strip() for line in open(trace, errors="replace")]
    problems = [f"{what}: {c[:200]}" for c in calls for what, pattern in never.items() if re.search(pattern, c)]
    inis = {os.path.realpath(c.split('"')[1]) for c in calls if re.match(done + r'(open|openat)\(.*\.ini"', c)}
    assert any(c.startswith("connect(") for c in calls), "the trace shows no connect: it is blind"
    assert not problems and inis == {own}, "strace:\n  " + "\n  ".join(problems[:15] + [f"settings files read: {inis}"])
    w.judge()  # the units received nothing but the GP-out block
    blocks = sum(len(s.blocks()) for s in w.sims.values())
    w.figure(f"{blocks} blocks at the units, each the GP-out block; only its own settings file read")


@pytest.mark.linux_only
def test_screen_growth(w, build):
    """A lamp outside the screen at start-up is read once the screen has grown to take it in."""
    g = World(w.ws, "linux", build.exe)  # a display of its own, its panel where the rig's is
    g.select(2, wait=False)  # lamp 2 at y 900..924
    g.x.run("xrandr", "--fb", "1280x880")  # it shrinks the screen, though it fails to fit its output to it
    if "1280x880 pixels" not in g.x.run("xdpyinfo").stdout:
        pytest.skip("Xvfb cannot change its screen size here")
    g.start(wait=(2,), units=(1, 2))
    time.sleep(0.3)  # polls while the lamp is off the screen: nothing to wait for
    assert not g.sims[2].blocks(), "a lamp outside the screen selected its unit"
    grown = time.monotonic()
    g.x.run("xrandr", "--fb", "1280x1024")
    block = g.block(2, 1, build.trigger, "unit 2 selected once the screen took its lamp in")
    w.figure(f"unit 2's block {(block - grown) * 1000:.0f} ms after the screen grew")


def grab(xvfb, box):
    """The RGB rows of a box (left, top, width, height) of the screen."""
    ppm = subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (*box[2:], *box[:2]), "-depth", "8",
                          "ppm:-"], env=xvfb.env(), capture_output=True, timeout=30, check=True).stdout
    w, h = map(int, ppm[:20].split()[1:3])  # "P6 W H 255", then the pixels
    data = ppm[-w * h * 3:]
    return [[tuple(data[i:i + 3]) for i in range(r * w * 3, (r + 1) * w * 3, 3)] for r in range(h)]


def near(p, q, tolerance=20):
    return all(abs(a - b) <= tolerance for a, b in zip(p, q))


def groups(values, gap):
    """[first, last] of each run of the sorted values that no step over gap breaks."""
    cuts = [i for i in range(1, len(values)) if values[i] - values[i - 1] > gap]
    return [[values[a], values[b - 1]] for a, b in zip([0] + cuts, cuts + [len(values)])] if values else []


def icons_in(xvfb, box):
    """Boxes (screen coordinates) of the application's icons in a box of the screen: runs of columns with
    the icon's background, with enough of its red and blue lamps in them."""
    rows, found = grab(xvfb, box), []
    cols = [x for x in range(box[2]) if sum(near(row[x], ICON[0]) for row in rows) >= 2]
    for x0, x1 in groups(cols, 3):
        ys = [y for y in range(box[3]) if any(near(rows[y][x], ICON[0]) for x in range(x0, x1 + 1))]
        y0, y1 = max(groups(ys, 3), key=lambda g: g[1] - g[0])
        icon = [p for r in rows[y0:y1 + 1] for p in r[x0:x1 + 1]]
        counts = [sum(near(p, c, 20 if i == 0 else 40) for p in icon) for i, c in enumerate(ICON)]
        if x1 - x0 >= 9 and y1 - y0 >= 9 and counts[0] >= 40 and min(counts[1:]) >= 3:
            found.append((box[0] + x0, box[1] + y0, x1 - x0 + 1, y1 - y0 + 1))
    return found


def menu_problem(rgb, bold=True):
    """What is wrong, if anything, with a menu that should show header, separator, About, separator,
    Exit with the header bold unless told otherwise (About and Exit are known by what they do)."""
    rows = [[(299 * r + 587 * g + 114 * b) // 1000 for r, g, b in row] for row in rgb]  # luminance
    h, w, back = len(rows), len(rows[0]), Counter(p for row in rows for p in row).most_common(1)[0][0]
    seps, texts = [], []
    for y in range(3, h - 3):  # the frame is no separator
        v = rows[y][w // 10:w - w // 10]
        if min(abs(a - back) for a in v) > 12 and max(v) - min(v) < 30:
            seps.append(y)
        elif sum(a < back // 2 for a in v) >= 2:
            texts.append(y)
    seps, texts = groups(seps, 1), groups(texts, 3)  # an access key's underline sits just below
    shape = [k for _, k in sorted([(a, "sep") for a, _ in seps] + [(a, "text") for a, _ in texts])]
    if shape != ["text", "sep", "text", "sep", "text"]:
        return f"rows top to bottom: {shape}, not text, separator, text, separator, text"
    strokes = []  # mean horizontal ink run of each caption: about one pixel for regular text, more for bold
    for a, b in texts:
        inked = [[x for x in range(w) if rows[y][x] < back // 2] for y in range(a, b + 1)]
        runs = [e - s + 1 for row in inked for s, e in groups(row, 1) if e - s < 5]
        strokes.append(sum(runs) / max(len(runs), 1))
    if bold and not strokes[0] > 1.2 * max(strokes[1:]):
        return f"the header is not bold: stroke widths {[round(s, 2) for s in strokes]}"


@pytest.mark.parametrize("host", ["xembed", pytest.param("statusnotifier", marks=pytest.mark.linux_only)])
def test_tray(w, build, host):
    """Icon, menu, About, a second start, Exit; in trayer (XEmbed) or wine's tray, and in xfce4-panel, which
    shows the Linux icon as a StatusNotifierItem and the right button's menu itself, in its own style and
    without a default item (the tooltip's text: the layers' tests)."""
    sni, session = host == "statusnotifier", {}
    if sni:
        session = {"DBUS_SESSION_BUS_ADDRESS": start_xfce_panel(w.ws, w.x.env())}
        tray = wait_for(lambda: w.search("--class", "^xfce4-panel$"), 10, "xfce4-panel's panel")[0]
    elif not build.wine:
        start_trayer(w.ws, w.x.env(), w.x.display)
        tray = wait_for(lambda: w.search("--name", "^panel$", visible=False), 10, "trayer's panel")[0]
        empty = w.geometry(tray)[2]

    def windows_of(name):  # its top-level windows: the icon's, the menu's
        return w.search("--class", f"^{name.lower()}\\.exe$" if build.wine else f"^{name}$")

    def icons(count, what):
        """Waits for the boxes of count icons; with none, trayer shrinks back too."""
        def shown():
            if build.wine or sni:  # drawn in the host's own window
                trays = w.search("--name", "^Wine System Tray$") if build.wine else [tray]
                where = trays and w.geometry(trays[0])
                boxes = icons_in(w.x, where) if where else []
            else:
                panel = w.geometry(tray)
                boxes = [g for g in map(w.geometry, windows_of(EXE_NAME)) if g and panel and panel[0] <= g[0] and
                         g[0] + g[2] <= panel[0] + panel[2] and panel[1] <= g[1] and icons_in(w.x, g)]
            return len(boxes) == count and (count or build.wine or sni or w.geometry(tray)[2] <= empty) and (
                boxes or True)
        return wait_for(shown, build.window, what, interval=0.1)

    def open_menu(icon, button):
        """The menu a click opens: the program's, or the one a StatusNotifierItem host shows on the right button."""
        own, before = button == 1 or not sni, set(w.search("--class", "."))
        w.x.run("xdotool", "mousemove", str(icon[0] + icon[2] // 2), str(icon[1] + icon[3] // 2), "click", str(button))
        menu = wait_for(lambda: [m for m in (windows_of(EXE_NAME) if own else w.search("--class", ".")) if m not in
                                 before and (own or "POPUP_MENU" in w.x.run("xprop", "-id", m).stdout)],
                        build.window, f"menu opened by button {button} on the icon", w.ws.check_alive)[0]
        w.x.run("xdotool", "mousemove", "900", "500")  # off the menu: no entry under the pointer
        for _ in range(25):  # it may still be drawing: looked at until it is right, for a while
            if not (problem := menu_problem(grab(w.x, w.geometry(menu)), bold=own)):
                return menu
            time.sleep(0.2)
        assert not problem, f"the menu of button {button}: {problem}"

    def choose(menu, downs):  # the menu closes on the press of Return
        w.x.run("xdotool", "key", *(["--window", menu] if build.wine else []), *["Down"] * downs, "Return")
        w.x.run("xdotool", "keyup", "Return")
        wait_for(lambda: menu not in w.search("--class", "."), 10, "the menu closed after a choice")
    # With a log (under wine through a variable of its own): one selection, then Exit, in the file.
    logs, began = w.ws.folder("logs"), datetime.now() - timedelta(seconds=1)
    p = w.start(units=(1,), log=r"%TAVO_LOGS%\tavo.log" if build.wine else "tavo.log",
                program={"env": session | {"TAVO_LOGS": "Z:" + logs.replace("/", "\\")}})
    w.select(1)
    icon = icons(1, "the icon docked with the application's image")[0]  # in trayer: its panel has grown
    before = set(windows_of(EXE_NAME))
    choose(open_menu(icon, 1), 1)  # the header does nothing
    menu = open_menu(icon, 3)
    others = [x for x in windows_of(EXE_NAME) if x not in before and x != menu]
    assert not others, f"choosing the header left windows {others}"
    choose(menu, 2)
    about = wait_for(lambda: w.search("--name", f"^About {EXE_NAME}$"), build.window, "the About box")[0]
    size = w.geometry(about)[2:]
    assert size[0] >= 200 and size[1] >= 80, f"the About box is only {size}: too small for its text"
    w.dismiss(about, f"^About {EXE_NAME}$")
    icon = icons(1, "the icon still there after About")[0]
    # A second start of the same copy says so and ends with 0; the first runs on.
    second = w.launch(None, False, p.exe, again=True, env=session)
    box = wait_for(lambda: w.boxes(second, EXE_NAME), build.window, "the second start's box").pop()
    w.dismiss(box, f"^{EXE_NAME}$")
    assert second.wait_exit(build.window, "the second start") == 0, f"its status: {second.proc.returncode}"
    w.ws.watched.discard(p)
    choose(open_menu(icon, 3), 3)
    assert p.wait_exit(build.window, "the program's Exit") == 0, f"Exit ended the program with {p.proc.returncode}"
    icons(0, "no icon left after Exit")
    w.figure(f"icon {icon[2]}x{icon[3]}")
    with open(os.path.join(logs if build.wine else p.folder, "tavo.log")) as f:
        lines = [(datetime.strptime(l[:23], "%Y-%m-%d %H:%M:%S.%f"), l[24:]) for l in f.read().splitlines()]
    texts, unit1 = [t for _, t in lines], f"Unit1 127.0.0.1:{w.sims[1].port}"
    assert all(began <= t <= datetime.now() for t, _ in lines), f"times outside the run: {lines}"
    assert re.fullmatch(rf"TavoRouterControl \S+ started: settings .*\.ini; units configured: {unit1}", texts[0]) and \
        texts[-1].endswith(" ended: Exit chosen in the tray menu"), f"the run's first and last lines: {texts}"
    assert texts[texts.index("selected Unit1: lamp 1 shows the active colour") + 1] == f"{unit1}: selection sent"
    said = [f"Unit{u} {a}: {d}" for _, u, d in p.diagnostics() for a in [f"127.0.0.1:{w.sims[u].port}"]]
    assert [t for t in texts if t.startswith("Unit")] == said, f"not every diagnostic line in the log: {texts}"

