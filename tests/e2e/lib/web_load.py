#!/usr/bin/env python3
"""Load on the edge's web server, for soak runs and the web scenario. Not a test by itself.

    web_load.py ADDRESS PORT SECONDS [CLIENTS]
    web_load.py hold ADDRESS PORT SECONDS IDLE SLOW

The first form, for SECONDS, keeps CLIENTS (default 500) connections open at once, half of
them idle and half of them sending a request one byte a second, reconnecting whenever the
server drops one; and floods the server with malformed requests from a few more threads.
Prints one line of figures at the end: connections made, bad requests sent, and replies seen
to them.

The second form, on one thread, holds IDLE silent connections and SLOW clients that send a
request one byte a second (each reconnecting whenever the server lets it go), and every
half second times a normal GET / next to them. Prints one line: the connections held at the
end, how many were made, the probes' count, failures, median and largest time in ms, and
the median of ten probes made alone just before.
"""

import os
import random
import resource
import selectors
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


def connect(address, port):
    s = socket.create_connection((address, port), timeout=10)
    s.settimeout(1)
    return s


def lingering_client(address, port, slow, deadline, figures):
    request = b"GET / HTTP/1.1\r\nHost: x\r\nX-Pad: " + b"p" * 200 + b"\r\n\r\n"
    while time.time() < deadline:
        try:
            s = connect(address, port)
        except OSError:
            time.sleep(0.2)
            continue
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
        finally:
            s.close()


def flooder(address, port, deadline, figures):
    rng = random.Random(os.getpid() ^ threading.get_ident())
    while time.time() < deadline:
        try:
            s = connect(address, port)
        except OSError:
            time.sleep(0.05)
            continue
        try:
            s.sendall(rng.choice(BAD_REQUESTS + [os.urandom(rng.randint(1, 3000))]))
            figures.add("bad")
            s.settimeout(6)
            if s.recv(64):
                figures.add("replies")
        except OSError:
            pass
        finally:
            s.close()


def hold_main(address, port, seconds, idle, slow):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    host = b"Host: %s:%d\r\n" % (address.encode(), port)
    slow_request = b"GET / HTTP/1.1\r\n" + host + b"X-Pad: " + b"p" * 40 + b"\r\n\r\n"
    sel = selectors.DefaultSelector()
    made = 0

    def open_one(is_slow):
        nonlocal made
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex((address, port))
        sel.register(s, selectors.EVENT_READ, [is_slow, 0])
        made += 1

    def probe():
        start = time.time()
        try:
            with socket.create_connection((address, port), timeout=5) as c:
                c.sendall(b"GET / HTTP/1.1\r\n" + host + b"\r\n")
                reply = b""
                while True:
                    chunk = c.recv(65536)
                    if not chunk:
                        break
                    reply += chunk
        except OSError:
            return None
        return (time.time() - start) * 1000 if reply.startswith(b"HTTP/1.1 200 ") else None

    # The same probe without the crowd first: the baseline the loaded figures compare with.
    alone = sorted(filter(None, (probe() for _ in range(10))))
    for i in range(idle + slow):
        open_one(i >= idle)
    probes, failures = [], 0
    deadline = time.time() + seconds
    next_probe = next_byte = time.time()
    while time.time() < deadline:
        for key, _ in sel.select(timeout=0.05):
            try:
                data = key.fileobj.recv(4096)
            except OSError:
                data = b""
            if not data:  # let go by the server: come back as the same kind of client
                sel.unregister(key.fileobj)
                key.fileobj.close()
                open_one(key.data[0])
        now = time.time()
        if now >= next_byte:
            next_byte = now + 1
            for key in list(sel.get_map().values()):
                kind = key.data
                if kind[0] and kind[1] < len(slow_request) - 4:
                    try:
                        key.fileobj.send(slow_request[kind[1]:kind[1] + 1])
                        kind[1] += 1
                    except OSError:
                        pass
        if now >= next_probe:
            next_probe = now + 0.5
            took = probe()
            if took is None:
                failures += 1
            else:
                probes.append(took)
    held = len(sel.get_map())
    probes.sort()
    median = probes[len(probes) // 2] if probes else -1
    print("held=%d made=%d probes=%d probe_failures=%d probe_ms_median=%.1f probe_ms_max=%.1f "
          "alone_ms_median=%.1f" % (held, made, len(probes), failures, median,
                                    probes[-1] if probes else -1, alone[len(alone) // 2] if alone else -1))


def main():
    if sys.argv[1] == "hold":
        hold_main(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6]))
        return
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
