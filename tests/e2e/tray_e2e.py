#!/usr/bin/env python3
"""End-to-end tray test: the real program (Linux build with trayer as the tray host, or the Windows build
under wine with wine's own tray window) on a private Xvfb, driven with real pointer and key events.

  tray_e2e.py --build linux|win64 --exe PATH --artefacts DIR [--keep]

One run walks the whole life of the icon: it docks with the application's image; resting the pointer on
it shows the tooltip, one line as wide as the version text and copyright notice; a left click opens the
menu, whose screenshot must have the five entries in their places (three text rows, two separators
between them, the first row bold, widths falling in caption order), and the checks must catch the same
picture altered as a faulty menu would look; the header chosen with the keyboard does nothing;
a right click opens the menu again and About shows its box; the icon outlives the box; a second start of
the same copy shows "TavoRouterControl is already running." and ends with 0; a renamed copy elsewhere
runs beside it and leaves through its own Exit; Exit ends the program with 0 and takes the icon along.
Screenshots go to the artefacts folder.

Exit code 0 passed, 1 failed, 77 skipped (the program's executable does not exist).
"""

import argparse
import ctypes
import os
import shutil
import struct
import subprocess
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2elib import (SKIP, Build, Failure, LogProcess, Program, Session, ini_text,  # noqa: E402
                    start_xvfb_numbered, wait_for)  # noqa: E402

PRODUCT = "TavoRouterControl"
ABOUT_TITLE = f"^About {PRODUCT}$"
# The icon's own colours (resources/TavoRouterControl-*.png): its background, the red and the blue lamp.
ICON_BACK, ICON_RED, ICON_BLUE = (0x1B, 0x2A, 0x41), (0xE5, 0x2F, 0x2F), (0x32, 0x96, 0xFF)
TOOLTIP_CHARS = len(f"{PRODUCT} 1.0.0.23 Copyright (C) 2026 The {PRODUCT} developers")


# Pictures -----------------------------------------------------------------------------------------------
class Image:
    """An RGB picture with its place on the screen (left, top)."""

    def __init__(self, width, height, data, left=0, top=0):
        self.width, self.height, self.data, self.left, self.top = width, height, data, left, top

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return self.data[i], self.data[i + 1], self.data[i + 2]

    def crop(self, left, top, width, height):
        """Screen coordinates in, clamped to the picture."""
        x0, y0 = max(left - self.left, 0), max(top - self.top, 0)
        x1, y1 = min(left - self.left + width, self.width), min(top - self.top + height, self.height)
        if x1 <= x0 or y1 <= y0:
            raise Failure(f"crop {width}x{height}+{left}+{top} lies outside the screenshot")
        rows = [self.data[(y * self.width + x0) * 3:(y * self.width + x1) * 3] for y in range(y0, y1)]
        return Image(x1 - x0, y1 - y0, b"".join(rows), self.left + x0, self.top + y0)

    def save_png(self, path):
        def chunk(kind, body):
            return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
        stride = self.width * 3
        raw = b"".join(b"\0" + self.data[y * stride:(y + 1) * stride] for y in range(self.height))
        with open(path, "wb") as f:
            header = struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)
            f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 6))
                    + chunk(b"IEND", b""))


def parse_ppm(blob):
    fields, pos = [], 0
    while len(fields) < 4:
        while blob[pos:pos + 1].isspace():
            pos += 1
        end = pos
        while not blob[end:end + 1].isspace():
            end += 1
        fields.append(blob[pos:end])
        pos = end
    if fields[0] != b"P6" or fields[3] != b"255":
        raise Failure(f"unexpected screenshot format {fields}")
    width, height = int(fields[1]), int(fields[2])
    data = blob[pos + 1:pos + 1 + width * height * 3]
    if len(data) != width * height * 3:
        raise Failure("screenshot is shorter than its header says")
    return Image(width, height, data)


def lum(p):
    return (299 * p[0] + 587 * p[1] + 114 * p[2]) // 1000


def near(p, q, tolerance=40):
    return all(abs(a - b) <= tolerance for a, b in zip(p, q))


