#!/usr/bin/env python3
"""TavoLampPicker end to end: on a private Xvfb with the lamp panel stand-in, the pointer is moved onto
lamps with xdotool, keys are pressed, and the [TavoGUI] lines the picker prints (and copies) are
checked exactly. --build linux runs the Qt build; --build win64 the Windows build under wine.

Every wait has a deadline and fails saying what did not happen. Exit 77 means skipped.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
ACTIVE, ON_AIR = "#3296FF", "#E52F2F"
GRID_X, GRID_Y, STEP, SIZE = 100, 900, 40, 24
# Beyond the gap the picker keeps: the window must lie clear of this much around the point it reads.
READ_REACH = 5


class Failure(Exception):
    pass


def lamp_centre(n):
    return GRID_X + (n - 1) * STEP + SIZE // 2, GRID_Y + SIZE // 2


def wait_for(what, timeout, probe, interval=0.05):
    """Calls probe() until it gives something truthy; fails after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        result = probe()
        if result:
            return result
        if time.monotonic() >= deadline:
            raise Failure(f"{what}: not within {timeout:.0f} s")
        time.sleep(interval)


class Child:
    """A process in a session of its own whose stdout lines are collected by a thread."""

    def __init__(self, name, argv, env, logdir, stdin=False):
        self.name = name
        self.stderr = open(os.path.join(logdir, f"{name}.stderr"), "wb")
        self.proc = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=self.stderr,
                                     stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                     start_new_session=True)
        self.lines = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for raw in self.proc.stdout:
            with self.lock:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def snapshot(self):
        with self.lock:
            return list(self.lines)

    def send(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def wait_line(self, what, timeout, predicate):
        def probe():
            if self.proc.poll() is not None and not self.thread.is_alive():
                found = [l for l in self.snapshot() if predicate(l)]
                if found:
                    return found
                raise Failure(f"{what}: {self.name} ended with exit code {self.proc.returncode}; "
                              f"output: {self.snapshot()[-10:]}")
            return [l for l in self.snapshot() if predicate(l)]
        return wait_for(f"{what} (output of {self.name} so far: {self.snapshot()[-10:]})", timeout, probe)

    def stop(self):
        if self.proc.poll() is None:
            for sig in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(self.proc.pid, sig)
                    self.proc.wait(3)
                    break
                except (ProcessLookupError, subprocess.TimeoutExpired):
                    continue
        self.stderr.close()


class Session:
    def __init__(self, args):
        self.args = args
        self.children = []
        self.xvfb = None
        self.wineserver = None
        self.dir = tempfile.mkdtemp(prefix=f"tavo-picker-{args.build}-")
        os.chmod(self.dir, 0o700)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.dir, QT_QPA_PLATFORM="xcb")

    def start_xvfb(self):
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                                      "-nolisten", "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                                     stderr=open(os.path.join(self.dir, "xvfb.stderr"), "wb"),
                                     start_new_session=True)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 15
        while not number.endswith(b"\n"):
            if time.monotonic() > deadline or self.xvfb.poll() is not None:
                raise Failure("Xvfb did not report its display number within 15 s")
            chunk = os.read(read_end, 16)
            if not chunk:
                raise Failure("Xvfb closed its display-number pipe without a number")
            number += chunk
        os.close(read_end)
        self.env["DISPLAY"] = ":" + number.decode().strip()

    def start(self, name, argv, stdin=False, env=None):
        child = Child(name, argv, env or self.env, self.dir, stdin)
        self.children.append(child)
        return child

    def xdotool(self, *words, check=True):
        r = subprocess.run(["xdotool", *words], env=self.env, capture_output=True, text=True, timeout=20)
        if check and r.returncode != 0:
            raise Failure(f"xdotool {' '.join(words)} failed: {r.stderr.strip()}")
        return r

    def wine_env(self):
        prefix = self.args.wineprefix or os.path.join(self.args.repo, "build", "wine-prefix")
        return dict(self.env, WINEPREFIX=prefix, WINEDLLOVERRIDES="mscoree,mshtml=", WINEDEBUG="-all")

    def start_wine(self):
        env = self.wine_env()
        r = subprocess.run([os.path.join(self.args.repo, "scripts", "wine-prefix")], env=env,
                           capture_output=True, text=True, timeout=300)
        if r.returncode != 0:
            raise Failure(f"scripts/wine-prefix failed: {r.stdout}{r.stderr}")
        # A persistent server of our own: later starts are fast, and it goes when the test ends.
        self.wineserver = subprocess.Popen(["/usr/lib/wine/wineserver64", "-p", "-f"], env=env,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                           start_new_session=True)

    def close(self):
        for child in reversed(self.children):
            child.stop()
        if self.wineserver:
            subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=self.wine_env(), capture_output=True,
                           timeout=20)
            try:
                self.wineserver.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.wineserver.pid, signal.SIGKILL)
        if self.xvfb and self.xvfb.poll() is None:
            os.killpg(self.xvfb.pid, signal.SIGTERM)
            self.xvfb.wait(10)
        if self.args.keep:
            print(f"logs kept in {self.dir}")
        else:
            shutil.rmtree(self.dir, ignore_errors=True)


