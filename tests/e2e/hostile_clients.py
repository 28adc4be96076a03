#!/usr/bin/env python3
"""Hostile clients against the real engine, each case on a fresh engine:

  flood     many clients connecting at once, each pipelining many commands
  drippers  many slow connections sending a byte a second, while a
            bystander is served
  nuls      a run of NUL bytes, each a one-byte command
  silent    clients that send and never read their replies

For each: every command the engine took is answered exactly once and in
order (a connection refused at the door or dropped for its unread replies
gets nothing more, and the engine logs why), the engine's memory stays
bounded, and a bystander is answered within a few queue ticks afterwards.

Usage: hostile_clients.py path/to/kiv [--quick] [--case NAME]
--quick runs every case small enough for the test suite; without it the
sizes are those of the review (500 x 1,000 commands, 1,000 drippers,
0.25 MB of NULs, 5 silent clients).
"""
import argparse
import os
import re
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import time

TICK = 0.040
VERSION = b"4.2"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Engine:
    """The real engine in a temporary program folder, its log echoed to a file."""

    def __init__(self, binary, compatible=VERSION):
        self.version = compatible
        self.clients = []
        self.dir = tempfile.mkdtemp(prefix="kiv-hostile-")
        self.port = free_port()
        exe = os.path.join(self.dir, "kiv")
        shutil.copy(binary, exe)
        with open(os.path.join(self.dir, "kiv.ini"), "wb") as ini:
            ini.write(b"[General]\r\nVersion=1\r\nOnAirOnStartup=0\r\nDisableGui=1\r\nOnAirMonitor=0\r\n"
                      b"HideConsoleOnStartup=1\r\nListeningPort=%d\r\nCompatible=%s\r\n" % (self.port, compatible))
        runtime = os.path.join(self.dir, "xdg")
        os.mkdir(runtime, 0o700)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", KIV_CONSOLE_STDOUT="1", XDG_RUNTIME_DIR=runtime)
        self.log_path = os.path.join(self.dir, "log.txt")
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen([exe], env=env, stdout=log, stderr=subprocess.STDOUT, cwd="/")
        deadline = time.monotonic() + 30
        while b"Entering Main Loop..." not in self.log():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("engine did not start:\n" + self.log().decode("latin-1"))
            time.sleep(0.05)
        self.base_kib = self.memory()["VmRSS"]

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read()

    def memory(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            fields = dict(line.split(":", 1) for line in f if ":" in line)
        return {k: int(fields[k].split()[0]) for k in ("VmRSS", "VmHWM")}

    def stop(self):
        for c in self.clients:
            c.sock.close()
        self.proc.kill()
        self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class Client:
    def __init__(self, engine, payload=b"", expected=b""):
        engine.clients.append(self)
        self.sock = socket.socket()
        self.sock.setblocking(False)
        self.sock.connect_ex(("127.0.0.1", engine.port))
        self.out = memoryview(payload)
        self.expected = expected
        self.received = bytearray()
        self.closed = False

    def done(self):
        return self.closed or len(self.received) >= len(self.expected)


def pump(clients, timeout, read=True):
    """Sends what each client has to send and (if `read`) takes in its replies,
    until every client is done or the time is up."""
    sel = selectors.DefaultSelector()
    for c in clients:
        events = (selectors.EVENT_READ if read else 0) | (selectors.EVENT_WRITE if len(c.out) else 0)
        if events:
            sel.register(c.sock, events, c)
    deadline = time.monotonic() + timeout
    while sel.get_map() and time.monotonic() < deadline:
        for key, events in sel.select(0.5):
            c = key.data
            try:
                if events & selectors.EVENT_WRITE:
                    c.out = c.out[c.sock.send(c.out):]
                    if not len(c.out):
                        if read:
                            sel.modify(c.sock, selectors.EVENT_READ, c)
                        else:
                            sel.unregister(c.sock)
                            continue
                if events & selectors.EVENT_READ:
                    data = c.sock.recv(1 << 20)
                    c.received += data
                    c.closed = not data
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                c.closed = True
            if c.closed or (c.done() and not len(c.out)):
                sel.unregister(c.sock)
    sel.close()


def ask(s, engine):
    """Seconds until VERSION is answered on the connection `s`."""
    start = time.monotonic()
    s.sendall(b"VERSION\r\n")
    reply = b""
    while not reply.endswith(b"\r\n"):
        data = s.recv(4096)
        if not data:
            break
        reply += data
    assert reply == b"Version: " + engine.version + b"\r\n", reply[:200]
    return time.monotonic() - start


def bystander(engine):
    """Seconds until a new client's VERSION is answered (its connection made)."""
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", engine.port), timeout=30) as s:
        ask(s, engine)
    return time.monotonic() - start


def refusals(log):
    """Connections the engine logged as refused at the door."""
    first = log.count(b"requests are waiting to be accepted.")
    more = sum(int(n) for n in re.findall(rb"Refused (\d+) more connection requests", log))
    return first + more


def case_flood(engine, clients, commands):
    conns = []
    for i in range(clients):
        payload = b"".join(b"%d.%d VERSION\r\n" % (i, k) for k in range(commands))
        expected = b"".join(b"%d.%d Version: %s\r\n" % (i, k, VERSION) for k in range(commands))
        conns.append(Client(engine, payload, expected))
    pump(conns, timeout=60 + clients * 0.1 + clients * commands / 2000)
    served = sum(c.received == c.expected for c in conns)
    refused = [c for c in conns if c.closed and not c.received]
    wrong = [c for c in conns if c.received != c.expected and not (c.closed and not c.received)]
    assert not wrong, "%d clients got wrong or missing replies" % len(wrong)
    logged = refusals(engine.log())
    assert logged == len(refused), "refused %d, logged %d" % (len(refused), logged)
    return "%d clients x %d commands: %d served in full and in order, %d refused at the door (logged); " \
           "bystander answered in %.0f ms" % (clients, commands, served, len(refused), bystander(engine) * 1000)


def case_drippers(engine, count, interval):
    conns = []
    # Paced below the 20 accepts a second the engine's pause before each
    # accept allows, so that nobody is refused at the door.
    for i in range(count):
        conns.append(Client(engine, expected=b"Version: %s\r\n" % VERSION))
        time.sleep(0.045)
    normal = socket.create_connection(("127.0.0.1", engine.port), timeout=30)
    deadline = time.monotonic() + 60
    while engine.log().count(b"Creating new session") < count + 1 and time.monotonic() < deadline:
        time.sleep(0.1)
    latencies = []
    start = time.monotonic()
    for i, byte in enumerate(b"VERSION\r\n"):
        for c in conns:
            c.sock.send(bytes([byte]))
        while time.monotonic() < start + (i + 1) * interval:
            latencies.append(ask(normal, engine))
            time.sleep(0.02)
    normal.close()
    pump(conns, timeout=10)
    answered = sum(c.received == c.expected for c in conns)
    assert answered == count, "%d of %d drippers answered: %r" % (answered, count, conns[0].received[:100])
    worst = max(latencies)
    assert worst < 5 * TICK, "the normal client waited %.0f ms" % (worst * 1000)
    return "%d drippers, a byte every %.1f s: each answered once; a normal client over %d requests: " \
           "median %.0f ms, worst %.0f ms" % (count, interval, len(latencies),
                                              sorted(latencies)[len(latencies) // 2] * 1000, worst * 1000)


def case_nuls(engine, size):
    c = Client(engine, b"\0" * size, b"Error: Unknown command\0" * size)
    pump([c], timeout=60 + size / 5000)
    assert c.received == c.expected, "%d of %d replies" % (c.received.count(b"\0"), size)
    return "%d NUL bytes: %d replies, each once and in order; bystander answered in %.0f ms" % (
        size, size, bystander(engine) * 1000)


def case_silent(engine, count, commands):
    conns = [Client(engine, b"VERSION\r\n" * commands) for _ in range(count)]
    pump(conns, timeout=120, read=False)
    deadline = time.monotonic() + 120
    log = engine.log()
    while log.count(b"Socket Error 10055") < count and time.monotonic() < deadline:
        time.sleep(0.5)
        log = engine.log()
    dropped = log.count(b"Socket Error 10055")
    assert dropped == count, "%d of %d silent clients dropped" % (dropped, count)
    return "%d clients sending %d commands each and never reading: each dropped for its unread replies " \
           "(%d of them beyond the overall cap); bystander answered in %.0f ms" % (
               count, commands, log.count(b"unread by all peers"), bystander(engine) * 1000)


def run(binary, case, *args, compatible=VERSION):
    engine = Engine(binary, compatible)
    try:
        result = case(engine, *args)
        return "%s; engine memory peak %d MiB (at start %d MiB; log kept in memory %d MiB)" % (
            result, engine.memory()["VmHWM"] >> 10, engine.base_kib >> 10, len(engine.log()) >> 20)
    finally:
        engine.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--case", choices=["flood", "drippers", "nuls", "silent"])
    args = parser.parse_args()
    q = args.quick
    cases = {
        "flood": lambda: run(args.binary, case_flood, 40 if q else 500, 300 if q else 1000),
        "drippers": lambda: run(args.binary, case_drippers, 40 if q else 1000, 0.2 if q else 1.0),
        "nuls": lambda: run(args.binary, case_nuls, 1 << (16 if q else 18)),
        # Long replies fill the engine's send buffers quickly.
        "silent": lambda: run(args.binary, case_silent, 2 if q else 5, 40000, compatible=b"v" * 700),
    }
    failed = False
    for name, case in cases.items():
        if args.case and name != args.case:
            continue
        try:
            print("%-9s %s" % (name, case()), flush=True)
        except AssertionError as e:
            print("%-9s FAILED: %s" % (name, e), flush=True)
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
