"""A private X server (Xvfb), and a command line that runs one command on a fresh one:

  PYTHONPATH=<repo>/tools python3 -m harness.display [--depth N] [--size WxH] -- CMD ARGS

returns CMD's exit status; the server and its temp folder are gone afterwards."""

import argparse
import ctypes
import os
import random
import select
import shutil
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


# The panel's settings as its settings daemon keeps them: one small panel at the top right edge holding the
# status tray, which hosts StatusNotifierItems and takes XEmbed icons too.
XFCE_PANEL = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=2;x=0;y=0"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="length" type="uint" value="20"/>
      <property name="size" type="uint" value="26"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/></property>
    </property>
  </property>
  <property name="plugins" type="empty"><property name="plugin-1" type="string" value="systray"/></property>
</channel>
"""
# A session bus that starts only the panel's settings daemon (from services/) and listens in the workspace.
SESSION_BUS = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={folder}/bus</listen>
  <auth>EXTERNAL</auth>
  <servicedir>{folder}/services</servicedir>
  <policy context="default"><allow send_destination="*"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
"""


def hosts_items(env):
    """Whether a StatusNotifierItem host has registered with the watcher on env's session bus."""
    r = subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.kde.StatusNotifierWatcher",
                        "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties.Get",
                        "string:org.kde.StatusNotifierWatcher", "string:IsStatusNotifierHostRegistered"],
                       env=env, capture_output=True, text=True, timeout=10)
    return r.returncode == 0 and "boolean true" in r.stdout


def start_xfce_panel(ws, x_env):
    """xfce4-panel with its status tray as the tray host, in a D-Bus session of its own whose daemons and
    files (home, settings, caches) all lie in the workspace. Returns the session bus's address once the
    panel hosts status notifier items: programs given it show their icons that way."""
    folder = ws.folder("xfce")
    env = dict(x_env, HOME=folder, NO_AT_BRIDGE="1", GSETTINGS_BACKEND="memory",
               **{f"XDG_{kind}": ws.folder("xfce", kind.lower()) for kind in
                  ("CONFIG_HOME", "DATA_HOME", "CACHE_HOME", "RUNTIME_DIR")})
    os.chmod(env["XDG_RUNTIME_DIR"], 0o700)
    with open(os.path.join(ws.folder("xfce", "config_home", "xfce4", "xfconf", "xfce-perchannel-xml"),
                           "xfce4-panel.xml"), "w") as f:
        f.write(XFCE_PANEL)
    shutil.copy("/usr/share/dbus-1/services/org.xfce.Xfconf.service", ws.folder("xfce", "services"))
    with open(os.path.join(folder, "bus.conf"), "w") as f:
        f.write(SESSION_BUS.format(folder=folder))
    bus = ws.spawn("dbus-daemon", ["dbus-daemon", "--config-file", os.path.join(folder, "bus.conf"), "--nofork",
                                   "--print-address"], watch=True, env=env)
    env["DBUS_SESSION_BUS_ADDRESS"] = bus.wait_until(lambda lines: lines[:1], 10, "the session bus's address")[0]
    ws.spawn("xfce4-panel", ["xfce4-panel", "--disable-wm-check", "--sm-client-disable"], watch=True, env=env)
    wait_for(lambda: hosts_items(env), 20, "xfce4-panel hosts status notifier items", ws.check_alive, interval=0.1)
    return env["DBUS_SESSION_BUS_ADDRESS"]


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
