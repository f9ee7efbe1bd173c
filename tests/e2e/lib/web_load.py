#!/usr/bin/env python3
"""web_load.py ADDRESS PORT SECONDS IDLE SLOW: holds IDLE silent connections and SLOW ones that
never end their request, reopening any the server lets go, and asks for GET / every half second
(allowing a second). Prints the connections held at the end and the failed requests."""
import resource
import selectors
import socket
import sys
import time
import urllib.request

address, (port, seconds, idle, slow) = sys.argv[1], map(int, sys.argv[2:6])
resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
sel = selectors.DefaultSelector()


def connect(is_slow):
    s = socket.create_connection((address, port))
    if is_slow:
        s.sendall(b"GET / HTTP/1.1\r\nHost: %s:%d\r\n" % (address.encode(), port))
    s.setblocking(False)
    sel.register(s, selectors.EVENT_READ, is_slow)


for i in range(idle + slow):
    connect(i >= idle)
failures = 0
deadline = time.time() + seconds
next_fetch = time.time()
while time.time() < deadline:
    for key, _ in sel.select(timeout=0.05):  # an answer or a close: the server let it go
        sel.unregister(key.fileobj)
        key.fileobj.close()
        connect(key.data)
    if time.time() >= next_fetch:
        next_fetch = time.time() + 0.5
        try:
            failures += urllib.request.urlopen(f"http://{address}:{port}/", timeout=1).status != 200
        except OSError:
            failures += 1
print("held=%d probe_failures=%d" % (len(sel.get_map()), failures))
