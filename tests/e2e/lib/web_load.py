#!/usr/bin/env python3
"""Load on the edge's web server: web_load.py ADDRESS PORT SECONDS IDLE SLOW

On one thread, holds IDLE silent connections and SLOW clients sending a request one byte a
second (each coming back whenever the server lets it go), and every half second asks for GET /
next to them, allowing a second. Prints the connections held at the end and the failed probes.
"""
import resource
import selectors
import socket
import sys
import time
import urllib.request

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
    try:
        return urllib.request.urlopen(f"http://{address}:{port}/", timeout=1).status == 200
    except OSError:
        return False


for i in range(idle + slow):
    connect(i >= idle)
failures = 0
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
        failures += not probe()
print("held=%d probe_failures=%d" % (len(sel.get_map()), failures))
