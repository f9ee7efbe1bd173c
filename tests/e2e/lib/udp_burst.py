#!/usr/bin/env python3
"""udp_burst.py send HOST COUNT: numbered 1000-byte datagrams of one flow, 1000 a second.
udp_burst.py receive HOST: prints "intact N damaged M" 3 s after the last (cut, joined, mixed or
repeated ones count as damaged)."""
import socket
import struct
import sys
import time

PORT, SIZE, RATE = 5300, 1000, 1000
PATTERN = bytes(range(256)) * 8
SO_RCVBUFFORCE = 33  # Linux; not named by Python


def payload(number):
    return struct.pack("!Q", number) + PATTERN[number % 256:number % 256 + SIZE - 8]


sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
if sys.argv[1] == "send":
    # Connected: the kernel numbers the IP identifications one by one, as a bulk sender's.
    sock.connect((sys.argv[2], PORT))
    start = time.monotonic()
    for number in range(int(sys.argv[3])):
        time.sleep(max(0.0, start + number / RATE - time.monotonic()))
        sock.send(payload(number))
    sys.exit()
# Room for the whole burst, so that a slow receiver does not count as loss on the path.
sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 32 << 20)
sock.bind((sys.argv[2], PORT))
sock.settimeout(30)  # for the first datagram
seen, damaged = set(), 0
try:
    while True:
        data = sock.recv(65536)
        sock.settimeout(3)
        number = struct.unpack("!Q", data[:8])[0] if len(data) >= 8 else -1
        if len(data) == SIZE and number not in seen and data == payload(number):
            seen.add(number)
        else:
            damaged += 1
except socket.timeout:
    pass
print(f"intact {len(seen)} damaged {damaged}")
