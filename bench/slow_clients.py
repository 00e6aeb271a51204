#!/usr/bin/env python3
"""Opens IDLE silent and TRICKLE header-trickling connections to 127.0.0.1:PORT, then times a
fresh GET /v2/ (no credentials) and reports the server's RSS (from /proc/PID).

Usage: slow_clients.py PORT IDLE TRICKLE SERVER_PID
"""
import resource
import socket
import sys
import time


def connect(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.connect(("127.0.0.1", port))
    return s


def fresh_get(port):
    t0 = time.monotonic()
    s = connect(port)
    s.sendall(b"GET /v2/ HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    reply = b""
    while True:
        b = s.recv(65536)
        if not b:
            break
        reply += b
    s.close()
    return (time.monotonic() - t0) * 1000, reply.split(b"\r\n", 1)[0].decode()


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS"):
                return int(line.split()[1]) / 1024
    return 0.0


def main():
    port, idle, trickle, pid = (int(a) for a in sys.argv[1:5])
    resource.setrlimit(resource.RLIMIT_NOFILE, (20000, 20000))
    base_ms, _ = fresh_get(port)
    idle_socks = [connect(port) for _ in range(idle)]
    trickling = []
    for _ in range(trickle):
        s = connect(port)
        s.sendall(b"GET /v2/ HTTP/1.1\r\nX-Slow: ")
        trickling.append(s)
    worst = 0.0
    status = ""
    for _ in range(5):  # a byte from every trickler, then a fresh client, five times
        for s in trickling:
            s.send(b"a")
        time.sleep(0.2)
        ms, status = fresh_get(port)
        worst = max(worst, ms)
    print(f"fresh GET /v2/ with {idle} idle and {trickle} trickling connections open: "
          f"worst of 5 {worst:.1f} ms ({status}); alone {base_ms:.1f} ms; "
          f"server RSS {rss_mib(pid):.1f} MiB")
    for s in idle_socks + trickling:
        s.close()


main()