def icon_colours(img):
    """Counts of the icon's background, red and blue pixels in img."""
    back = red = blue = 0
    for y in range(img.height):
        for x in range(img.width):
            p = img.pixel(x, y)
            back += near(p, ICON_BACK, 20)
            red += near(p, ICON_RED)
            blue += near(p, ICON_BLUE)
    return back, red, blue


def looks_like_icon(img):
    back, red, blue = icon_colours(img)
    return back >= 40 and red >= 3 and blue >= 3


def find_icons(img):
    """Boxes (left, top, width, height; screen coordinates) of the application's icons in img, found as
    column runs holding the icon's background colour (the lamps may interrupt it for a few columns), each
    checked for both lamps."""
    columns = []
    for x in range(img.width):
        if sum(near(img.pixel(x, y), ICON_BACK, 20) for y in range(img.height)) >= 2:
            columns.append(x)
    runs = []
    for x in columns:
        if runs and x - runs[-1][1] <= 3:
            runs[-1][1] = x
        else:
            runs.append([x, x])
    boxes = []
    for x0, x1 in runs:
        rows = [y for y in range(img.height)
                if sum(near(img.pixel(x, y), ICON_BACK, 20) for x in range(x0, x1 + 1)) >= 2]
        # The rows of one icon are contiguous; dark text above it (a caption) is cut off.
        groups = []
        for y in rows:
            if groups and y - groups[-1][-1] <= 3:
                groups[-1].append(y)
            else:
                groups.append([y])
        if not groups:
            continue
        rows = max(groups, key=len)
        box = (img.left + x0, img.top + rows[0], x1 - x0 + 1, rows[-1] - rows[0] + 1)
        if box[2] >= 10 and box[3] >= 10 and looks_like_icon(img.crop(*box)):
            boxes.append(box)
    return boxes


