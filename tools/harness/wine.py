"""The project's one wine set-up, as scripts/wine defines it: one prefix, one environment, and one wine
server kept up while programs start (later starts then take about 0.1 s instead of seconds)."""

import os
import subprocess

from harness import REPO
from harness.proc import Failure, _LIVE, wait_for

SCRIPT = os.path.join(REPO, "scripts", "wine")


def wine_env():
    """scripts/wine env, with the programs' OutputDebugStringA lines and message box texts on stderr."""
    r = subprocess.run([SCRIPT, "env"], env=dict(os.environ, WINEDEBUG="-all,+debugstr,+msgbox"),
                       capture_output=True, text=True, timeout=30, check=True)
    return dict(line.split("=", 1) for line in r.stdout.splitlines() if "=" in line)


class Wine:
    def __init__(self):
        self.env = wine_env()
        self.server = None

    def prepare(self):
        """Creates the prefix the first time (about 10 s and 700 MB)."""
        r = subprocess.run([SCRIPT, "prefix"], env=dict(os.environ, **self.env), capture_output=True,
                           text=True, timeout=300)
        if r.returncode != 0:
            raise Failure(f"scripts/wine prefix failed: {r.stdout}{r.stderr}")

    def start(self, x_env, prefix=()):
        """A persistent server, seen first by programs on this display (wine's tray window goes there);
        prefix runs it inside something (ip netns exec NS: winsock sockets are the server's)."""
        if self.server and self.server.poll() is None:
            return
        self.prepare()
        self.server = subprocess.Popen([*prefix, "/usr/lib/wine/wineserver64", "-p", "-f"],
                                       env=dict(x_env, **self.env), stdout=subprocess.DEVNULL,
                                       stderr=subprocess.PIPE, start_new_session=True)
        _LIVE.add(self.server.pid)

        def up():
            if self.server.poll() is not None:
                raise Failure("the wine server did not start (is another one running for this prefix, "
                              f"on another display?): {self.server.stderr.read().decode().strip()}")
            # Up once it works in its server folder (below TMPDIR) and its socket is there.
            folder = os.readlink(f"/proc/{self.server.pid}/cwd")
            return "/server-" in folder and os.path.exists(os.path.join(folder, "socket"))
        wait_for(up, 30, "the wine server up")

    def argv(self, exe, *args):
        return [SCRIPT, "run", exe, *args]

    def stop(self):
        """Ends the server and every wine process of the prefix."""
        subprocess.run([SCRIPT, "stop"], env=dict(os.environ, **self.env), capture_output=True, timeout=60)
        if self.server:
            try:
                self.server.wait(10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait(5)
            _LIVE.discard(self.server.pid)
            self.server = None
