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
FIRST_WAIT_SECONDS = 30
SO_RCVBUFFORCE = 33  # Linux; not named by Python


def payload(number, size):
    start = number % 256
    return struct.pack("!Q", number) + PATTERN[start:start + size - 8]


def send(host, port, count, size, rate):
    # A connected socket: the kernel numbers its packets' IP identifications one by one,
    # as a real sender of a bulk flow would.
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.connect((host, port))
    start = time.monotonic()
    for number in range(count):
        delay = start + number / rate - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        sock.send(payload(number, size))


def receive(host, port, size, quiet):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    # Room for the whole burst, so that a slow receiver does not count as loss on the path.
    sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 32 << 20)
    sock.bind((host, port))
    sock.settimeout(FIRST_WAIT_SECONDS)
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
    mode, host, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if mode == "send":
        send(host, port, int(sys.argv[4]), int(sys.argv[5]), float(sys.argv[6]))
    else:
        receive(host, port, int(sys.argv[4]), float(sys.argv[5]))
