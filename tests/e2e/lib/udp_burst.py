#!/usr/bin/env python3
"""A paced burst of equal-sized UDP datagrams of one flow, and a receiver that counts how many
arrive intact. Each datagram carries its number and a pattern that depends on it, so a
datagram cut, joined, reordered into another's bytes or repeated is told apart from a good one.

  udp_burst.py send HOST PORT COUNT SIZE RATE      RATE datagrams a second, from one socket
  udp_burst.py receive HOST PORT SIZE QUIET        ends QUIET seconds after the last datagram
                                                   and prints "intact N damaged M"
"""
import socket
import struct
import sys
import time

PATTERN = bytes(range(256)) * 300
SO_RCVBUFFORCE = 33  # Linux; not named by Python


def payload(number, size):
    return struct.pack("!Q", number) + PATTERN[number % 256:number % 256 + size - 8]


def main(mode, host, port, *rest):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    if mode == "send":
        count, size, rate = int(rest[0]), int(rest[1]), float(rest[2])
        # A connected socket: the kernel numbers its packets' IP identifications one by one, as
        # a real sender of a bulk flow would.
        sock.connect((host, port))
        start = time.monotonic()
        for number in range(count):
            time.sleep(max(0.0, start + number / rate - time.monotonic()))
            sock.send(payload(number, size))
        return
    size, quiet = int(rest[0]), float(rest[1])
    # Room for the whole burst, so that a slow receiver does not count as loss on the path.
    sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 32 << 20)
    sock.bind((host, port))
    sock.settimeout(30)  # for the first datagram
    seen, damaged = set(), 0
    try:
        while True:
            data = sock.recv(65536)
            sock.settimeout(quiet)
            number = struct.unpack("!Q", data[:8])[0] if len(data) >= 8 else -1
            if len(data) == size and number not in seen and data == payload(number, size):
                seen.add(number)
            else:
                damaged += 1
    except socket.timeout:
        pass
    print(f"intact {len(seen)} damaged {damaged}")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]), *sys.argv[4:])
