"""Processes with line-logged output and bounded waits, and the workspace that ends them all."""

import atexit
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

from harness import REPO, TOOLS

_LIVE = set()  # process groups still to end when the interpreter exits, whatever happened


@atexit.register
def _end_leftovers():
    for pid in list(_LIVE):
        try:
            os.killpg(pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass


class Failure(Exception):
    """Something the program or a stand-in should have done did not happen."""


def wait_for(probe, timeout, what, check=None, interval=0.02):
    """Calls probe() until it gives something truthy and returns that; fails after timeout seconds.
    check() runs between tries (it raises when a process that must live has ended)."""
    deadline = time.monotonic() + timeout
    while True:
        result = probe()
        if result:
            return result
        if check:
            check()
        if time.monotonic() > deadline:
            raise Failure(f"{what}: did not happen within {timeout:.1f} s")
        time.sleep(interval)


class LogProcess:
    """A child in a process group of its own. Its stdout (and stderr, when merged) is collected line by
    line with the arrival time, by a reader thread; the lines are also kept in a file (merged output
    with the arrival time in front, CLOCK_MONOTONIC, as the stand-ins stamp their own lines)."""

    def __init__(self, ws, name, argv, env=None, cwd=None, stdin=False, merge_stderr=False):
        self.ws, self.name, self.argv, self.stamp = ws, name, argv, merge_stderr
        self.log_path = os.path.join(ws.dir, f"{name}.log")
        self.err_path = os.path.join(ws.dir, f"{name}.stderr")
        err = subprocess.STDOUT if merge_stderr else open(self.err_path, "wb")
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=err, env=env, cwd=cwd,
                                     start_new_session=True)
        if not merge_stderr:
            err.close()
        _LIVE.add(self.proc.pid)
        # Appended by the reader thread alone, read as copies: no lock, so that a Ctrl-C in the middle of a
        # wait can never leave one held.
        self.lines, self.times = [], []
        self.eof = False
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()
        ws.processes.append(self)

    def _read(self):
        with open(self.log_path, "wb") as copy:
            for raw in self.proc.stdout:
                now = time.monotonic()
                copy.write(b"%.6f " % now + raw if self.stamp else raw)
                copy.flush()
                self.times.append(now)
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
        self.eof = True

    @property
    def pid(self):
        return self.proc.pid

    def alive(self):
        return self.proc.poll() is None

    def send(self, line):
        if not self.alive():
            raise Failure(f"{self.name} has ended (exit status {self.proc.returncode}); cannot send {line!r}")
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def snapshot(self):
        return list(self.lines)

    def stamped(self):
        """(arrival time, line) of every line so far."""
        return list(zip(list(self.times), self.snapshot()))

    def tail(self, count=12):
        return "\n  ".join(self.snapshot()[-count:])

    def wait_until(self, predicate, timeout, what):
        """Waits until predicate(lines) gives something truthy and returns it; fails after timeout seconds
        (at once when the output ends without it), with the last lines in the message."""
        deadline = time.monotonic() + timeout
        while True:
            eof = self.eof
            result = predicate(self.snapshot())
            if result or eof or time.monotonic() > deadline:
                break
            self.ws.check_alive()
            time.sleep(0.005)
        if result:
            return result
        state = "ended" if self.eof else f"waited {timeout:.1f} s"
        raise Failure(f"{what}: did not happen ({self.name} {state}); its last lines:\n  {self.tail()}")

    def wait_exit(self, timeout, what):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"{what}: {self.name} still running after {timeout:.0f} s") from None

    def stop(self):
        self.ws.watched.discard(self)
        if self.proc.poll() is None:
            for sig in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(self.proc.pid, sig)
                    self.proc.wait(3)
                    break
                except ProcessLookupError:
                    break
                except subprocess.TimeoutExpired:
                    continue
        try:  # helpers it left in its group go too
            os.killpg(self.proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        _LIVE.discard(self.proc.pid)
        if self.proc.stdin:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
        self.thread.join(2)


class Workspace:
    """A temp folder and every process started in it. close() ends them (last started first) and removes
    the folder; after a failure its logs are kept under build/failed/ instead, so /tmp stays clean."""

    def __init__(self, name, tools=None):
        self.name = name
        self.tools = tools or TOOLS
        self.dir = tempfile.mkdtemp(prefix=f"tavo-{name}-")
        self.processes = []
        self.watched = set()
        self.cleanups = []  # callables run on close, last added first
        self.count = 0

    def __enter__(self):
        return self

    def __exit__(self, kind, value, tb):
        self.close(ok=kind is None)

    def folder(self, *parts):
        path = os.path.join(self.dir, *parts)
        os.makedirs(path, exist_ok=True)
        return path

    def unique(self, name):
        self.count += 1
        return f"{name}-{self.count}"

    def spawn(self, name, argv, watch=False, **kw):
        p = LogProcess(self, self.unique(name), argv, **kw)
        if watch:
            self.watched.add(p)
        return p

    def check_alive(self):
        for p in list(self.watched):
            if not p.alive():
                self.watched.discard(p)
                raise Failure(f"{p.name} ended unexpectedly with exit status {p.proc.returncode}; "
                              f"its last lines:\n  {p.tail()}")

    def stop_all(self):
        self.watched.clear()
        for p in reversed(self.processes):
            p.stop()
        self.processes = []
        while self.cleanups:
            try:
                self.cleanups.pop()()
            except (OSError, subprocess.SubprocessError, Failure) as e:  # the others still run
                print(f"clean-up of {self.name}: {e}", flush=True)

    def close(self, ok):
        try:
            self.stop_all()
        finally:
            if not ok:
                kept = os.path.join(REPO, "build", "failed", os.path.basename(self.dir))
                shutil.copytree(self.dir, kept, ignore=_not_logs, dirs_exist_ok=True)
                print(f"logs kept in {kept}", flush=True)
            shutil.rmtree(self.dir, ignore_errors=True)


def _not_logs(folder, names):
    """Leaves out copies of executables, sockets and the like: only the logs and settings are kept."""
    def skip(n):
        path = os.path.join(folder, n)
        return not os.path.isdir(path) and (not os.path.isfile(path) or os.access(path, os.X_OK)
                                            or n.endswith(".exe"))
    return [n for n in names if skip(n)]


def stop_on_signals():
    """SIGTERM and SIGHUP end a script the way Ctrl-C does, so its clean-up runs."""
    def stop(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)
