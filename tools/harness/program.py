"""The program under test: a copy beside its own settings file in a folder of its own, started from
another folder, the Linux build natively or the Windows build under wine; and its diagnostic lines."""

import os
import re
import shutil

from harness import REPO
from harness.proc import Failure, LogProcess
from harness.standins import ACTIVE, ON_AIR

EXE_NAME = "TavoRouterControl"
ERROR_TITLE = f"{EXE_NAME} - Error"
# "TavoRouterControl: Unit3 127.0.0.1:9998: connected" (under wine inside OutputDebugStringA "...").
DIAGNOSTIC = re.compile(r"^\S+: Unit(\d) (\S*): (.+)$")
DEBUGSTR = re.compile(r'debugstr:OutputDebugStringA "(.*)"$')
MSGBOX = re.compile(r'msgbox:MSGBOX_OnInit L"(.*)"$')


def on_wine(kind):
    """Whether the build of kind is a Windows one (x86 'win32' or x64 'win64'), run under wine."""
    return kind in ("win32", "win64")


def built(kind):
    """Where the build of kind puts the program."""
    return os.path.join(REPO, "build", kind, EXE_NAME + ".exe" * on_wine(kind))


def ini_text(units, lamps, poll=50, reconnect=500, version="1", active=ACTIVE, on_air=ON_AIR, log=None):
    """units {n: 'address'}; lamps {n: (x, y)}, every lamp that has a position; log: LogFile. CRLF, as on Windows."""
    lines = ["[General]", f"Version={version}", ""] if version is not None else []
    lines += ["[Devices]"] + [f"Unit{n}={units.get(n, '')}" for n in range(1, 9)] + [""]
    lines += ["[Configuration]", f"PollInterval={poll}", f"ReconnectDelay={reconnect}", "", "[TavoGUI]"]
    lines += [f"UnitIndicator{n}={x},{y}" for n, (x, y) in sorted(lamps.items())]
    lines += [f"UnitActiveColor={active}", f"UnitOnAirColor={on_air}", ""]
    lines += ["[Diagnostics]", f"LogFile={log}", ""] if log else []
    return "\r\n".join(lines)


def with_values(text, values):
    """A settings text (an example's) with each key's one line given its value, as an operator edits it."""
    for key, value in values.items():
        text, count = re.subn(rf"^{key}=[^\r\n]*", f"{key}={value}", text, flags=re.M)
        if count != 1:
            raise Failure(f"the settings text has {count} lines {key}=, not one")
    return text


def unescape(text):
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "r": "\r", "t": "\t"}.get(m.group(1), m.group(1)), text)


class Program(LogProcess):
    """kind 'linux', 'win32' or 'win64'. ini None: no settings file beside the copy. prefix: put in front of the
    command line (strace, unshare, ip netns exec). env: variables besides (None: not set). again: start
    a copy already in place (exe) once more. args: after the program's name on its command line.
    stdout and stderr are one log."""

    def __init__(self, ws, kind, exe, x_env, ini=None, wine=None, name=EXE_NAME, prefix=(), env=None, again=False,
                 args=()):
        self.kind = kind
        self.folder = os.path.dirname(exe) if again else ws.folder(ws.unique("app"))
        self.exe = exe if again else os.path.join(self.folder, name + ".exe" * on_wine(kind))
        self.ini = os.path.join(self.folder, name + ".ini")
        if not again:
            shutil.copy2(exe, self.exe)
        if ini is not None:
            with open(self.ini, "w", newline="") as f:
                f.write(ini)
        full = dict(x_env)
        if on_wine(kind):
            if wine is None:
                raise Failure("the Windows build needs the wine set-up")
            wine.start(x_env)
            full.update(wine.env)
            argv = wine.argv(self.exe, *args)
        else:
            full.update(QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=ws.folder("xdg-runtime"),
                        XDG_CONFIG_HOME=ws.folder("xdg-config"))
            os.chmod(full["XDG_RUNTIME_DIR"], 0o700)
            argv = [self.exe, *args]
        full.update(env or {})  # a value None takes the variable away
        full = {k: v for k, v in full.items() if v is not None}
        super().__init__(ws, ws.unique(name), [*prefix, *argv], env=full, cwd=ws.folder("elsewhere"),
                         merge_stderr=True)

    def diagnostics(self, unit=None):
        """(arrival time, unit, text) of every diagnostic line so far."""
        out = []
        for t, line in self.stamped():
            m = DEBUGSTR.search(line)
            text = unescape(m.group(1)).strip() if m else line
            d = DIAGNOSTIC.match(text)
            if d and (unit is None or int(d.group(1)) == unit):
                out.append((t, int(d.group(1)), d.group(3)))
        return out

    def wait_diagnostic(self, unit, text, timeout, what=None, count=1):
        """The count-th diagnostic line of unit that starts with text; returns its arrival time."""
        def found(lines):
            hits = [t for t, _, d in self.diagnostics(unit) if d.startswith(text)]
            return hits[count - 1] if len(hits) >= count else None
        return self.wait_until(found, timeout, what or f"diagnostic 'Unit{unit} ...: {text}'")

    def box_texts(self):
        """The texts of the message boxes shown so far (Windows build: wine traces them)."""
        return [unescape(m.group(1)) for m in map(MSGBOX.search, self.snapshot()) if m]

    def resources(self):
        """(resident KiB, open descriptors) of the program's process."""
        with open(f"/proc/{self.pid}/status") as f:
            rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        return rss, len(os.listdir(f"/proc/{self.pid}/fd"))

    def cpu_seconds(self):
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
