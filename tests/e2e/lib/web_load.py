#!/usr/bin/env python3
"""Load on the edge's web server: web_load.py ADDRESS PORT SECONDS IDLE SLOW

On one thread, holds IDLE silent connections and SLOW clients sending a request one byte a
second (each coming back whenever the server lets it go), and every half second times a normal
GET / next to them. Prints the connections held at the end, the failed probes and the slowest.
"""
import resource
import selectors
import socket
import sys
import time

address, port, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
idle, slow = int(sys.argv[4]), int(sys.argv[5])
resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
request = b"GET / HTTP/1.1\r\nHost: %s:%d\r\n" % (address.encode(), port)
sel = selectors.DefaultSelector()


def connect(is_slow):
    s = socket.socket()
    s.setblocking(False)
    s.connect_ex((address, port))
    sel.register(s, selectors.EVENT_READ, [is_slow, 0])  # slow?, bytes sent


def probe():
    start, reply = time.time(), b""
    try:
        with socket.create_connection((address, port), timeout=5) as c:
            c.sendall(request + b"\r\n")
            while chunk := c.recv(65536):
                reply += chunk
    except OSError:
        return None
    return (time.time() - start) * 1000 if reply.startswith(b"HTTP/1.1 200 ") else None


for i in range(idle + slow):
    connect(i >= idle)
slowest, failures = -1.0, 0
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
            connect(key.data[0])
    if time.time() >= next_byte:
        next_byte = time.time() + 1
        for key in list(sel.get_map().values()):
            kind = key.data
            if kind[0] and kind[1] < len(request):  # never the blank line that ends it
                try:
                    kind[1] += key.fileobj.send(request[kind[1]:kind[1] + 1])
                except OSError:
                    pass
    if time.time() >= next_probe:
        next_probe = time.time() + 0.5
        took = probe()
        failures += took is None
        slowest = max(slowest, took or -1.0)
print("held=%d probe_failures=%d probe_ms_max=%.1f" % (len(sel.get_map()), failures, slowest))