def window_geometry(s, wid):
    r = s.xdotool("getwindowgeometry", "--shell", wid, check=False)
    if r.returncode != 0:
        return None
    g = dict(line.split("=", 1) for line in r.stdout.split() if "=" in line)
    return int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])


def clear_of(geometry, x, y):
    gx, gy, w, h = geometry
    return not (gx - READ_REACH <= x < gx + w + READ_REACH and gy - READ_REACH <= y < gy + h + READ_REACH)


# The picker keeps this many pixels between the pointer and its window, right/below or left/above.
GAP = 24


def placed_beside(geometry, x, y):
    gx, gy, w, h = geometry
    return gx in (x + GAP + 1, x - GAP - w) and gy in (y + GAP + 1, y - GAP - h)


def read_clipboard(s):
    """The CLIPBOARD selection's text, read by Tk; None when Tk is not there."""
    code = ("import tkinter,sys\nr=tkinter.Tk()\nr.withdraw()\n"
            "sys.stdout.write(r.clipboard_get())\n")
    try:
        r = subprocess.run([sys.executable, "-c", code], env=s.env, capture_output=True, text=True, timeout=20)
    except subprocess.TimeoutExpired:
        raise Failure("reading the clipboard with Tk did not end within 20 s")
    if r.returncode != 0 and "No module named" in r.stderr:
        return None
    if r.returncode != 0:
        raise Failure(f"the clipboard could not be read: {r.stderr.strip()[-300:]}")
    return r.stdout


