"""A private X server (Xvfb), and a command line that runs one command on a fresh one:

  PYTHONPATH=<repo>/tools python3 -m harness.display [--depth N] [--size WxH] -- CMD ARGS

returns CMD's exit status; the server and its temp folder are gone afterwards."""

import argparse
import ctypes
import os
import random
import select
import signal
import subprocess
import sys
import time

from harness.proc import Failure, Workspace, _LIVE, stop_on_signals, wait_for


class Xvfb:
    """The display number is chosen here among high ones, skipping any with a lock file or a socket:
    Xvfb's own choice takes the lowest number without a lock file, so a stale socket makes it pick a
    display that is taken. -noreset: by default the server resets whenever its last client leaves and
    drops connections arriving meanwhile, so a short-lived client (xdotool) could fail the next one."""

    def __init__(self, ws, depth=24, size="1280x1024"):
        self.ws, self.size = ws, tuple(int(v) for v in size.split("x"))
        log = os.path.join(ws.dir, "xvfb.log")
        numbers = random.sample(range(200, 400), 20)
        for number in numbers:
            if os.path.exists(f"/tmp/.X{number}-lock") or os.path.exists(f"/tmp/.X11-unix/X{number}"):
                continue
            read_end, write_end = os.pipe()
            with open(log, "ab") as out:
                proc = subprocess.Popen(["Xvfb", f":{number}", "-displayfd", str(write_end), "-screen", "0",
                                         f"{size}x{depth}", "-nolisten", "tcp", "-noreset"],
                                        pass_fds=(write_end,), stdout=out, stderr=out, start_new_session=True)
            _LIVE.add(proc.pid)
            os.close(write_end)
            text, deadline = b"", time.monotonic() + 15
            while not text.endswith(b"\n") and time.monotonic() < deadline:
                ready, _, _ = select.select([read_end], [], [], max(deadline - time.monotonic(), 0))
                chunk = os.read(read_end, 64) if ready else b""
                if not chunk:
                    break
                text += chunk
            os.close(read_end)
            if text.strip() == str(number).encode():
                self.proc, self.display = proc, f":{number}"
                ws.cleanups.append(self.stop)
                return
            self._end(proc)  # taken meanwhile (it ends on an existing lock) or too slow: another number
        raise Failure(f"no Xvfb display could be started (see {log})")

    def env(self, base=None):
        env = dict(os.environ if base is None else base, DISPLAY=self.display)
        for name in ("WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "DBUS_SESSION_BUS_ADDRESS"):
            env.pop(name, None)
        return env

    def run(self, *argv, timeout=30):
        return subprocess.run(argv, env=self.env(), capture_output=True, text=True, timeout=timeout)

    def screenshot(self, path):
        return screenshot(self.env(), path)

    @staticmethod
    def _end(proc):
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGTERM)
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait(5)
        _LIVE.discard(proc.pid)

    def stop(self):
        self._end(self.proc)


def screenshot(x_env, path):
    r = subprocess.run(["import", "-window", "root", path], env=x_env, capture_output=True, text=True, timeout=30)
    if r.returncode != 0:
        raise Failure(f"screenshot failed: {r.stderr.strip()}")
    return path


def tray_owned(display):
    """Whether a tray host holds the X tray selection (it takes icons from then on)."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = x11.XInternAtom.restype = x11.XGetSelectionOwner.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = x11.XOpenDisplay(display.encode())
    if not dpy:
        raise Failure(f"cannot open display {display}")
    try:
        return bool(x11.XGetSelectionOwner(dpy, x11.XInternAtom(dpy, b"_NET_SYSTEM_TRAY_S0", 0)))
    finally:
        x11.XCloseDisplay(dpy)


def start_trayer(ws, x_env, display):
    """trayer as the tray host, at the bottom edge; returns once it takes icons."""
    trayer = ws.spawn("trayer", ["trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request",
                                 "--SetDockType", "false"], watch=True, env=x_env)
    wait_for(lambda: tray_owned(display), 10, "trayer took the tray selection", ws.check_alive)
    return trayer


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python3 -m harness.display", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--depth", type=int, default=24)
    ap.add_argument("--size", default="1280x1024")
    ap.add_argument("command", nargs=argparse.REMAINDER)
    args = ap.parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        ap.error("no command given (after --)")
    ok = False
    stop_on_signals()
    with Workspace("display") as ws:
        try:
            x = Xvfb(ws, args.depth, args.size)
            child = subprocess.Popen(command, env=x.env())
            try:
                status = child.wait()
            except KeyboardInterrupt:  # Ctrl-C, or a test runner's time limit
                child.terminate()
                try:
                    status = child.wait(10)
                except subprocess.TimeoutExpired:
                    child.kill()
                    status = child.wait()
            ok = True
        except Failure as f:
            print(f"harness.display: {f}", file=sys.stderr)
            status = 1
        if not ok:
            raise SystemExit(status)
    return status


if __name__ == "__main__":
    sys.exit(main())
