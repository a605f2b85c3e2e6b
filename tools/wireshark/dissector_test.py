#!/usr/bin/env python3
"""Checks the sbcp2 dissector with tshark on captures of sessions against nyx-sim.
Captures on lo at 127.0.0.1:8899: as root in a private network namespace (tools/netns-run).
Exit status 0: passed, 1: a check failed, 77: skipped (no tshark, tcpdump or root)."""
import argparse
import contextlib
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

LUA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sbcp2.lua")
OP_CONNECT, OP_DISCONNECT, OP_SET_CONFIG, OP_CLEAR_SYSTEM_ERROR = 1, 2, 0x0110, 0x0111
failures = []
processes = []  # everything started, ended at exit whatever happened


def start(cmd, **kwargs):
    processes.append(subprocess.Popen(cmd, **kwargs))
    return processes[-1]


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL: " + what)
    return ok


def expect_equal(got, want, what):
    return check(got == want, f"{what}: got {got!r}, want {want!r}")


@contextlib.contextmanager
def capture_to(path):
    """tcpdump on lo for the manager's port while the with-block runs."""
    # Immediate mode: without it the last datagrams wait in the kernel's buffer and are lost.
    proc = start(["tcpdump", "-i", "lo", "-n", "-U", "--immediate-mode", "-w", path,
                  "udp port 8899"], stderr=subprocess.PIPE, text=True)
    next(line for line in proc.stderr if "listening on" in line)
    yield
    time.sleep(0.3)  # the last replies
    proc.send_signal(signal.SIGINT)
    proc.communicate(timeout=10)


