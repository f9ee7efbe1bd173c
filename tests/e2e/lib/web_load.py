#!/usr/bin/env python3
"""Load on the edge's web server: web_load.py ADDRESS PORT SECONDS IDLE SLOW

On one thread, holds IDLE silent connections and SLOW ones that sent all of a request but the
blank line that ends it, each coming back whenever the server lets it go; every half second
asks for GET / next to them, allowing a second. Prints the connections held at the end and the
failed requests.
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
sel = selectors.DefaultSelector()


def connect(is_slow):
    s = socket.create_connection((address, port))
    if is_slow:
        s.sendall(b"GET / HTTP/1.1\r\nHost: %s:%d\r\n" % (address.encode(), port))
    s.setblocking(False)
    sel.register(s, selectors.EVENT_READ, is_slow)


def fetch():
    try:
        return urllib.request.urlopen(f"http://{address}:{port}/", timeout=1).status == 200
    except OSError:
        return False


for i in range(idle + slow):
    connect(i >= idle)
failures = 0
deadline = time.time() + seconds
next_fetch = time.time()
while time.time() < deadline:
    for key, _ in sel.select(timeout=0.05):
        try:
            data = key.fileobj.recv(4096)
        except OSError:
            data = b""
        if not data:  # let go by the server: come back as the same kind of client
            sel.unregister(key.fileobj)
            key.fileobj.close()
            connect(key.data)
    if time.time() >= next_fetch:
        next_fetch = time.time() + 0.5
        failures += not fetch()
print("held=%d probe_failures=%d" % (len(sel.get_map()), failures))
