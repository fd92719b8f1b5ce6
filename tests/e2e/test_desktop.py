"""The desktop side, driven with real pointer and key events: the tray icon's whole life, and the
lamp picker."""

import os
import shutil
import subprocess
from collections import Counter

from harness.display import start_trayer
from harness.proc import Failure, wait_for
from harness.program import EXE_NAME, Program
from harness.standins import ACTIVE, ON_AIR

# The icon's own colours (resources/TavoRouterControl-*.png): background, red lamp, blue lamp.
ICON = ((0x1B, 0x2A, 0x41), (0xE5, 0x2F, 0x2F), (0x32, 0x96, 0xFF))
TIP_CHARS = len(f"{EXE_NAME} 1.0.0.23 Copyright (C) 2026 The {EXE_NAME} developers")


class Picture:
    """A piece of the screen: its RGB rows and where it lies."""

    def __init__(self, rows, left=0, top=0):
        self.rows, self.left, self.top, self.h, self.w = rows, left, top, len(rows), len(rows[0]) if rows else 0

    @classmethod
    def of(cls, desk, box):
        blob = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"], env=desk.x.env(),
                              capture_output=True, timeout=30, check=True).stdout
        head = blob.split(maxsplit=4)
        width, data = int(head[1]), head[4]
        x, y, w, h = box
        return cls([[tuple(data[i:i + 3]) for i in range(((y + r) * width + x) * 3, ((y + r) * width + x + w) * 3, 3)]
                    for r in range(h)], x, y)

    def crop(self, box):
        x, y = box[0] - self.left, box[1] - self.top
        return Picture([row[x:x + box[2]] for row in self.rows[y:y + box[3]]], box[0], box[1])


def near(p, q, tolerance=30):
    return all(abs(a - b) <= tolerance for a, b in zip(p, q))


def lum(p):
    return (299 * p[0] + 587 * p[1] + 114 * p[2]) // 1000


def looks_like_icon(pic):
    counts = [sum(near(p, c, 20 if i == 0 else 40) for row in pic.rows for p in row) for i, c in enumerate(ICON)]
    return counts[0] >= 40 and counts[1] >= 3 and counts[2] >= 3


def groups(values, gap):
    out = []
    for v in values:
        if out and v - out[-1][1] <= gap:
            out[-1][1] = v
        else:
            out.append([v, v])
    return out


def icons_in(pic):
    """Boxes (screen coordinates) of the application's icons in pic: runs of columns with its background."""
    cols = [x for x in range(pic.w) if sum(near(row[x], ICON[0], 20) for row in pic.rows) >= 2]
    boxes = []
    for x0, x1 in groups(cols, 3):
        ys = [y for y in range(pic.h) if any(near(pic.rows[y][x], ICON[0], 20) for x in range(x0, x1 + 1))]
        y0, y1 = max(groups(ys, 3), key=lambda g: g[1] - g[0])
        boxes.append((pic.left + x0, pic.top + y0, x1 - x0 + 1, y1 - y0 + 1))
    return [b for b in boxes if b[2] >= 10 and b[3] >= 10 and looks_like_icon(pic.crop(b))]


