#!/usr/bin/env python3
"""Load on the edge's web server for soak runs. Not a test by itself.

    web_flood.py ADDRESS PORT SECONDS [CLIENTS]

For SECONDS, keeps CLIENTS (default 500) connections open at once, half of them idle and half
of them sending a request one byte a second, reconnecting whenever the server drops one; and
floods the server with malformed requests from a few more threads. Prints one line of figures
at the end: connections made, bad requests sent, and replies seen to them.
"""

import os
import random
import socket
import sys
import threading
import time

BAD_REQUESTS = [
    b"GARBAGE\r\n\r\n",
    b"GET\r\n\r\n",
    b"POST /api/login HTTP/1.1\r\nContent-Length: -5\r\n\r\n",
    b"POST /api/login HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n",
    b"GET / HTTP/1.1\r\nX-Long: " + b"a" * 70000 + b"\r\n\r\n",
    b"POST /api/config HTTP/1.1\r\nCookie: larkspire_edge=\r\nContent-Length: 4\r\n\r\n{{{{",
    b"GET /../../etc/shadow HTTP/1.1\r\n\r\n",
    b"\x00\xff\xfe" * 100 + b"\r\n\r\n",
]


class Figures:
    def __init__(self):
        self.lock = threading.Lock()
        self.connections = 0
        self.bad = 0
        self.replies = 0

    def add(self, name, amount=1):
        with self.lock:
            setattr(self, name, getattr(self, name) + amount)


def connections(address, port, deadline, pause):
    """Connected sockets, one after another, until the deadline; waits `pause` after a refusal."""
    while time.time() < deadline:
        try:
            s = socket.create_connection((address, port), timeout=10)
        except OSError:
            time.sleep(pause)
            continue
        s.settimeout(1)
        try:
            yield s
        finally:
            s.close()


def lingering_client(address, port, slow, deadline, figures):
    request = b"GET / HTTP/1.1\r\nHost: x\r\nX-Pad: " + b"p" * 200 + b"\r\n\r\n"
    for s in connections(address, port, deadline, 0.2):
        figures.add("connections")
        sent = 0
        try:
            while time.time() < deadline:
                if slow and sent < len(request) - 4:
                    s.send(request[sent:sent + 1])
                    sent += 1
                try:
                    if s.recv(4096) == b"":
                        break  # the server gave up on us: come back
                except socket.timeout:
                    pass
        except OSError:
            pass


def flooder(address, port, deadline, figures):
    rng = random.Random(os.getpid() ^ threading.get_ident())
    for s in connections(address, port, deadline, 0.05):
        try:
            s.sendall(rng.choice(BAD_REQUESTS + [os.urandom(rng.randint(1, 3000))]))
            figures.add("bad")
            s.settimeout(6)
            if s.recv(64):
                figures.add("replies")
        except OSError:
            pass


def main():
    address, port, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    clients = int(sys.argv[4]) if len(sys.argv) > 4 else 500
    deadline = time.time() + seconds
    figures = Figures()
    threads = [
        threading.Thread(target=lingering_client, args=(address, port, i % 2 == 1, deadline, figures))
        for i in range(clients)
    ]
    threads += [threading.Thread(target=flooder, args=(address, port, deadline, figures)) for _ in range(8)]
    for t in threads:
        t.daemon = True
        t.start()
    for t in threads:
        t.join(timeout=max(0.0, deadline - time.time()) + 15)
    print("connections=%d bad_requests=%d bad_replies=%d" % (figures.connections, figures.bad, figures.replies))


if __name__ == "__main__":
    main()
