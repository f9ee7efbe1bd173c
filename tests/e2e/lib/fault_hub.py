#!/usr/bin/env python3
"""fault_hub.py MODE ADDRESS PORT COUNT: a misbehaving Hub (TCP only) that appends a line to
COUNT for each relay upgrade that met MODE: garbage (random bytes, after a 101 every other
time), midframe or close (a ping, then a cut frame or a close frame), forge (packets to the LAN
from outside the overlay, to a network not shared, and a genuine one)."""
import itertools
import os
import socket
import struct
import sys
import threading
import time

SWITCHING = b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n"
UNAVAILABLE = b"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
PING = b"\x89\x04ping"
ENDINGS = {"close": b"\x88\x02\x03\xe8", "midframe": b"\x82\x7e\x03\xe8" + b"\x45" * 100}


def udp_frame(source, destination, payload):
    """An unmasked binary frame carrying an IPv4 UDP packet to port 9999 (no UDP checksum)."""
    udp = struct.pack("!4H", 40000, 9999, 8 + len(payload), 0) + payload
    ip = bytearray(struct.pack("!2B3H2BH4s4s", 0x45, 0, 20 + len(udp), 1, 0x4000, 0x40, 17, 0,
                               socket.inet_aton(source), socket.inet_aton(destination)))
    total = sum(struct.unpack("!10H", ip))
    total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    ip[10:12] = (~total & 0xFFFF).to_bytes(2, "big")
    return b"\x82" + bytes([len(ip) + len(udp)]) + bytes(ip) + udp


FORGED = b"".join([udp_frame("8.8.8.8", "192.168.50.10", b"forged"),
                   udp_frame("10.250.0.9", "172.31.0.10", b"outside"),
                   udp_frame("10.250.0.9", "192.168.50.10", b"genuine")])


def serve(mode, conn, counter, serial):
    met = lambda: open(counter, "a").write("x\n")
    try:
        conn.settimeout(5)
        head = b""
        while b"\r\n\r\n" not in head and len(head) < 65536 and (chunk := conn.recv(4096)):
            head += chunk
        relay = b"/api/relay/" in head
        if mode == "garbage":
            conn.sendall((SWITCHING if relay and serial % 2 else b"") + os.urandom(16384))
        elif not relay:
            conn.sendall(UNAVAILABLE)
        elif mode == "forge":
            conn.sendall(SWITCHING)
            for _ in range(5):
                conn.sendall(FORGED)
                time.sleep(0.2)
        else:
            conn.sendall(SWITCHING + PING)
            time.sleep(0.5)
            conn.sendall(ENDINGS[mode])
        if relay:
            met()
            time.sleep(1)
    except OSError:
        pass
    finally:
        conn.close()


def main(mode, address, port, counter):
    listener = socket.create_server((address, int(port)), backlog=64)
    for serial in itertools.count(1):
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(mode, conn, counter, serial), daemon=True).start()


if __name__ == "__main__":
    main(*sys.argv[1:])