def menu_problems(pic):
    """Empty when pic shows header, separator, About, separator, Exit: the header bold, captions in
    falling width; else what is wrong."""
    back = Counter(p for row in pic.rows for p in row).most_common(1)[0][0]
    ink = lum(back) // 2
    inner = range(pic.w // 10, pic.w - pic.w // 10)
    seps, texts = [], []
    for y in range(3, pic.h - 3):  # the frame is no separator
        v = [lum(pic.rows[y][x]) for x in inner]
        if min(abs(a - lum(back)) for a in v) > 12 and max(v) - min(v) < 30:
            seps.append(y)
        elif sum(a < ink for a in v) >= 2:
            texts.append(y)
    seps, texts = groups(seps, 1), groups(texts, 3)  # an access key's underline sits just below
    shape = [k for _, k in sorted([(a, "sep") for a, _ in seps] + [(a, "text") for a, _ in texts])]
    if shape != ["text", "sep", "text", "sep", "text"]:
        return [f"rows top to bottom: {shape}, not text, separator, text, separator, text"]

    def inked(band):
        return [[x for x in range(pic.w) if lum(pic.rows[y][x]) < ink] for y in range(band[0], band[1] + 1)]
    widths = [max(max(r, default=0) for r in inked(b)) - min(min(r, default=pic.w) for r in inked(b)) for b in texts]
    strokes = []
    for band in texts:  # mean horizontal ink run: about one pixel for regular text, more for bold
        runs = [b - a + 1 for row in inked(band) for a, b in groups(row, 1) if b - a < 5]
        strokes.append(sum(runs) / max(len(runs), 1))
    problems = []
    if not widths[0] > widths[1] > widths[2]:
        problems.append(f"caption widths {widths} do not fall in the order header, About, Exit")
    if not strokes[0] > 1.2 * max(strokes[1:]):
        problems.append(f"the header is not bold: stroke widths {[round(s, 2) for s in strokes]}")
    return problems


class Tray:
    """The tray host (trayer for the Linux build, wine's own tray window for the Windows build)."""

    def __init__(self, w):
        self.w, self.d, self.wine, self.bound = w, w.desk, w.build.wine, w.build.window
        if not self.wine:
            start_trayer(w.ws, self.d.x.env(), self.d.x.display)
            self.host = wait_for(lambda: self.d.search("--name", "^panel$", visible=False), 10, "trayer's panel")[0]
            self.empty = self.d.geometry(self.host)[2]

    def windows_of(self, name):
        return self.d.search("--class", f"^{name.lower()}\\.exe$" if self.wine else f"^{name}$")

    def icons(self, name=EXE_NAME):
        if self.wine:
            trays = self.d.search("--name", "^Wine System Tray$")
            where = trays and self.d.geometry(trays[0])
            return icons_in(Picture.of(self.d, where)) if where else []
        panel = self.d.geometry(self.host)
        boxes = [g for g in map(self.d.geometry, self.windows_of(name))
                 if g and panel and panel[0] <= g[0] and g[0] + g[2] <= panel[0] + panel[2] and panel[1] <= g[1]]
        return [b for b in boxes if looks_like_icon(Picture.of(self.d, b))]

    def wait_icons(self, count, what, name=EXE_NAME):
        """The boxes of count icons (of name's copy, in trayer); with none, trayer shrinks back too."""
        def shown():
            boxes = self.icons(name)
            back = count or self.wine or self.d.geometry(self.host)[2] <= self.empty
            return len(boxes) == count and back and (boxes or True)
        return wait_for(shown, self.bound, what, interval=0.1)

    def open_menu(self, icon, button, name=EXE_NAME):
        before = set(self.windows_of(name))
        self.d.x.run("xdotool", "mousemove", str(icon[0] + icon[2] // 2), str(icon[1] + icon[3] // 2),
                     "click", str(button))
        menu = wait_for(lambda: [m for m in self.windows_of(name) if m not in before], self.bound,
                        f"menu opened by button {button} on the icon of {name}", self.w.ws.check_alive)[0]
        self.d.x.run("xdotool", "mousemove", "900", "500")  # off the menu: no entry under the pointer
        return menu

    def choose(self, menu, downs):
        keys = ["Down"] * downs + ["Return"]
        self.d.x.run("xdotool", "key", *(["--window", menu] if self.wine else []), *keys)
        self.d.x.run("xdotool", "keyup", "Return")  # the menu closes on the press
        wait_for(lambda: menu not in self.d.search("--class", "."), 10, "the menu closed after a choice")


def test_tray(world, build, figure):
    """Icon, tooltip, menu, About, a second start, a renamed copy beside it, Exit."""
    w = world
    t = Tray(w)
    w.unit(1)
    p = w.start()
    icon = t.wait_icons(1, "the icon docked with the application's image")[0]
    if not build.wine and w.desk.geometry(t.host)[2] <= t.empty:
        raise Failure("trayer's panel did not grow for the icon")

    # The tooltip: a small window of its own (wine's explorer draws it under wine), one line as wide as
    # the version text and the notice.
    def windows():
        return set(w.desk.search("--class", "^explorer\\.exe$" if build.wine else f"^{EXE_NAME}$"))
    known = windows()
    cx, cy = icon[0] + icon[2] // 2, icon[1] + icon[3] // 2
    w.desk.x.run("xdotool", "mousemove", str(cx + 1), str(cy + 1), "mousemove", str(cx), str(cy))
    tip = wait_for(lambda: [g for g in map(w.desk.geometry, windows() - known) if g and 60 < g[2] and g[3] < 40],
                   12, "a one-line tooltip on hover")[0]
    if tip[2] < 4 * TIP_CHARS:
        raise Failure(f"the tooltip is {tip[2]} px wide: too narrow for its {TIP_CHARS} characters")

    menu = t.open_menu(icon, 1)
    problems = []

    def drawn():  # it may still be drawing: looked at until it is right, for a while
        problems[:] = menu_problems(Picture.of(w.desk, w.desk.geometry(menu)))
        return not problems
    try:
        wait_for(drawn, 5, "the menu drawn", interval=0.2)
    except Failure:
        raise Failure("the menu: " + "; ".join(problems)) from None
    before = set(t.windows_of(EXE_NAME))
    t.choose(menu, 1)  # the header does nothing
    menu = t.open_menu(icon, 3)
    others = [x for x in t.windows_of(EXE_NAME) if x not in before and x != menu]
    if others or not p.alive():
        raise Failure(f"choosing the header left windows {others} or ended the program")
    t.choose(menu, 2)
    about = w.desk.wait_window(f"^About {EXE_NAME}$", "the About box")
    if w.desk.geometry(about)[2] < 200 or w.desk.geometry(about)[3] < 80:
        raise Failure(f"the About box is only {w.desk.geometry(about)}: too small for its text")
    w.desk.dismiss(about, f"^About {EXE_NAME}$")
    icon = t.wait_icons(1, "the icon still there after About")[0]

    # A second start of the same copy says so and ends with 0; the first runs on.
    second = Program(w.ws, build.kind, p.exe, w.desk.x.env(), wine=w.desk.wine, again=True)
    box = wait_for(lambda: w.desk.search("--all", "--pid", str(second.pid), "--name", f"^{EXE_NAME}$"), build.window,
                   "the second start's box")[0]
    w.desk.dismiss(box, f"^{EXE_NAME}$")
    if second.wait_exit(build.window, "the second start ended") != 0:
        raise Failure(f"the second start ended with status {second.proc.returncode}")

    # A renamed copy elsewhere runs beside it and leaves through its own Exit.
    other = Program(w.ws, build.kind, p.exe, w.desk.x.env(), open(p.ini).read(), w.desk.wine, name=EXE_NAME + "B")
    w.ws.watched.add(other)
    if build.wine:
        mine = [b for b in t.wait_icons(2, "both copies' icons in wine's tray") if abs(b[0] - icon[0]) > 4]
    else:
        mine = t.wait_icons(1, "the renamed copy's icon", EXE_NAME + "B")
    w.ws.watched.discard(other)
    t.choose(t.open_menu(mine[0], 1, EXE_NAME + "B"), 3)
    if other.wait_exit(build.window, "the renamed copy ended on its Exit") != 0:
        raise Failure(f"the renamed copy's Exit gave status {other.proc.returncode}")
    left = t.wait_icons(1, "only the first copy's icon left")[0]
    if abs(left[0] - icon[0]) > 4:
        raise Failure(f"the icon left is at {left}, not where the first copy's was ({icon})")

    w.ws.watched.discard(p)
    t.choose(t.open_menu(icon, 1), 3)
    if p.wait_exit(build.window, "the program ended on Exit") != 0:
        raise Failure(f"Exit ended the program with status {p.proc.returncode}")
    t.wait_icons(0, "no icon left after Exit")
    figure(f"icon {icon[2]}x{icon[3]}, tooltip {tip[2]}x{tip[3]}")


def test_picker(world, build, figure):
    """The pointer on lamps, keys pressed: the [TavoGUI] lines printed and copied are exact."""
    w = world
    if not os.path.isfile(build.picker):
        raise Failure(f"{build.picker} does not exist beside the program")
    x = w.desk.x
    w.panel.set({1: ACTIVE, 2: ON_AIR})
    x.run("xdotool", "mousemove", "640", "300")
    exe = shutil.copy(build.picker, w.ws.folder("picker"))
    argv = w.desk.wine.argv(exe) if build.wine else [exe]
    env = x.env() | (w.desk.wine.env if build.wine else {"QT_QPA_PLATFORM": "xcb", "XDG_RUNTIME_DIR": w.ws.folder("rt")})
    if not build.wine:
        os.chmod(env["XDG_RUNTIME_DIR"], 0o700)  # else Qt falls back to one in /tmp
    if build.wine:
        w.desk.wine.start(x.env())
    picker = w.ws.spawn("picker", argv, watch=True, env=env, merge_stderr=True)
    win = w.desk.wait_window("^TavoLampPicker$", "the picker's window")
    gap = 24  # the picker keeps this many pixels between the pointer and its window

    def point_at(px, py, nudge=None):
        x.run("xdotool", "mousemove", str(px - (nudge is not None)), str(py))
        if nudge:
            press(nudge)
        # Beside the point, right/below or left/above: it has seen the pointer there.
        wait_for(lambda: (lambda g: g and g[0] in (px + gap + 1, px - gap - g[2]) and g[1] in (py + gap + 1, py - gap - g[3]))(
            w.desk.geometry(win)), 10, f"the picker window beside {px},{py}")

    def press(*keys):
        if build.wine:  # the Linux build takes its keys on the whole screen
            x.run("xdotool", "windowfocus", "--sync", win)
        x.run("xdotool", "key", "--delay", "30", *keys)

    (x1, y1), (x2, y2), (x3, y3) = (w.panel.centre(n) for n in (1, 2, 3))
    point_at(x1, y1, nudge="Right")  # from one pixel left, with an arrow key
    press("1", "a")
    point_at(x2, y2)
    press("2", "o")
    point_at(x3, y3)
    press("3", "BackSpace")  # picked and taken back
    expected = ["[TavoGUI]", f"UnitIndicator1={x1},{y1}", f"UnitIndicator2={x2},{y2}",
                f"UnitActiveColor={ACTIVE}", f"UnitOnAirColor={ON_AIR}"]
    press("Return")
    picker.wait_until(lambda lines: any(l.startswith("UnitOnAirColor=") for l in lines), 30, "the lines printed")
    lines = [l for l in picker.snapshot() if "=" in l or l == "[TavoGUI]"]
    if lines[-5:] != expected:
        raise Failure(f"printed {lines[-5:]}, expected {expected}")
    press("c")
    want = "".join(l + "\n" for l in expected)
    wait_for(lambda: x.run("xclip", "-selection", "clipboard", "-o").stdout.replace("\r\n", "\n") == want, 15,
             "the same lines on the clipboard")
    w.ws.watched.discard(picker)
    press("Escape")
    if picker.wait_exit(30, "the picker quit on Esc") != 0:
        raise Failure(f"the picker ended with status {picker.proc.returncode} on Esc")
    figure("printed and copied: " + " ".join(expected[1:3]))
