"""A name server that never answers (but for names beginning "missing.", which do not exist), for a
program started inside a mount namespace of its own whose /etc/resolv.conf names it (root and
unshare(1) needed; elsewhere Unavailable)."""

import os
import shutil
import socket
import threading


class Unavailable(Exception):
    pass


class SilentNameServer:
    """Reads every query on a loopback address and answers none. prefix: put it before a command line
    to run that command with this server as its only name server."""

    count = 0

    def __init__(self, ws):
        # An address of this one's own: servers of runs side by side, or one after another, do not meet.
        SilentNameServer.count += 1
        address = f"127.{83 + SilentNameServer.count % 100}.{os.getpid() >> 8 & 255}.{os.getpid() & 255 or 1}"
        if os.geteuid() != 0 or not shutil.which("unshare"):
            raise Unavailable("needs root and unshare(1) for a mount namespace of its own")
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            self.sock.bind((address, 53))
        except OSError as e:
            self.sock.close()
            raise Unavailable(f"cannot listen on {address}:53: {e}") from None
        self.sock.settimeout(0.2)  # the reader looks for the end this often
        self.open = True
        ws.cleanups.append(self.close)
        self.queries = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        conf = os.path.join(ws.dir, f"resolv-{SilentNameServer.count}.conf")
        with open(conf, "w") as f:
            f.write(f"nameserver {address}\noptions timeout:30 attempts:5\n")
        self.prefix = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                       f'mount --bind "{conf}" /etc/resolv.conf && exec "$@"', "sh"]

    def close(self):
        self.open = False
        self.reader.join(2)
        self.sock.close()

    def _read(self):
        while self.open:
            try:
                query, peer = self.sock.recvfrom(4096)
                self.queries.append(query)
                if query[12:20] == b"\x07missing":  # the answer: no such name (flags QR RD RA, NXDOMAIN)
                    self.sock.sendto(query[:2] + b"\x81\x83" + query[4:6] + bytes(6) + query[12:], peer)
            except socket.timeout:
                continue
            except OSError:
                return

    def asked(self, name):
        """Whether a query for this host name came (its labels, as they travel on the wire)."""
        wire = b"".join(bytes([len(p)]) + p.encode() for p in name.split("."))
        return any(wire in q for q in self.queries)
