"""Helpers of the end-to-end tests: a private X server, the lamp panel, unit stand-ins, the program
(Linux build, or Windows build under wine) started from a copy beside its own INI file, and bounded
waits for log lines. Standard library only.

Every process started here is started in a session of its own and ended by its process-group id when
the Session closes. Every wait has a deadline and fails with a message saying what did not happen.
"""

import argparse
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

GP_OUT = b"CONTROL:\nGP out: yes\n\n"
ACTIVE = "#3296FF"
ON_AIR = "#E52F2F"
GREY = "#808080"
SKIP = 77  # ctest SKIP_RETURN_CODE

LAMP_SIZE = 24
# Lamps in the lower part of the screen: wine's tray window sits at the top left and message boxes
# in the middle, neither may cover a lamp.
GRID_X, GRID_Y, GRID_STEP = 100, 900, 40


class Failure(Exception):
    pass


def lamp_centre(n):
    return (GRID_X + (n - 1) * GRID_STEP + LAMP_SIZE // 2, GRID_Y + LAMP_SIZE // 2)


def free_port():
    """A loopback port nobody listens on (bound, then released)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def parse_fields(line):
    """'block t=1.5 conn=2 bytes=22' -> ('block', {'t': '1.5', ...})."""
    words = line.split()
    if not words:
        return None, {}
    fields = {}
    for w in words[1:]:
        key, sep, value = w.partition("=")
        if sep:
            fields[key] = value
    return words[0], fields


class LogProcess:
    """A child process whose stdout lines are collected (with arrival time) by a reader thread."""

    def __init__(self, session, name, argv, env=None, cwd=None, stdin=True):
        self.session = session
        self.name = name
        self.argv = argv
        self.stderr_path = os.path.join(session.dir, f"{name}.stderr")
        self.stdout_path = os.path.join(session.dir, f"{name}.stdout")
        self.stderr_file = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen(
            argv, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=self.stderr_file, env=env, cwd=cwd, start_new_session=True)
        self.lines = []
        self.cond = threading.Condition()
        self.eof = False
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()
        session.processes.append(self)

    def _read(self):
        with open(self.stdout_path, "wb") as copy:
            for raw in self.proc.stdout:
                copy.write(raw)
                copy.flush()
                with self.cond:
                    self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                    self.cond.notify_all()
        with self.cond:
            self.eof = True
            self.cond.notify_all()

    @property
    def pid(self):
        return self.proc.pid

    def alive(self):
        return self.proc.poll() is None

    def send(self, line):
        if not self.alive():
            raise Failure(f"{self.name} has ended (exit code {self.proc.returncode}); cannot send {line!r}")
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def snapshot(self):
        with self.cond:
            return list(self.lines)

    def events(self, kind):
        out = []
        for line in self.snapshot():
            k, fields = parse_fields(line)
            if k == kind:
                out.append(fields)
        return out

    def wait_until(self, predicate, timeout, what):
        """Waits until predicate(lines) gives something truthy; returns it. Fails after timeout seconds."""
        deadline = time.monotonic() + timeout
        while True:
            with self.cond:
                result = predicate(self.lines)
                if result:
                    return result
                if self.eof:
                    break
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    break
                self.cond.wait(min(remaining, 0.1))
            self.session.check_alive()
        result = predicate(self.snapshot())
        if result:
            return result
        state = "ended" if self.eof else f"waited {timeout:.1f} s"
        raise Failure(f"{what}: did not happen ({self.name} {state}); last lines of {self.name}:\n  "
                      + "\n  ".join(self.snapshot()[-12:]))

    def wait_event(self, kind, timeout, what, where=lambda f: True, start=0):
        """Waits for the first event line of this kind, from line index start on, matching where()."""
        def find(lines):
            for line in lines[start:]:
                k, fields = parse_fields(line)
                if k == kind and where(fields):
                    return fields
            return None
        return self.wait_until(find, timeout, what)

    def stop(self):
        if self.proc.poll() is None:
            for sig, grace in ((signal.SIGTERM, 3.0), (signal.SIGKILL, 3.0)):
                try:
                    os.killpg(self.proc.pid, sig)
                except ProcessLookupError:
                    break
                try:
                    self.proc.wait(grace)
                    break
                except subprocess.TimeoutExpired:
                    continue
        else:
            # The leader has ended; helpers it left in its group go too.
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        for f in (self.proc.stdin, self.stderr_file):
            try:
                if f:
                    f.close()
            except OSError:
                pass
        self.thread.join(2)


class UnitSim(LogProcess):
    def __init__(self, session, name, greeting="lines", reply="ack", extra=()):
        argv = [os.path.join(session.tools, "tavo-unit-sim"), "--port", "0", "--greeting", greeting,
                "--reply", reply, *extra]
        super().__init__(session, name, argv)
        fields = self.wait_event("listening", 10, f"{name} listening")
        self.port = int(fields["port"])

    def blocks(self):
        return self.events("block")

    def connections(self):
        return self.events("connected")

    def wait_connections(self, count, timeout, what):
        return self.wait_until(lambda lines: len([l for l in lines if l.startswith("connected ")]) >= count,
                               timeout, what)

    def wait_blocks(self, count, timeout, what):
        self.wait_until(lambda lines: len([l for l in lines if l.startswith("block ")]) >= count, timeout, what)
        return self.blocks()[count - 1]


class Panel(LogProcess):
    def __init__(self, session):
        argv = [os.path.join(session.tools, "tavo-lamp-panel"), "--grid", f"{GRID_X},{GRID_Y},{GRID_STEP}",
                "--size", f"{LAMP_SIZE},{LAMP_SIZE}"]
        super().__init__(session, "panel", argv, env=session.x_env())
        self.wait_event("ready", 10, "lamp panel ready")

    def set(self, changes):
        """changes: {lamp: '#RRGGBB'}; returns the time (CLOCK_MONOTONIC) the last change was on screen."""
        start = len(self.snapshot())
        self.send(" ".join(f"{n} {c}" for n, c in sorted(changes.items())))
        wanted = {str(n) for n in changes}

        def done(lines):
            seen = {}
            for line in lines[start:]:
                if line.startswith("error"):
                    raise Failure(f"lamp panel refused {changes}: {line}")
                words = line.split()
                if words and words[0] == "lamp":
                    seen[words[1]] = float(words[3][2:])
            return max(seen.values()) if wanted <= seen.keys() else None
        return self.wait_until(done, 10, f"lamp change {changes} shown")


def ini_text(units, poll=50, reconnect=500, version="1", active=ACTIVE, on_air=ON_AIR):
    """units: {n: 'address'} for the configured ones; every lamp position is written."""
    lines = []
    if version is not None:
        lines += ["[General]", f"Version={version}", ""]
    lines += ["[Devices]"] + [f"Unit{n}={units.get(n, '')}" for n in range(1, 9)] + [""]
    lines += ["[Configuration]", f"PollInterval={poll}", f"ReconnectDelay={reconnect}", ""]
    lines += ["[TavoGUI]"] + [f"UnitIndicator{n}={lamp_centre(n)[0]},{lamp_centre(n)[1]}" for n in range(1, 9)]
    lines += [f"UnitActiveColor={active}", f"UnitOnAirColor={on_air}", ""]
    return "\r\n".join(lines)


class Build:
    def __init__(self, kind, exe, repo):
        self.kind = kind  # "linux" or "win64"
        self.exe = exe
        self.repo = repo

    @property
    def is_wine(self):
        return self.kind == "win64"


class Program(LogProcess):
    """The program, copied beside its INI into a folder of its own and started from another folder."""

    def __init__(self, session, ini, name="TavoRouterControl"):
        build = session.build
        app_dir = os.path.join(session.dir, "app")
        os.makedirs(app_dir, exist_ok=True)
        exe_name = name + (".exe" if build.is_wine else "")
        self.exe_copy = os.path.join(app_dir, exe_name)
        shutil.copy2(build.exe, self.exe_copy)
        with open(os.path.join(app_dir, name + ".ini"), "w", newline="") as f:
            f.write(ini)
        elsewhere = os.path.join(session.dir, "elsewhere")
        os.makedirs(elsewhere, exist_ok=True)
        env = session.x_env()
        if build.is_wine:
            env.update(session.wine_env())
            session.start_wineserver()
            argv = [os.path.join(build.repo, "scripts", "wine-run"), self.exe_copy]
        else:
            runtime = os.path.join(session.dir, "xdg-runtime")
            os.makedirs(runtime, mode=0o700, exist_ok=True)
            env.update(QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=runtime)
            argv = [self.exe_copy]
        super().__init__(session, "program", argv, env=env, cwd=elsewhere, stdin=False)
        session.watch(self)

    def process_pid(self):
        """The pid of the program's own process (under wine: the process running the .exe)."""
        return self.proc.pid


class Session:
    """One test's world: a temp folder, an X server, and every process started, ended on close."""

    def __init__(self, build, tools, keep=False):
        self.build = build
        self.tools = tools
        self.dir = tempfile.mkdtemp(prefix=f"tavo-e2e-{build.kind if build else 'standins'}-")
        self.keep = keep
        self.processes = []
        self.watched = []
        self.display = None
        self.xvfb = None
        self.wineserver = None
        self.ok = False

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close(ok=exc_type is None)
        return False

    # X server -----------------------------------------------------------------------------------
    def start_xvfb(self):
        return start_xvfb_numbered(self)

    def x_env(self):
        env = dict(os.environ)
        env["DISPLAY"] = self.display
        env.pop("WAYLAND_DISPLAY", None)
        return env

    def xdotool(self, *args, timeout=10):
        return subprocess.run(["xdotool", *args], env=self.x_env(), capture_output=True, text=True,
                              timeout=timeout)

    def visible_windows(self, title_regex):
        """Window ids whose name matches, retrying when a window vanishes during the search."""
        for _ in range(20):
            r = self.xdotool("search", "--onlyvisible", "--name", title_regex)
            if "BadWindow" in r.stderr or "X Error" in r.stderr:
                continue
            return [w for w in r.stdout.split() if w.strip()]
        return []

    def wait_window(self, title_regex, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            ids = self.visible_windows(title_regex)
            if ids:
                return ids[0]
            self.check_alive()
            if time.monotonic() > deadline:
                raise Failure(f"{what}: no visible window named /{title_regex}/ within {timeout} s")
            time.sleep(0.05)  # polling xdotool; the deadline bounds it

    def dismiss(self, window, title_regex, timeout=10):
        deadline = time.monotonic() + timeout
        while window in self.visible_windows(title_regex):
            self.xdotool("key", "--window", window, "Return")
            # The box closes on the press, so xdotool's release goes nowhere and the key stays down
            # for whatever window is next.
            self.xdotool("keyup", "Return")
            inner = time.monotonic() + 1.0
            while window in self.visible_windows(title_regex) and time.monotonic() < inner:
                time.sleep(0.05)
            if time.monotonic() > deadline:
                raise Failure(f"window {window} /{title_regex}/ did not close on Return within {timeout} s")

    # Wine ---------------------------------------------------------------------------------------
    def wine_env(self):
        prefix = os.environ.get("TAVO_E2E_WINEPREFIX") or os.path.join(self.build.repo, "build", "e2e-wine-prefix")
        return {"WINEPREFIX": prefix, "WINEDLLOVERRIDES": "mscoree,mshtml=", "WINEDEBUG": "-all"}

    def prepare_wine_prefix(self):
        env = dict(os.environ)
        env.update(self.wine_env())
        r = subprocess.run([os.path.join(self.build.repo, "scripts", "wine-prefix")], env=env,
                           capture_output=True, text=True, timeout=300)
        if r.returncode != 0:
            raise Failure(f"scripts/wine-prefix failed: {r.stdout}{r.stderr}")

    def start_wineserver(self):
        if self.wineserver:
            return
        env = self.x_env()
        env.update(self.wine_env())
        # A server of our own, kept up for the whole test: the later starts of wine programs are fast
        # and it goes (with every wine process of the prefix) when the test ends.
        self.wineserver = subprocess.Popen(["/usr/lib/wine/wineserver64", "-p", "-f"], env=env,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                           start_new_session=True)

    def stop_wine(self):
        if not self.wineserver:
            return
        env = dict(os.environ)
        env.update(self.wine_env())
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env, capture_output=True, timeout=20)
        try:
            self.wineserver.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(self.wineserver.pid, signal.SIGKILL)
            self.wineserver.wait(5)
        self.wineserver = None

    # Liveness -----------------------------------------------------------------------------------
    def watch(self, process):
        """A process whose ending fails the test at the next wait."""
        self.watched.append(process)

    def check_alive(self):
        for p in self.watched:
            if not p.alive():
                tail = ""
                try:
                    with open(p.stderr_path, "rb") as f:
                        tail = f.read()[-2000:].decode("utf-8", "replace")
                except OSError:
                    pass
                raise Failure(f"{p.name} ended unexpectedly with exit code {p.proc.returncode}; stderr:\n{tail}")

    def close(self, ok):
        self.watched = []
        for p in reversed(self.processes):
            p.stop()
        self.stop_wine()
        if self.xvfb and self.xvfb.poll() is None:
            os.killpg(self.xvfb.pid, signal.SIGTERM)
            try:
                self.xvfb.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(self.xvfb.pid, signal.SIGKILL)
                self.xvfb.wait(5)
        if ok and not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)
        else:
            print(f"logs kept in {self.dir}", file=sys.stderr)


