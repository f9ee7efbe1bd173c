#!/usr/bin/env python3
"""Load on the edge's web server, for the web scenario. Not a test by itself.

    web_load.py ADDRESS PORT SECONDS IDLE SLOW

On one thread, holds IDLE silent connections and SLOW clients that send a request one byte a
second (each coming back whenever the server lets it go), and every half second times a
normal GET / next to them. Prints the connections held at the end, how many were made, the
probes, their failures and their largest time in ms.
"""

import resource
import selectors
import socket
import sys
import time


def probe(address, port, host):
    start = time.time()
    reply = b""
    try:
        with socket.create_connection((address, port), timeout=5) as c:
            c.sendall(b"GET / HTTP/1.1\r\n" + host + b"\r\n")
            while chunk := c.recv(65536):
                reply += chunk
    except OSError:
        return None
    return (time.time() - start) * 1000 if reply.startswith(b"HTTP/1.1 200 ") else None


def main(address, port, seconds, idle, slow):
    resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
    host = b"Host: %s:%d\r\n" % (address.encode(), port)
    slow_request = b"GET / HTTP/1.1\r\n" + host + b"X-Pad: " + b"p" * 40 + b"\r\n\r\n"
    sel = selectors.DefaultSelector()
    made = 0

    def open_one(is_slow):
        nonlocal made
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex((address, port))
        sel.register(s, selectors.EVENT_READ, [is_slow, 0])  # slow?, bytes sent
        made += 1

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
            took = probe(address, port, host)
            failures += took is None
            probes += [took] if took is not None else []
    print("held=%d made=%d probes=%d probe_failures=%d probe_ms_max=%.1f" %
          (len(sel.get_map()), made, len(probes), failures, max(probes, default=-1)))


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]))