def start_sim(path):  # ended with the other processes
    sim = start([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert "listening on" in sim.stdout.readline(), "nyx-sim did not start"
    return sim


class Client:  # a bare one, for datagrams nyxcli never sends

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.connect(("127.0.0.1", 8899))
        self.seq, self.received = 0, []

    def send(self, opcode, body=b""):
        self.seq += 1
        self.sock.send(struct.pack(">HHHHHH8s", 0x1400, 20 + len(body), self.seq, opcode, 0,
                                   self.sock.getsockname()[1], bytes(8)) + body)
        self.sock.settimeout(0.3)  # keeps what arrives until nothing has for a while
        try:
            while True:
                self.received.append(self.sock.recv(2048))
        except socket.timeout:
            pass


EXPERTS = ["short", "size", "malformed", "opcode", "status", "failed", "unmatched", "duplicate",
           "cut", "fault"]
CONFIG = ["channels", "interface.name", "interface.mac", "sample_rate", "sample_format", "latency",
          "want_to_run", "audio_interface", "asio_buffer_size", "asio_encoding", "asio_latency",
          "pullup"]


def value(text):
    try:
        return int(text, 0)
    except ValueError:
        return {"true": 1, "false": 0}.get(text.lower(), text)


# One dict per frame: field name -> value (a list when not one). Fails the test on any
# complaint or Lua error.
def tshark(capture, fields, display_filter="sbcp2"):
    fields = (["frame.number", "_ws.col.Info", "_ws.expert.message", "sbcp2.opcode", "sbcp2.status"]
              + ["sbcp2.expert." + e for e in EXPERTS] + ["sbcp2.config." + f for f in CONFIG]
              + fields)
    cmd = ["tshark", "-X", "lua_script:" + LUA, "-r", capture, "-2", "-T", "fields", "-Y",
           display_filter, "-E", "separator=\t", "-E", "occurrence=a", "-E", "aggregator=|"]
    run = subprocess.run(cmd + [a for f in fields for a in ("-e", f)], capture_output=True,
                         text=True, errors="replace")
    # Running as root earns a warning line; anything else on stderr is a complaint.
    complaints = [l for l in run.stderr.splitlines() if l.strip() and "Running as user" not in l]
    check(run.returncode == 0 and not complaints, f"tshark: exit {run.returncode}, {complaints}")
    rows = []
    for line in run.stdout.splitlines():
        row = {}
        for f, v in zip(fields, line.split("\t")):
            values = [value(x) for x in v.split("|")] if v else []
            row[f] = values[0] if len(values) == 1 else values
        row["notes"] = {e for e in EXPERTS if row["sbcp2.expert." + e]}
        row["config"] = {f: row["sbcp2.config." + f] for f in CONFIG}
        rows.append(row)
        check("Lua Error" not in str(row["_ws.col.Info"]) + str(row["_ws.expert.message"])
              and "fault" not in row["notes"], f"frame {row['frame.number']}: {row}")
    return rows


def session(args, capture):
    """nyxcli changes every setting: every opcode decodes without notes, every request has
    its reply, and each SET_CONFIG carries the configuration before it with one change."""
    steps = [
        ("channelcount=16", {"channels": 16}),
        ("interface=3C:22:FB:84:7E:12", {"interface.name": "WLAN-Gerät",
                                         "interface.mac": "3c:22:fb:84:7e:12"}),
        ("asiobuffersize=512", {"asio_buffer_size": 512}),
        ("asioencoding=32", {"asio_encoding": 32}),
        ("asiolatency=10", {"asio_latency": 10000}),
        ("corvolatency=5", {"latency": "5 ms"}),
        ("audio=wdm", {"audio_interface": 1}),
        ("start", {"want_to_run": 1}),
    ]
    with capture_to(capture):
        start_sim(args.sim)
        started = time.monotonic()
        cli = start([args.cli, "-version", "-interfaces", "-networkstatus"]
                    + ["-" + c for c, _ in steps] + ["-cleardomain"],
                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        out = b""  # until the prompt after the last argument
        while b"Input a command: " not in out and (chunk := os.read(cli.stdout.fileno(), 4096)):
            out += chunk
        time.sleep(max(0.0, started + 3.6 - time.monotonic()))  # one keepalive at least
        cli.send_signal(signal.SIGINT)  # a full stop, which says goodbye to the manager
        cli.stdin.close()
        check(cli.wait(timeout=10) == 0, "nyxcli ends with 0 on Ctrl+C")

    rows = tshark(capture, ["sbcp2.response_in", "sbcp2.response_to"])
    expect_equal(sorted({r["sbcp2.opcode"] for r in rows}),
                 [0, 1, 2, 0x100, 0x102, 0x103, 0x110, 0x113], "opcodes")
    for r in rows:
        check(not r["notes"], f"frame {r['frame.number']} has notes: {r['_ws.expert.message']}")
        check(r["sbcp2.response_in" if r["sbcp2.status"] == 0 else "sbcp2.response_to"] != []
              or r["sbcp2.status"] == 2, f"frame {r['frame.number']} is matched")

    expected = next(r for r in rows if r["sbcp2.opcode"] == 0x102)["config"]
    sets = [r for r in rows if r["sbcp2.opcode"] == OP_SET_CONFIG]
    expect_equal(len(sets), 2 * len(steps), "a SET_CONFIG and its reply per setting")
    for (command, change), request, reply in zip(steps, sets[::2], sets[1::2]):
        expected.update(change)
        expect_equal(request["config"], expected, "SET_CONFIG after " + command)
        expect_equal((reply["sbcp2.status"], reply["config"]), (1, expected), "reply to " + command)


# 8 channels on "Ethernet 2" (00:1d:c1:00:00:02) at 48 kHz, format 24, latency "1000 us", to
# run, ASIO with 128 samples of 24 bits and 2000 us, pull-up +0.1%. Written out by hand so that
# nothing here shares code with an encoder.
KNOWN_CONFIG = bytes.fromhex(
    "0008 0008 0012 004c 0018 0050 0001 0058 0002"  # root: 8 slots
    "0002 0018 0044"  # interface group: name at 24, MAC at 68
    + "".join("000000%02x" % ord(c) for c in "Ethernet 2") + "00000000"
    "001dc1000002"  # MAC
    "0000 0000bb80"  # pad, sample rate at 76
    + "1000 us".encode().hex() + "00"  # latency at 80
    "0004 0000 0064 0018 0068"  # ASIO group at 88: ASIO, buffer at 100, 24 bits, latency at 104
    "0000 00000080"  # pad, buffer size at 100
    "000007d0")  # ASIO latency at 104
KNOWN_VALUES = {
    "channels": 8, "interface.name": "Ethernet 2", "interface.mac": "00:1d:c1:00:00:02",
    "sample_rate": 48000, "sample_format": 24, "latency": "1000 us", "want_to_run": 1,
    "audio_interface": 0, "asio_buffer_size": 128, "asio_encoding": 24, "asio_latency": 2000,
    "pullup": 2,
}


def known_config(args, capture):
    """The 108-byte body decodes to its values; the refusal (the MAC is not offered) is the
    one frame with a note and still shows the manager's state."""
    with capture_to(capture):
        start_sim(args.sim)
        client = Client()
        for opcode, body in ((OP_CONNECT, struct.pack(">HH", 1, 3)), (OP_SET_CONFIG, KNOWN_CONFIG),
                             (OP_CLEAR_SYSTEM_ERROR, b""), (OP_DISCONNECT, b"")):
            client.send(opcode, body)
    rows = tshark(capture, ["sbcp2.size"])
    expect_equal([r["notes"] for r in rows if r["notes"]], [{"failed"}], "notes")
    rows = [r for r in rows if r["sbcp2.opcode"] == OP_SET_CONFIG]
    if not expect_equal([r["sbcp2.status"] for r in rows], [0, 0x0101], "SET_CONFIG, refused"):
        return
    expect_equal((rows[0]["sbcp2.size"], rows[0]["config"]), (128, KNOWN_VALUES), "the body")
    expect_equal(rows[1]["config"]["channels"], 8, "the manager's state in the refusal")


def write_pcap(path, datagrams):  # from 127.0.0.1:8899 to a client, one per frame
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 228))  # raw IPv4
        for n, payload in enumerate(datagrams):
            udp = struct.pack(">HHHH", 8899, 40000, 8 + len(payload), 0) + payload
            ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), n, 0, 64, 17, 0,
                             bytes([127, 0, 0, 1]), bytes([127, 0, 0, 1])) + udp
            f.write(struct.pack("<IIII", 1700000000 + n, 0, len(ip), len(ip)) + ip)