def wait_for(probe, timeout, what, session=None):
    """Polls probe() (a cheap look at system state) until it gives something truthy, within timeout s."""
    deadline = time.monotonic() + timeout
    while True:
        result = probe()
        if result:
            return result
        if session:
            session.check_alive()
        if time.monotonic() > deadline:
            raise Failure(f"{what}: did not happen within {timeout:.1f} s")
        time.sleep(0.02)


def syn_sent_count(port):
    """Loopback connects to port still waiting for an answer (TCP state SYN_SENT), from any process."""
    count = 0
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            remote, state = fields[2], fields[3]
            if state == "02" and int(remote.split(":")[1], 16) == port:
                count += 1
    return count


def cpu_seconds(pid):
    """utime + stime of a process, in seconds, from /proc/<pid>/stat."""
    with open(f"/proc/{pid}/stat") as f:
        text = f.read()
    fields = text[text.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def start_xvfb_numbered(session, first=200, count=200):
    """Like Session.start_xvfb, with two differences. The display number is chosen here among high ones:
    Xvfb's own choice (-displayfd alone) takes the lowest number without a lock file, so a server whose
    lock file has gone makes it pick a taken display. And the server never resets: by default it resets
    whenever its last client leaves, and drops the connections that arrive meanwhile, so a short-lived
    client (xdotool, a screenshot) can make the next one fail to open the display."""
    import random
    numbers = list(range(first, first + count))
    random.shuffle(numbers)
    for number in numbers[:20]:
        if os.path.exists(f"/tmp/.X{number}-lock") or os.path.exists(f"/tmp/.X11-unix/X{number}"):
            continue
        read_end, write_end = os.pipe()
        log = open(os.path.join(session.dir, "xvfb.log"), "ab")
        xvfb = subprocess.Popen(
            ["Xvfb", f":{number}", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
             "-noreset"],
            pass_fds=(write_end,), stdout=log, stderr=log, start_new_session=True)
        os.close(write_end)
        text = b""
        deadline = time.monotonic() + 15
        while not text.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([read_end], [], [], max(deadline - time.monotonic(), 0))
            chunk = os.read(read_end, 64) if ready else b""
            if not chunk:
                break
            text += chunk
        os.close(read_end)
        if text.strip() == str(number).encode():
            session.xvfb = xvfb
            session.display = f":{number}"
            return session.display
        # Taken meanwhile (Xvfb ends on an existing lock) or too slow: drop it and try another number.
        if xvfb.poll() is None:
            os.killpg(xvfb.pid, signal.SIGKILL)
        xvfb.wait(5)
    raise Failure(f"no Xvfb display could be started (see {session.dir}/xvfb.log)")


class Skip(Exception):
    """The scenario cannot run here (a missing privilege, say); ctest reports it as skipped."""


def scenario_main(doc, scenarios, title, run, add_arguments=None):
    """The command line the scenario scripts share: checks that the program and the stand-ins are there,
    runs one scenario in a Session through run(session, args, scenario) and prints PASS, FAIL or SKIP
    (exit status 0, 1 or 77)."""
    ap = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", choices=("linux", "win64"), required=True)
    ap.add_argument("--exe", required=True, help="the program's executable")
    ap.add_argument("--tools", required=True, help="folder with tavo-unit-sim and tavo-lamp-panel")
    ap.add_argument("--scenario", choices=sorted(scenarios), required=True)
    ap.add_argument("--keep", action="store_true", help="keep the temp folder with every log")
    if add_arguments:
        add_arguments(ap)
    args = ap.parse_args()
    repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    if not os.path.isfile(args.exe):
        print(f"SKIP: {args.exe} does not exist; build the {args.build} configuration first")
        return SKIP
    for tool in ("tavo-unit-sim", "tavo-lamp-panel"):
        if not os.path.isfile(os.path.join(args.tools, tool)):
            print(f"FAIL: stand-in {tool} not found in {args.tools}; build the linux configuration")
            return 1
    build = Build(args.build, os.path.abspath(args.exe), repo)
    scenario = scenarios[args.scenario]
    started = time.monotonic()
    print(f"{title} {args.build} {args.scenario}: {scenario.__doc__}")
    try:
        with Session(build, os.path.abspath(args.tools), keep=args.keep) as session:
            run(session, args, scenario)
    except Skip as s:
        print(f"SKIP: {s}")
        return SKIP
    except Failure as f:
        print(f"FAIL ({time.monotonic() - started:.1f} s): {f}")
        return 1
    print(f"PASS ({time.monotonic() - started:.1f} s)")
    return 0