class MenuLayout:
    """What a screenshot of the popup shows: text rows and separator lines, top to bottom."""

    def __init__(self, img):
        self.img = img
        counts = {}
        for i in range(0, len(img.data), 3):
            key = img.data[i:i + 3]
            counts[key] = counts.get(key, 0) + 1
        self.background = tuple(max(counts, key=counts.get))
        back = lum(self.background)
        self.ink_limit = back // 2  # text is drawn dark on a light menu
        inner = range(img.width // 10, img.width - img.width // 10)
        separator_rows, ink_rows = [], []
        for y in range(3, img.height - 3):  # the frame is no separator
            values = [lum(img.pixel(x, y)) for x in inner]
            if min(abs(v - back) for v in values) > 12 and max(values) - min(values) < 30:
                separator_rows.append(y)
            elif sum(v < self.ink_limit for v in values) >= 2:
                ink_rows.append(y)
        self.separators = self._group(separator_rows, 1)
        # An access key's underline may sit a row or two below its caption.
        self.texts = self._group(ink_rows, 3)
        self.sequence = sorted([(a, "sep") for a, _ in self.separators] + [(a, "text") for a, _ in self.texts])

    @staticmethod
    def _group(rows, gap):
        groups = []
        for y in rows:
            if groups and y - groups[-1][1] <= gap:
                groups[-1][1] = y
            else:
                groups.append([y, y])
        return [tuple(g) for g in groups]

    def ink_extent(self, band):
        xs = [x for y in range(band[0], band[1] + 1) for x in range(self.img.width)
              if lum(self.img.pixel(x, y)) < self.ink_limit]
        return max(xs) - min(xs) + 1

    def stroke_width(self, band):
        """Mean length of the horizontal ink runs in a text row: about one pixel for regular text, more for
        bold. Runs longer than a few pixels are horizontal strokes or underlines and are left out."""
        runs = []
        for y in range(band[0], band[1] + 1):
            run = 0
            for x in range(self.img.width + 1):
                if x < self.img.width and lum(self.img.pixel(x, y)) < self.ink_limit:
                    run += 1
                elif run:
                    if run <= 5:
                        runs.append(run)
                    run = 0
        return sum(runs) / len(runs) if runs else 0.0

    def problems(self):
        """Empty when the picture is the five-entry menu; otherwise what is wrong with it."""
        shape = [kind for _, kind in self.sequence]
        if shape != ["text", "sep", "text", "sep", "text"]:
            return [f"rows top to bottom are {shape} (text rows {self.texts}, separators {self.separators}),"
                    " not text, separator, text, separator, text"]
        found = []
        centres = [(a + b) / 2 for a, b in self.texts]
        pitch1, pitch2 = centres[1] - centres[0], centres[2] - centres[1]
        if abs(pitch1 - pitch2) > max(3, 0.2 * pitch1):
            found.append(f"entries are not evenly spaced: text row centres {centres}")
        if not 30 <= self.img.height <= 12 * pitch1:
            found.append(f"menu height {self.img.height} is implausible for five entries {pitch1:.0f} px apart")
        widths = [self.ink_extent(t) for t in self.texts]
        # "TavoRouterControl" is longer than "About...", which is longer than "Exit", in any font.
        if not widths[0] > widths[1] > widths[2]:
            found.append(f"caption widths {widths} do not fall in the order header, About, Exit")
        strokes = [self.stroke_width(t) for t in self.texts]
        if not strokes[0] > 1.2 * max(strokes[1], strokes[2]):
            found.append(f"header is not drawn bold: stroke widths {['%.2f' % s for s in strokes]}")
        return found

    def uncaught_faults(self):
        """The checks above must see the faults they are there for in this very rendering (this font, this
        style): the picture is altered as a faulty menu would look, and each alteration must be found.
        Returns the alterations that passed unnoticed."""
        img, stride = self.img, self.img.width * 3
        blank = bytes(self.background) * img.width
        header, about, exit_ = self.texts
        height = max(b - a for a, b in self.texts) + 1

        def band(rows):
            return img.data[rows[0] * stride:(rows[0] + height) * stride]

        def altered(changes):
            data = bytearray(img.data)
            for top, rows in changes:
                data[top * stride:top * stride + len(rows)] = rows
            return MenuLayout(Image(img.width, img.height, bytes(data)))
        separator = self.separators[0]
        faults = {
            "first separator missing": [(separator[0], blank * (separator[1] - separator[0] + 1))],
            "About missing": [(about[0], blank * (about[1] - about[0] + 1))],
            "About and Exit swapped": [(about[0], band(exit_)), (exit_[0], band(about))],
            "header drawn like the other entries": [(header[0], blank * height), (header[0], band(about))],
        }
        return [name for name, changes in faults.items() if not altered(changes).problems()]

    def summary(self):
        strokes = ", ".join(f"{self.stroke_width(t):.2f}" for t in self.texts)
        return (f"{self.img.width}x{self.img.height}, text rows {self.texts}, separators {self.separators},"
                f" caption widths {[self.ink_extent(t) for t in self.texts]}, stroke widths {strokes}")


# The desktop under test -----------------------------------------------------------------------------------
def libx11():
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XGetSelectionOwner.restype = ctypes.c_ulong
    x11.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    return x11


def tray_owned(display):
    """True once someone holds the X tray selection (the tray host is ready for icons)."""
    x11 = libx11()
    dpy = x11.XOpenDisplay(display.encode())
    if not dpy:
        raise Failure(f"cannot open display {display}")
    try:
        return x11.XGetSelectionOwner(dpy, x11.XInternAtom(dpy, b"_NET_SYSTEM_TRAY_S0", 0)) != 0
    finally:
        x11.XCloseDisplay(dpy)


class Started(LogProcess):
    """A further start of a copy that is already in place (Program always copies the executable first)."""

    def __init__(self, session, name, exe_copy):
        env = session.x_env()
        if session.build.is_wine:
            env.update(session.wine_env())
            argv = [os.path.join(session.build.repo, "scripts", "wine-run"), exe_copy]
        else:
            runtime = os.path.join(session.dir, "xdg-runtime")
            os.makedirs(runtime, mode=0o700, exist_ok=True)
            env.update(QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=runtime)
            argv = [exe_copy]
        elsewhere = os.path.join(session.dir, "elsewhere")
        os.makedirs(elsewhere, exist_ok=True)
        super().__init__(session, name, argv, env=env, cwd=elsewhere, stdin=False)


class Desk:
    """The session's X server seen from outside: windows, pointer, keys and screenshots."""

    def __init__(self, session, artefacts):
        self.s = session
        self.wine = session.build.is_wine
        self.artefacts = artefacts
        self.shots = []

    def search(self, *criteria, visible=True):
        """Windows matching xdotool search criteria; retried while windows vanish mid-search."""
        for _ in range(20):
            r = self.s.xdotool("search", *(["--onlyvisible"] if visible else []), *criteria)
            if "BadWindow" in r.stderr or "X Error" in r.stderr:
                continue
            return [w for w in r.stdout.split() if w.strip()]
        raise Failure(f"xdotool search {criteria} kept failing: {r.stderr.strip()}")

    def geometry(self, window):
        """(left, top, width, height) of a window, or None once it is gone."""
        r = subprocess.run(["xwininfo", "-id", window], env=self.s.x_env(), capture_output=True, text=True,
                           timeout=10)
        if r.returncode != 0:
            return None
        values = {}
        for line in r.stdout.splitlines():
            key, _, value = line.strip().partition(":")
            values[key] = value.strip()
        try:
            return tuple(int(values[k]) for k in ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))
        except (KeyError, ValueError):
            return None

    def program_class(self, name):
        # wine names a program's X windows after its executable, in lower case.
        return f"^{name.lower()}\\.exe$" if self.wine else f"^{name}$"

    def windows_of(self, name):
        return self.search("--class", self.program_class(name))

    def screenshot(self):
        r = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"], env=self.s.x_env(),
                           capture_output=True, timeout=30)
        if r.returncode != 0:
            raise Failure(f"screenshot failed: {r.stderr.decode(errors='replace')}")
        return parse_ppm(r.stdout)

    def keep(self, img, name, what):
        path = os.path.join(self.artefacts, name)
        img.save_png(path)
        self.shots.append((path, what))
        return path

    def pointer(self, x, y):
        r = self.s.xdotool("mousemove", str(x), str(y))
        if r.returncode != 0:
            raise Failure(f"xdotool mousemove {x} {y}: {r.stderr.strip()}")

    def click(self, x, y, button):
        r = self.s.xdotool("mousemove", str(x), str(y), "click", str(button))
        if r.returncode != 0:
            raise Failure(f"xdotool click {button} at {x},{y}: {r.stderr.strip()}")

    def release(self, key):
        """xdotool key --window sends the press and then the release; when the window closes on the press,
        the release fails and the server keeps the key down, so the next press of it reads as a repeat
        (a Qt menu then ignores Return). Let it go."""
        self.s.xdotool("keyup", key)

    def dismiss(self, window, title_regex):
        self.s.dismiss(window, title_regex)
        self.release("Return")

    def keys(self, window, *names):
        if self.wine:
            # Sent to the menu window itself; its closing under the last key is no failure.
            self.s.xdotool("key", "--window", window, *names)
            self.release(names[-1])
        else:
            # Qt's popup holds the keyboard grab, so keys typed anywhere reach it.
            r = self.s.xdotool("key", *names)
            if r.returncode != 0:
                raise Failure(f"xdotool key {names}: {r.stderr.strip()}")