def run(args):
    s = Session(args)
    try:
        s.start_xvfb()
        panel = s.start("panel", [args.panel, "--grid", f"{GRID_X},{GRID_Y},{STEP}"], stdin=True)
        panel.wait_line("panel ready", 15, lambda l: l.startswith("ready "))
        panel.send(f"1 {ACTIVE} 2 {ON_AIR}")
        panel.wait_line("lamps 1 and 2 recoloured", 15,
                        lambda l: l.startswith(f"lamp 2 {ON_AIR} "))

        # The pointer starts away from the lamps, so the picker's first place is known to be elsewhere.
        s.xdotool("mousemove", "640", "300")
        wine = args.build == "win64"
        if wine:
            s.start_wine()
            picker = s.start("picker", [os.path.join(args.repo, "scripts", "wine-run"), args.picker],
                             env=s.wine_env())
            started_within = 90
        else:
            picker = s.start("picker", [args.picker])
            started_within = 30
        wid = wait_for("the picker window TavoLampPicker shown", started_within, lambda: (
            s.xdotool("search", "--onlyvisible", "--name", "^TavoLampPicker$", check=False).stdout.split()
            or [None])[-1], interval=0.1)
        if picker.proc.poll() is not None:
            raise Failure(f"the picker ended at once (exit code {picker.proc.returncode})")

        def focus():
            # The Linux build takes its keys on the whole screen; under wine the window must have the focus.
            if wine:
                s.xdotool("windowfocus", "--sync", wid)

        def follows(x, y):
            # Clear of the point is not enough: the old place may already be clear of the new point
            # while the picker has not yet seen the pointer move, and a key then records the old point.
            wait_for(f"the picker window beside {x},{y}", 10,
                     lambda: (g := window_geometry(s, wid)) and clear_of(g, x, y) and placed_beside(g, x, y))

        def point_at(x, y, nudge=None):
            s.xdotool("mousemove", str(x), str(y))
            follows(x, y)
            if nudge:
                focus()
                s.xdotool("key", nudge)
                follows(x + 1 if nudge == "Right" else x, y)

        def press(*keys):
            focus()
            s.xdotool("key", "--delay", "30", *keys)

        x1, y1 = lamp_centre(1)
        x2, y2 = lamp_centre(2)
        x3, y3 = lamp_centre(3)
        # Unit 1 from one pixel to its left and an arrow key; unit 3 picked and taken back.
        point_at(x1 - 1, y1, nudge="Right")
        press("1", "a")
        point_at(x2, y2)
        press("2", "o")
        point_at(x3, y3)
        press("3", "BackSpace")
        # Resting beside lamp 2, for the picture of the window.
        point_at(x2 + 3, y2 - 3)

        expected = ["[TavoGUI]", f"UnitIndicator1={x1},{y1}", f"UnitIndicator2={x2},{y2}",
                    f"UnitActiveColor={ACTIVE}", f"UnitOnAirColor={ON_AIR}"]
        press("Return")
        got = picker.wait_line("the [TavoGUI] lines printed", 30, lambda l: l.rstrip("\r").startswith("UnitOnAirColor="))
        lines = picker.snapshot()
        start = max(i for i, l in enumerate(lines) if l.rstrip("\r") == "[TavoGUI]") if any(
            l.rstrip("\r") == "[TavoGUI]" for l in lines) else None
        if start is None:
            raise Failure(f"no [TavoGUI] line printed; printed: {lines}")
        printed = lines[start:start + len(expected)]
        # The Windows build ends its lines as Windows files do.
        wanted = [l + "\r" for l in expected] if wine else expected
        if printed != wanted:
            raise Failure(f"printed lines differ:\n  got      {printed}\n  expected {wanted}")
        print("printed:", *expected, sep="\n  ")
        del got

        # The picture of the picker, kept with the build for a look at its legibility.
        os.makedirs(args.artefacts, exist_ok=True)
        shot = os.path.join(args.artefacts, f"picker-{args.build}.png")
        g = window_geometry(s, wid)
        r = subprocess.run(["import", "-window", "root", "-crop", f"{g[2] + 80}x{g[3] + 80}+{max(0, g[0] - 40)}+{max(0, g[1] - 40)}",
                            shot], env=s.env, capture_output=True, text=True, timeout=30)
        if r.returncode != 0:
            raise Failure(f"screenshot failed: {r.stderr.strip()}")
        print(f"screenshot: {shot}")

        press("c")
        eol = "\r\n" if wine else "\n"
        want_clip = "".join(l + "\n" for l in expected)
        clip = wait_for("the [TavoGUI] lines on the clipboard", 15,
                        lambda: (c := read_clipboard(s)) is None and "no tk" or (
                            c is not None and c.replace("\r\n", "\n") == want_clip and c))
        if clip == "no tk":
            print("clipboard: not checked (no tkinter)")
        else:
            print("clipboard: the same lines" + (" (CRLF)" if eol in clip and wine else ""))

        press("Escape")
        code = wait_for("the picker to quit on Esc", 30, lambda: picker.proc.poll() is not None and [picker.proc.returncode])
        if code[0] != 0:
            raise Failure(f"the picker ended with exit code {code[0]} on Esc")
        return 0
    finally:
        s.close()


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--build", choices=["linux", "win64"], required=True)
    p.add_argument("--picker", required=True, help="the TavoLampPicker executable")
    p.add_argument("--panel", required=True, help="the tavo-lamp-panel stand-in")
    p.add_argument("--artefacts", required=True, help="folder for the screenshot")
    p.add_argument("--repo", default=os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
    p.add_argument("--wineprefix", default=os.environ.get("TAVO_PICKER_WINEPREFIX"))
    p.add_argument("--keep", action="store_true", help="keep the logs folder")
    args = p.parse_args()
    if not os.path.isfile(args.picker):
        print(f"SKIPPED: {args.picker} does not exist (build the {args.build} picker first)")
        return SKIP
    for tool in ("Xvfb", "xdotool", "import"):
        if not shutil.which(tool):
            print(f"SKIPPED: {tool} is not installed")
            return SKIP
    try:
        return run(args)
    except Failure as f:
        print(f"FAILED: {f}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
