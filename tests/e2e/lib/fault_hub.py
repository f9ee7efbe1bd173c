#!/usr/bin/env python3
"""A misbehaving stand-in for the Hub, for fault injection. Not a test by itself.

    fault_hub.py MODE ADDRESS PORT COUNT_FILE

Listens on ADDRESS:PORT (TCP only, so UDP probes go unanswered) and treats every connection
according to MODE until killed; every relay upgrade that reached its fault appends a line to
COUNT_FILE, so that the caller can wait until the edge has met it.

  stall     accept and hold the connection without reading or answering
  garbage   answer random bytes; every other relay upgrade gets a 101 first, so the garbage
            lands in the frame reader instead of the HTTP reader
  midframe  accept the relay upgrade, ping the edge, then close in the middle of a frame
  close     accept the relay upgrade, ping the edge, then send a close frame
  huge      answer every request with a chunked body of 300 MB, as long as the edge reads
  forge     accept the relay upgrade, then send UDP packets to port 9999 in the edge's LAN:
            "forged" from 8.8.8.8, "outside" to 172.31.0.10 (not shared), "genuine" from the
            overlay to 192.168.50.10
"""

import itertools
import os
import socket
import sys
import threading
import time

SWITCHING = b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n"
UNAVAILABLE = b"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
PING = b"\x89\x04ping"
CLOSE = b"\x88\x02\x03\xe8"
HALF_FRAME = b"\x82\x7e\x03\xe8" + b"\x45" * 100  # announces 1000 bytes, brings 100


def udp_frame(source, destination, payload):
    """One unmasked binary frame carrying an IPv4 UDP packet (no UDP checksum) to port 9999."""
    udp = (40000).to_bytes(2, "big") + (9999).to_bytes(2, "big") + (8 + len(payload)).to_bytes(2, "big")
    udp += b"\x00\x00" + payload
    ip = bytearray(b"\x45\x00" + (20 + len(udp)).to_bytes(2, "big") + b"\x00\x01\x40\x00\x40\x11\x00\x00")
    ip += socket.inet_aton(source) + socket.inet_aton(destination)
    total = sum((ip[i] << 8) + ip[i + 1] for i in range(0, 20, 2))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    ip[10:12] = (~total & 0xFFFF).to_bytes(2, "big")
    return b"\x82" + bytes([len(ip) + len(udp)]) + bytes(ip) + udp


FORGED = b"".join([udp_frame("8.8.8.8", "192.168.50.10", b"forged"),
                   udp_frame("10.250.0.9", "172.31.0.10", b"outside"),
                   udp_frame("10.250.0.9", "192.168.50.10", b"genuine")])


def serve(mode, conn, counter, serial, held):
    count = lambda: open(counter, "a").write("x\n")
    try:
        conn.settimeout(5)
        if mode == "stall":
            held.append(conn)  # keeps the socket open and unread until the process ends
            # A peek leaves the request unread in the socket, as a hung Hub would.
            if b"/api/relay/" in conn.recv(4096, socket.MSG_PEEK):
                count()
            return
        head = b""
        while b"\r\n\r\n" not in head and len(head) < 65536 and (chunk := conn.recv(4096)):
            head += chunk
        relay = b"/api/relay/" in head
        if mode == "huge":
            count()
            conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
            for _ in range(300 * 1000 * 1000 // 0x10000):
                conn.sendall(b"10000\r\n" + b"{" * 0x10000 + b"\r\n")
            conn.sendall(b"0\r\n\r\n")
        elif mode == "garbage":
            conn.sendall((SWITCHING if relay and serial % 2 else b"") + os.urandom(16384))
            if relay:
                count()
        elif not relay:
            conn.sendall(UNAVAILABLE)
        elif mode == "forge":
            conn.sendall(SWITCHING)
            for _ in range(5):
                conn.sendall(FORGED)
                time.sleep(0.2)
            count()
            time.sleep(1)
        else:
            conn.sendall(SWITCHING + PING)
            time.sleep(0.5)
            conn.sendall(HALF_FRAME if mode == "midframe" else CLOSE)
            count()
            time.sleep(0.5)
    except OSError:
        pass
    finally:
        if mode != "stall":
            conn.close()


def main():
    mode, address, port, counter = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    if mode not in ("stall", "garbage", "midframe", "close", "huge", "forge"):
        sys.exit("unknown mode " + mode)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, port))
    listener.listen(64)
    held = []
    for serial in itertools.count(1):
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(mode, conn, counter, serial, held), daemon=True).start()


if __name__ == "__main__":
    main()