class TrayTest:
    def __init__(self, session, artefacts):
        self.s = session
        self.d = Desk(session, artefacts)
        self.wine = session.build.is_wine
        self.bound = 30 if self.wine else 15  # a window or an icon appears
        self.host_window = None
        self.empty_host_width = None
        self.last_mark = time.monotonic()

    def mark(self, what):
        now = time.monotonic()
        print(f"  ok ({now - self.last_mark:4.1f} s): {what}", flush=True)
        self.last_mark = now

    # Tray host ------------------------------------------------------------------------------------------
    def start_host(self):
        if self.wine:
            self.s.prepare_wine_prefix()  # wine's own tray window is the host; it appears with the first icon
            return
        trayer = LogProcess(self.s, "trayer", ["trayer", "--edge", "bottom", "--widthtype", "request",
                                                "--SetDockType", "false"], env=self.s.x_env(), stdin=False)
        self.s.watch(trayer)
        wait_for(lambda: tray_owned(self.s.display), 10, "trayer took the tray selection", self.s)
        self.host_window = wait_for(lambda: (self.d.search("--name", "^panel$", visible=False) or [None])[0],
                                    10, "trayer's panel window found", self.s)
        self.empty_host_width = self.d.geometry(self.host_window)[2]

    # The icon -------------------------------------------------------------------------------------------
    def icons(self, name=None):
        """Boxes of the application's icons now shown by the host (name: only that copy's, on Linux)."""
        if self.wine:
            trays = self.d.search("--name", "^Wine System Tray$")
            if not trays:
                return []
            where = self.d.geometry(trays[0])
            if not where:
                return []
            return find_icons(self.d.screenshot().crop(*where))
        boxes = []
        for w in self.d.windows_of(name):
            where = self.d.geometry(w)
            # The docked icon is the window inside trayer's panel; menus and boxes are elsewhere.
            panel = self.d.geometry(self.host_window)
            if where and panel and where[0] >= panel[0] and where[1] >= panel[1] \
                    and where[0] + where[2] <= panel[0] + panel[2] and where[1] + where[3] <= panel[1] + panel[3]:
                boxes.append(where + (w,))
        return boxes

    def wait_icon(self, name, what, count=1):
        def docked():
            boxes = self.icons(name)
            if len(boxes) != count:
                return None
            if not self.wine:
                # The image is applied by the modify after the add: the window must show it.
                shot = self.d.screenshot()
                if not all(looks_like_icon(shot.crop(*b[:4])) for b in boxes):
                    return None
            return boxes
        return wait_for(docked, self.bound, what, self.s)

    def tray_region(self, boxes):
        left = min(b[0] for b in boxes)
        top = min(b[1] for b in boxes)
        right = max(b[0] + b[2] for b in boxes)
        return max(left - 40, 0), max(top - 40, 0), right - left + 80, 120

    # The menu -------------------------------------------------------------------------------------------
    def open_menu(self, icon, button, name=PRODUCT):
        before = set(self.d.windows_of(name))
        self.d.click(icon[0] + icon[2] // 2, icon[1] + icon[3] // 2, button)

        def shown():
            new = [w for w in self.d.windows_of(name) if w not in before]
            return new[0] if len(new) == 1 else None
        menu = wait_for(shown, self.bound, f"menu opened by button {button} on the icon of {name}", self.s)
        # Off the menu, so no entry is highlighted under the pointer and the keys start from the top.
        self.d.pointer(900, 500)
        return menu

    def choose(self, menu, downs):
        self.d.keys(menu, *(["Down"] * downs), "Return")
        wait_for(lambda: self.d.geometry(menu) is None or menu not in self.d.search("--class", ".*"), 10,
                 "menu closed after an entry was chosen with the keyboard", self.s)

    def check_menu_picture(self, menu):
        last = {}

        def as_expected():
            where = self.d.geometry(menu)
            if not where:
                raise Failure("the menu closed before its screenshot was taken")
            shot = self.d.screenshot()
            last["menu"] = shot.crop(*where)
            last["around"] = shot.crop(where[0] - 60, where[1] - 60, where[2] + 120, where[3] + 120)
            last["layout"] = MenuLayout(last["menu"])
            return not last["layout"].problems()
        try:
            wait_for(as_expected, 5, "menu drawn as header, separator, About, separator, Exit", self.s)
        finally:
            if last:
                self.d.keep(last["menu"], "menu.png", "the popup menu window alone")
                self.d.keep(last["around"], "menu-on-screen.png", "the popup menu with its surroundings")
        layout = last["layout"]
        print(f"  menu picture: {layout.summary()}")
        return layout

    # Boxes ----------------------------------------------------------------------------------------------
    def box_shot(self, window, name, what):
        where = self.d.geometry(window)
        if not where:
            raise Failure(f"{what}: window {window} vanished before its screenshot")
        self.d.keep(self.d.screenshot().crop(where[0] - 10, where[1] - 10, where[2] + 20, where[3] + 20), name, what)
        return where

    # The run --------------------------------------------------------------------------------------------
    def run(self):
        s, d = self.s, self.d
        start_xvfb_numbered(s)
        self.start_host()
        program = Program(s, ini_text({}))
        self.mark("program started")

        icon = self.wait_icon(PRODUCT, "icon docked with the application's image")[0]
        d.keep(d.screenshot().crop(*self.tray_region([icon])), "icon.png", "the docked icon")
        if not self.wine and d.geometry(self.host_window)[2] <= self.empty_host_width:
            raise Failure("trayer's panel did not grow for the icon")
        self.mark(f"icon docked at {icon[:4]}")

        self.check_tooltip(icon)

        # Left click: the menu, its picture, and the header chosen with the keyboard.
        menu = self.open_menu(icon, 1)
        layout = self.check_menu_picture(menu)
        problems = layout.problems()
        if problems:
            raise Failure("menu picture: " + "; ".join(problems))
        uncaught = layout.uncaught_faults()
        if uncaught:
            raise Failure(f"the menu picture checks cannot tell these faults in this rendering: {uncaught}")
        self.mark("left click opened the five-entry menu (header bold, separators between)")
        shown_before = set(d.windows_of(PRODUCT))
        self.choose(menu, 1)

        # Right click opens it again: by then the header's choice has been handled, so a box it had opened
        # would be on screen now.
        menu = self.open_menu(icon, 3)
        others = [w for w in d.windows_of(PRODUCT) if w != menu and w not in shown_before]
        if others:
            raise Failure(f"choosing the header left windows {others} (named "
                          f"{[self.window_name(w) for w in others]}) on screen")
        if not program.alive():
            raise Failure(f"choosing the header ended the program (exit code {program.proc.returncode})")
        self.mark("header chosen: menu closed, no box, program running; right click opened the menu")

        # Second entry: About.
        self.choose(menu, 2)
        about = s.wait_window(ABOUT_TITLE, self.bound, "About box after choosing the second entry")
        where = self.box_shot(about, "about.png", "the About box")
        if where[2] < 200 or where[3] < 80:
            raise Failure(f"About box is only {where[2]}x{where[3]}: too small for its text")
        d.dismiss(about, ABOUT_TITLE)
        self.mark(f"About box {where[2]}x{where[3]} shown with its title and closed")
        icon = self.wait_icon(PRODUCT, "icon still docked after About closed")[0]
        if not program.alive():
            raise Failure("program ended with the About box")
        d.keep(d.screenshot().crop(*self.tray_region([icon])), "icon-after-about.png", "the icon after About")
        self.mark("icon still there after About")

        self.check_second_start(program, icon)
        self.check_side_by_side(program, icon)

        # Exit, third entry: the program ends with 0 and no icon is left.
        menu = self.open_menu(icon, 1)
        s.watched.remove(program)
        self.choose(menu, 3)
        code = self.wait_exit(program, "program ended after Exit")
        if code != 0:
            raise Failure(f"Exit ended the program with status {code}, not 0")
        self.wait_no_icon(PRODUCT, "no icon left after Exit")
        d.keep(d.screenshot().crop(*self.tray_region([icon])), "after-exit.png", "the tray after Exit")
        self.mark("Exit ended the program with status 0 and took the icon along")

    def failure_picture(self):
        """The whole screen at the moment of a failure, for the report."""
        try:
            self.d.keep(self.d.screenshot(), "failure.png", "the screen when the test failed")
        except (Failure, OSError, subprocess.SubprocessError) as e:
            print(f"  no failure screenshot: {e}")

    def window_name(self, window):
        r = self.s.xdotool("getwindowname", window)
        return r.stdout.strip()

    def check_tooltip(self, icon):
        """The tooltip is a small window of its own (wine's tray draws it, Qt draws it for the icon) that
        appears after the pointer has rested on the icon for a while."""
        if self.wine:
            tray = self.d.search("--name", "^Wine System Tray$")
            candidates = lambda: [w for w in self.d.search("--class", "^explorer\\.exe$") if w not in tray]
        else:
            candidates = lambda: [w for w in self.d.windows_of(PRODUCT) if w != icon[4]]

        def tip():
            for w in candidates():
                where = self.d.geometry(w)
                if where and where[3] < 60 and where[2] > 60:
                    return w, where
            return None
        cx, cy = icon[0] + icon[2] // 2, icon[1] + icon[3] // 2
        found, deadline, step = None, time.monotonic() + 12, 0
        while not found:
            if time.monotonic() > deadline:
                raise Failure("no tooltip within 12 s of the pointer resting on the icon")
            # Onto the icon from just beside it, then rest: every motion restarts the tooltip's delay, so
            # the pointer moves again only when a rest of three seconds showed nothing.
            self.d.pointer(cx + 1 + step % 2, cy + 1)
            self.d.pointer(cx + step % 2, cy)
            step += 1
            rest = time.monotonic() + 3
            while not found and time.monotonic() < rest:
                found = tip()
                self.s.check_alive()
        window, where = found
        shot = self.d.screenshot().crop(*where)
        self.d.keep(shot, "tooltip.png", "the tooltip shown on hover")
        # The whole version text and copyright notice in one line: a few pixels per character at least.
        if where[2] < 4 * TOOLTIP_CHARS:
            raise Failure(f"tooltip is {where[2]} px wide, too narrow for the {TOOLTIP_CHARS} characters "
                          "of version text and copyright notice")
        layout = MenuLayout(shot)
        if len(layout.texts) != 1:
            raise Failure(f"tooltip should show one line of text, found text rows {layout.texts}")
        if layout.ink_extent(layout.texts[0]) < 0.8 * (where[2] - 8):
            raise Failure(f"tooltip text fills only {layout.ink_extent(layout.texts[0])} of {where[2]} px")
        self.mark(f"tooltip {where[2]}x{where[3]} with one line of text shown on hover")

    def check_second_start(self, program, icon):
        s, d = self.s, self.d
        before = set(d.search("--name", f"^{PRODUCT}$"))
        second = Started(s, "second-start", program.exe_copy)

        def box():
            new = [w for w in d.search("--name", f"^{PRODUCT}$") if w not in before]
            return new[0] if new else None
        window = wait_for(box, self.bound, f"information box of the second start (title {PRODUCT})", s)
        where = self.box_shot(window, "already-running.png", "the second start's information box")
        if where[2] < 150 or where[3] < 60:
            raise Failure(f"the second start's box is only {where[2]}x{where[3]}")
        if not second.alive():
            raise Failure(f"the second start ended (status {second.proc.returncode}) before its box was closed")
        d.dismiss(window, f"^{PRODUCT}$")
        code = self.wait_exit(second, "second start ended after its box was closed")
        if code != 0:
            raise Failure(f"the second start ended with status {code}, not 0")
        s.check_alive()
        self.wait_icon(PRODUCT, "one icon, the first copy's, after the second start")
        self.mark("second start of the same copy showed its box and ended with 0; the first runs on")

    def check_side_by_side(self, program, icon):
        s, d = self.s, self.d
        other_name = PRODUCT + "B"
        folder = os.path.join(s.dir, "other")
        os.makedirs(folder)
        exe = os.path.join(folder, other_name + (".exe" if self.wine else ""))
        shutil.copy2(s.build.exe, exe)
        with open(os.path.join(folder, other_name + ".ini"), "w", newline="") as f:
            f.write(ini_text({}))
        other = Started(s, "other-copy", exe)
        s.watch(other)
        if self.wine:
            boxes = self.wait_icon(None, "icons of both copies in wine's tray", count=2)
            other_icon = [b for b in boxes if abs(b[0] - icon[0]) > 4 or abs(b[1] - icon[1]) > 4]
            if len(other_icon) != 1:
                raise Failure(f"first copy's icon moved: was {icon}, now {boxes}")
            other_icon = other_icon[0]
        else:
            other_icon = self.wait_icon(other_name, "icon of the renamed copy docked")[0]
            self.wait_icon(PRODUCT, "first copy's icon still docked")
        d.keep(d.screenshot().crop(*self.tray_region([icon, other_icon])), "side-by-side.png",
               "icons of the first copy and the renamed copy")
        s.check_alive()
        self.mark(f"renamed copy in another folder runs beside the first (its icon at {other_icon[:4]})")

        menu = self.open_menu(other_icon, 1, name=other_name)
        s.watched.remove(other)
        self.choose(menu, 3)
        code = self.wait_exit(other, "renamed copy ended after its Exit")
        if code != 0:
            raise Failure(f"the renamed copy's Exit ended it with status {code}, not 0")
        s.check_alive()
        if self.wine:
            boxes = self.wait_icon(None, "only the first copy's icon left in wine's tray")
        else:
            self.wait_no_icon(other_name, "renamed copy's icon gone after its Exit")
            boxes = self.wait_icon(PRODUCT, "first copy's icon still docked after the other's Exit")
        if abs(boxes[0][0] - icon[0]) > 4 or abs(boxes[0][1] - icon[1]) > 4:
            raise Failure(f"the icon left is at {boxes[0][:4]}, not the first copy's place {icon[:4]}")
        self.mark("renamed copy's Exit took only its own icon")

    def wait_exit(self, process, what):
        deadline = time.monotonic() + self.bound
        while True:
            code = process.proc.poll()
            if code is not None:
                return code
            if time.monotonic() > deadline:
                raise Failure(f"{what}: still running after {self.bound} s")
            try:
                process.proc.wait(0.1)
            except subprocess.TimeoutExpired:
                pass

    def wait_no_icon(self, name, what):
        if self.wine:
            wait_for(lambda: not self.icons(), self.bound, what + " (wine's tray shows no icon of ours)", self.s)
            return

        def gone():
            panel = self.d.geometry(self.host_window)
            return not self.icons(name) and panel and (name != PRODUCT or panel[2] <= self.empty_host_width)
        wait_for(gone, self.bound, what + f" (no window of {name} in trayer, panel back to its empty width)",
                 self.s)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", choices=("linux", "win64"), required=True)
    ap.add_argument("--exe", required=True, help="the program's executable")
    ap.add_argument("--artefacts", required=True, help="folder for the screenshots")
    ap.add_argument("--keep", action="store_true", help="keep the temp folder with every log")
    args = ap.parse_args()
    repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    if not os.path.isfile(args.exe):
        print(f"SKIP: {args.exe} does not exist; build the {args.build} configuration first")
        return SKIP
    needed = ["Xvfb", "xdotool", "xwininfo", "import"] + ([] if args.build == "win64" else ["trayer"])
    missing = [tool for tool in needed if not shutil.which(tool)]
    if missing:
        print(f"FAIL: tools missing from PATH: {', '.join(missing)}")
        return 1
    shutil.rmtree(args.artefacts, ignore_errors=True)
    os.makedirs(args.artefacts)
    started = time.monotonic()
    print(f"e2e tray {args.build}: {os.path.abspath(args.exe)}", flush=True)
    test = None
    try:
        with Session(Build(args.build, os.path.abspath(args.exe), repo), None, keep=args.keep) as session:
            test = TrayTest(session, args.artefacts)
            try:
                test.run()
            except Failure:
                test.failure_picture()
                raise
    except Failure as f:
        print(f"FAIL ({time.monotonic() - started:.1f} s): {f}")
        return 1
    finally:
        if test:
            for path, what in test.d.shots:
                print(f"  screenshot: {path} ({what})")
    print(f"PASS ({time.monotonic() - started:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
