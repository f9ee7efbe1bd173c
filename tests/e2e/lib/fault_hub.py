#!/usr/bin/env python3
"""A misbehaving stand-in for the Hub, for fault-injection runs. Not a test by itself.

    fault_hub.py MODE ADDRESS PORT COUNT_FILE

Listens on ADDRESS:PORT (TCP only, so UDP probes go unanswered) and treats every connection
according to MODE until killed:

  stall     accept and hold the connection without reading or answering
  garbage   answer with random bytes; every other relay upgrade first gets a 101, so the
            garbage lands in the frame reader instead of the HTTP reader
  midframe  accept the relay upgrade, ping the edge, then close in the middle of a frame
  close     accept the relay upgrade, ping the edge, then send a close frame
  huge      answer every request with a chunked body of 300 MB, as long as the edge reads

Every relay upgrade that reached its fault appends one line to COUNT_FILE, so the caller can
wait until the edge has met the fault.
"""

import os
import socket
import sys
import threading
import time

SWITCHING = b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n"
UNAVAILABLE = b"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
PING = b"\x89\x04ping"
CLOSE = b"\x88\x02\x03\xe8"
# A binary frame that announces 1000 bytes and brings 100.
HALF_FRAME = b"\x82\x7e\x03\xe8" + b"\x45" * 100


def read_head(conn):
    data = b""
    conn.settimeout(5)
    try:
        while b"\r\n\r\n" not in data and len(data) < 65536:
            chunk = conn.recv(4096)
            if not chunk:
                break
            data += chunk
    except OSError:
        pass
    return data


def count(path):
    with open(path, "a") as f:
        f.write("x\n")


def serve(mode, conn, counter, serial, held):
    try:
        if mode == "stall":
            held.append(conn)  # keeps the socket open and unread until the process ends
            conn.settimeout(5)
            # A peek leaves the request unread in the socket, as a hung Hub would.
            if b"/api/relay/" in conn.recv(4096, socket.MSG_PEEK):
                count(counter)
            return
        head = read_head(conn)
        relay = b"/api/relay/" in head
        if mode == "huge":
            count(counter)
            conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
            chunk = b"10000\r\n" + b"{" * 0x10000 + b"\r\n"
            for _ in range(300 * 1000 * 1000 // 0x10000):
                conn.sendall(chunk)
            conn.sendall(b"0\r\n\r\n")
        elif mode == "garbage":
            if relay and serial % 2 == 1:
                conn.sendall(SWITCHING)
            conn.sendall(os.urandom(16384))
            if relay:
                count(counter)
        elif not relay:
            conn.sendall(UNAVAILABLE)
        else:
            conn.sendall(SWITCHING + PING)
            time.sleep(0.5)
            conn.sendall(HALF_FRAME if mode == "midframe" else CLOSE)
            count(counter)
            time.sleep(0.5)
    except OSError:
        pass
    finally:
        if mode != "stall":
            conn.close()


def main():
    mode, address, port, counter = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    if mode not in ("stall", "garbage", "midframe", "close", "huge"):
        sys.exit("unknown mode " + mode)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, port))
    listener.listen(64)
    held = []
    serial = 0
    while True:
        conn, _ = listener.accept()
        serial += 1
        threading.Thread(target=serve, args=(mode, conn, counter, serial, held), daemon=True).start()


if __name__ == "__main__":
    main()