# Every truncation of each datagram (size field kept honest, or no header at all), and random
# corruption of its body: slot values and counts pointing anywhere.
def mutations(datagrams, rng):
    for d in datagrams:
        yield from (d[:n] for n in range(1, 20))
        yield from (d[:2] + struct.pack(">H", n) + d[4:n] for n in range(20, len(d)))
        for _ in range(150):
            m = bytearray(d)
            for _ in range(rng.randint(1, 4)):
                at = rng.randrange(20, len(m) - 1) & ~1
                m[at:at + 2] = struct.pack(">H", rng.choice([0, 1, 0xffff, rng.randrange(
                    0, len(m) + 8), rng.randrange(0x10000)]))
            yield bytes(m)


def malformed(args, capture):
    """Each garble fault earns its expert note; mutated datagrams never raise a Lua error."""
    with capture_to(capture):
        sim = start_sim(args.sim)
        client = Client()
        client.send(OP_CONNECT, struct.pack(">HH", 1, 3))
        modes = ("size", "truncate", "opcode", "off")
        sim.stdin.write("".join(f"garble {mode}\npush all\n" for mode in modes))
        sim.stdin.flush()
        for _ in range(2 * len(modes)):  # carried out
            sim.stdout.readline()
    rows = tshark(capture, [], "sbcp2.status == 2")  # the events: 3 at connect, 3 per mode
    want = [(e ^ (0x4000 if n == {"opcode"} else 0), n) for n in
            [set(), {"size"}, {"malformed"}, {"opcode"}, set()] for e in (0x100, 0x102, 0x103)]
    expect_equal([(r["sbcp2.opcode"], r["notes"]) for r in rows], want, "garbled events")

    # Everything the simulator sent, mangled.
    seeds = [d for d in client.received if len(d) > 20][:4]
    check(len(seeds) == 4, "the connect reply and three events to mangle")
    hostile = os.path.join(os.path.dirname(capture), "mutated.pcap")
    write_pcap(hostile, seeds + list(mutations(seeds, random.Random(19))))
    rows = tshark(hostile, [], "udp")
    check(all(r["sbcp2.opcode"] != [] or r["notes"] == {"short"} for r in rows),
          "every datagram dissected")
    bad = sum(1 for r in rows if "malformed" in r["notes"])
    check(bad > len(rows) // 4, f"{bad} of {len(rows)} mutated datagrams marked malformed")
    expect_equal([r["notes"] - {"unmatched"} for r in rows[:4]], [set()] * 4, "seeds' notes")


CASES = {"session": session, "known-config": known_config, "malformed": malformed}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--cli", required=True)
    parser.add_argument("case", choices=sorted(CASES))
    args = parser.parse_args()
    if not (shutil.which("tshark") and shutil.which("tcpdump") and os.geteuid() == 0):
        print("skipped: needs tshark, tcpdump (tools/install-deps.sh) and root")
        return 77
    with tempfile.TemporaryDirectory() as tmp:
        try:
            CASES[args.case](args, os.path.join(tmp, args.case + ".pcap"))
        finally:
            for proc in processes:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
    print(f"{args.case}: {len(failures)} failed checks")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
