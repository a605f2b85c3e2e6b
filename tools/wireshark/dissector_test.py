#!/usr/bin/env python3
"""Checks the sbcp2 dissector with tshark on captures of real sessions against nyx-sim.

    dissector_test.py --sim build/sim/nyx-sim --cli build/cli/nyxcli CASE [--keep DIR]

CASE is one of:
  session       nyxcli connects, reads, changes every setting, clears the domain and leaves
  known-config  a hand-written SET_CONFIG body of 108 bytes and a CLEAR_SYSTEM_ERROR
  malformed     the simulator's garble faults, and mutated copies of real datagrams

It binds 127.0.0.1:8899 and captures on lo, so it runs as root in a private network namespace
(tools/netns-run). Exit status 0 when every check passes, 1 when one fails, 77 (skipped)
without tshark, tcpdump or root. --keep DIR leaves the captures there; --lua FILE checks
another dissector.
"""
import argparse
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

lua = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sbcp2.lua")
MANAGER = ("127.0.0.1", 8899)
VERSION = 0x1400
OP_CONNECT, OP_DISCONNECT = 1, 2
OP_OPTIONS, OP_STATE, OP_NAME = 0x0100, 0x0102, 0x0103
OP_SET_CONFIG, OP_CLEAR_SYSTEM_ERROR = 0x0110, 0x0111

failures = []
processes = []  # everything started, ended at exit whatever happened


def start(cmd, **kwargs):
    proc = subprocess.Popen(cmd, **kwargs)
    processes.append(proc)
    return proc


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL: " + what)
    return ok


def expect_equal(got, want, what):
    return check(got == want, f"{what}: got {got!r}, want {want!r}")


# Processes ---------------------------------------------------------------------------------


class Capture:
    """tcpdump on lo for the manager's port, running while the with-block runs."""

    def __init__(self, path):
        self.path = path

    def __enter__(self):
        # Immediate mode: without it the last datagrams wait in the kernel's buffer and are lost.
        self.proc = start(["tcpdump", "-i", "lo", "-n", "-U", "--immediate-mode", "-w",
                           self.path, "udp port 8899"], stderr=subprocess.PIPE, text=True)
        for line in self.proc.stderr:  # it says so once packets are being captured
            if "listening on" in line:
                return self
        raise RuntimeError("tcpdump did not start")

    def __exit__(self, *exc):
        time.sleep(0.3)  # the last replies
        self.proc.send_signal(signal.SIGINT)
        self.proc.communicate(timeout=10)


class Sim:
    """nyx-sim on 127.0.0.1:8899, driven through its control commands."""

    def __init__(self, path):
        self.proc = start([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if "listening on" not in self.proc.stdout.readline():
            raise RuntimeError("nyx-sim did not start")

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().strip()

    def close(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=10)


def sim_state(sim_path):
    """The simulator's built-in state, as its key = value lines."""
    out = subprocess.run([sim_path, "--print-state"], capture_output=True, text=True,
                         check=True).stdout
    return dict(line.split(" = ", 1) for line in out.splitlines() if " = " in line)


class Client:
    """A bare sbcp2 client, for datagrams nyxcli never sends."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.connect(MANAGER)
        self.port = self.sock.getsockname()[1]
        self.seq = 0
        self.received = []

    def send(self, opcode, body=b""):
        self.seq += 1
        self.sock.send(struct.pack(">HHHHHH8s", VERSION, 20 + len(body), self.seq, opcode, 0,
                                   self.port, bytes(8)) + body)

    def drain(self, quiet=0.3):
        """Keeps what arrives until nothing has for `quiet` seconds."""
        self.sock.settimeout(quiet)
        try:
            while True:
                self.received.append(self.sock.recv(2048))
        except socket.timeout:
            pass

    def connect(self):
        self.send(OP_CONNECT, struct.pack(">HH", 1, 3))  # one slot: the connect value 3
        self.drain()


# tshark ------------------------------------------------------------------------------------

EXPERTS = ["short", "size", "malformed", "opcode", "status", "failed", "unmatched", "duplicate",
           "cut", "fault"]
ALWAYS = ["frame.number", "_ws.col.Info", "_ws.expert.message", "sbcp2.opcode"] + [
    "sbcp2.expert." + e for e in EXPERTS]


def tshark(capture, fields, display_filter=None):
    """One dict per frame: field name -> list of values. Fails the test on any Lua error."""
    fields = ALWAYS + [f for f in fields if f not in ALWAYS]
    cmd = ["tshark", "-X", "lua_script:" + lua, "-r", capture, "-2", "-T", "fields",
           "-E", "separator=\t", "-E", "occurrence=a", "-E", "aggregator=|"]
    if display_filter:
        cmd += ["-Y", display_filter]
    for f in fields:
        cmd += ["-e", f]
    run = subprocess.run(cmd, capture_output=True, text=True)
    name = os.path.basename(capture)
    # Running as root earns a warning line; anything else on stderr is a complaint.
    complaints = [l for l in run.stderr.splitlines() if l.strip() and "Running as user" not in l]
    check(run.returncode == 0 and not complaints,
          f"tshark on {name}: exit {run.returncode}, stderr {complaints}")
    rows = []
    for line in run.stdout.splitlines():
        values = line.split("\t")
        row = {f: (v.split("|") if v else []) for f, v in zip(fields, values)}
        rows.append(row)
        text = " ".join(row["_ws.col.Info"] + row["_ws.expert.message"])
        check("Lua Error" not in text and "fault" not in notes(row),
              f"{name} frame {one(row, 'frame.number')}: {text}")
    return rows


def notes(row):
    """The dissector's expert notes on a frame, by name."""
    return {e for e in EXPERTS if row.get("sbcp2.expert." + e)}


def one(row, field, convert=str):
    values = row.get(field, [])
    return convert(values[0]) if len(values) == 1 else None


def number(text):
    return int(text, 0)


def flag(text):
    return int(text in ("1", "True", "TRUE"))


CONFIG_FIELDS = {
    "sbcp2.config.channels": number,
    "sbcp2.config.interface.name": str,
    "sbcp2.config.interface.mac": str,
    "sbcp2.config.sample_rate": number,
    "sbcp2.config.sample_format": number,
    "sbcp2.config.latency": str,
    "sbcp2.config.want_to_run": flag,
    "sbcp2.config.audio_interface": number,
    "sbcp2.config.asio_buffer_size": number,
    "sbcp2.config.asio_encoding": number,
    "sbcp2.config.asio_latency": number,
    "sbcp2.config.pullup": number,
}


# The lists of the options event: the simulator's state key, which is also the list's count
# field, and the entry fields ("A @ B" in the state for two).
OPTION_LISTS = [
    ("channel_counts", ["channel_count"]),
    ("interfaces", ["interface.name", "interface.mac"]),
    ("sample_rates", ["sample_rate.rate", "sample_rate.max_channels"]),
    ("sample_formats", ["sample_format"]),
    ("latencies", ["latency.name", "latency.us"]),
    ("asio_buffer_sizes", ["asio_buffer_size"]),
    ("asio_encodings", ["asio_encoding"]),
    ("asio_latencies", ["asio_latency"]),
]


def config_of(row):
    return {f.split(".", 2)[2]: one(row, f, c) for f, c in CONFIG_FIELDS.items()}


def is_request(row):
    return one(row, "sbcp2.status", number) == 0


# Cases ---------------------------------------------------------------------------------------


def session(args, capture):
    """nyxcli against the simulator: every opcode it uses decodes, and each SET_CONFIG carries
    the configuration before it with just the one setting changed to what was asked."""
    state = sim_state(args.sim)
    wlan = next(i.split(" @ ") for i in state["interfaces"].split(", ") if "WLAN" in i)
    steps = [
        ("channelcount=16", {"channels": 16}),
        ("interface=" + wlan[1].upper(), {"interface.name": wlan[0], "interface.mac": wlan[1]}),
        ("asiobuffersize=512", {"asio_buffer_size": 512}),
        ("asioencoding=32", {"asio_encoding": 32}),
        ("asiolatency=10", {"asio_latency": 10000}),
        ("corvolatency=5", {"latency": "5 ms"}),
        ("audio=wdm", {"audio_interface": 1}),
        ("start", {"want_to_run": 1}),
    ]
    with Capture(capture):
        sim = Sim(args.sim)
        started = time.monotonic()
        commands = ["-version", "-interfaces", "-channelcounts", "-networkstatus"]
        commands += ["-" + command for command, _ in steps] + ["-cleardomain"]
        cli = start([args.cli] + commands, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                    stderr=subprocess.STDOUT)
        out = b""
        while b"Input a command: " not in out:  # the prompt after the last argument
            chunk = os.read(cli.stdout.fileno(), 4096)
            if not chunk:
                break
            out += chunk
        time.sleep(max(0.0, started + 3.6 - time.monotonic()))  # one keepalive at least
        cli.send_signal(signal.SIGINT)  # a full stop, which says goodbye to the manager
        cli.stdin.close()
        out += cli.stdout.read()
        check(cli.wait(timeout=10) == 0, "nyxcli ends with 0 on Ctrl+C")
        sim.close()
    check(b"REQUEST_COMPLETED" in out, "nyxcli saw its requests completed")

    server = ["major", "minor", "patch", "build", "text"]
    options = [f"sbcp2.options.{f}" for key, entry in OPTION_LISTS for f in [key] + entry]
    rows = tshark(capture, ["sbcp2.status", "sbcp2.seq", "sbcp2.response_in",
                            "sbcp2.response_to", "sbcp2.time", "sbcp2.name",
                            "sbcp2.state.device_name", "sbcp2.state.ip_address",
                            "sbcp2.state.link_speed", "sbcp2.state.system_error"]
                  + ["sbcp2.server." + f for f in server]
                  + options + list(CONFIG_FIELDS))
    check(len(rows) > 20, f"a session of {len(rows)} datagrams")

    # Every datagram is a known message, every request is answered and every reply matched.
    opcodes = {one(r, "sbcp2.opcode", number) for r in rows}
    expect_equal(sorted(opcodes), [0, 1, 2, 0x100, 0x102, 0x103, 0x110, 0x113], "opcodes")
    for r in rows:
        frame = r["frame.number"]
        check(not r["_ws.expert.message"], f"frame {frame} has expert notes: "
              f"{r['_ws.expert.message']}")
        if is_request(r):
            check(r["sbcp2.response_in"], f"request in frame {frame} has its reply")
        elif one(r, "sbcp2.status", number) == 1:
            check(r["sbcp2.response_to"] and one(r, "sbcp2.time", float) is not None,
                  f"reply in frame {frame} names its request and the response time")
    for r in rows:
        if r["sbcp2.response_in"]:
            reply = rows[int(r["sbcp2.response_in"][0]) - int(rows[0]["frame.number"][0])]
            expect_equal((one(reply, "sbcp2.seq"), one(reply, "sbcp2.opcode", number)),
                         (one(r, "sbcp2.seq"), one(r, "sbcp2.opcode", number)),
                         f"reply to frame {r['frame.number'][0]}")

    # The manager's records, as the simulator holds them.
    def first(opcode):
        return next(r for r in rows if one(r, "sbcp2.opcode", number) == opcode and
                    not is_request(r))

    version = first(OP_CONNECT)
    expect_equal(".".join(one(version, "sbcp2.server." + f) for f in server[:4]),
                 state["version"], "server version")
    expect_equal(one(version, "sbcp2.server.text"), state["version_text"], "version text")
    expect_equal(one(first(OP_NAME), "sbcp2.name"), state["name"], "name event")
    ev = first(OP_STATE)
    expect_equal([one(ev, "sbcp2.state." + f) for f in ("device_name", "ip_address",
                                                        "link_speed")],
                 [state["device_name"], state["ip_address"], state["link_speed"]], "state")
    expect_equal(one(ev, "sbcp2.state.system_error", number), int(state["system_error"], 0),
                 "system error")
    o = first(OP_OPTIONS)
    for key, entry in OPTION_LISTS:
        want = [tuple(e.split(" @ ")) for e in state[key].split(", ")]
        expect_equal(list(zip(*(o["sbcp2.options." + f] for f in entry))), want, key)
        expect_equal(one(o, "sbcp2.options." + key, int), len(want), key + " count")

    # The configuration, step by step.
    expected = config_of(ev)
    expect_equal(expected["channels"], int(state["channels"]), "channels at the start")
    requests = [r for r in rows if one(r, "sbcp2.opcode", number) == OP_SET_CONFIG]
    sent = [r for r in requests if is_request(r)]
    replies = [r for r in requests if not is_request(r)]
    expect_equal(len(sent), len(steps), "one SET_CONFIG per setting")
    expect_equal(len(replies), len(steps), "one SET_CONFIG reply per setting")
    for (command, change), request, reply in zip(steps, sent, replies):
        expected.update(change)
        expect_equal(config_of(request), expected, "SET_CONFIG after " + command)
        expect_equal(one(reply, "sbcp2.status", number), 1, "status of the reply to " + command)
        expect_equal(config_of(reply), expected, "state in the reply to " + command)
    if replies:
        expect_equal(one(replies[-1], "sbcp2.state.system_error", number), 0x0001,
                     "running after start")


# The configuration body of 108 bytes: 8 channels on "Ethernet 2" (00:1d:c1:00:00:02) at
# 48 kHz, format 24, latency "1000 us", to run, ASIO with 128 samples of 24 bits and 2000 us,
# pull-up +0.1%. Written out by hand so that nothing here shares code with an encoder.
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
    """The 108-byte body decodes to its values; its reply (refused: the MAC is not offered)
    still shows the manager's state, as does the reply to CLEAR_SYSTEM_ERROR."""
    assert len(KNOWN_CONFIG) == 108
    state = sim_state(args.sim)
    with Capture(capture):
        sim = Sim(args.sim)
        client = Client()
        client.connect()
        client.send(OP_SET_CONFIG, KNOWN_CONFIG)
        client.drain()
        client.send(OP_CLEAR_SYSTEM_ERROR)
        client.drain()
        client.send(OP_DISCONNECT)
        client.drain()
        sim.close()
    rows = tshark(capture, ["sbcp2.size", "sbcp2.status", "sbcp2.response_to",
                            "sbcp2.state.device_name"] + list(CONFIG_FIELDS))
    request = [r for r in rows if is_request(r) and one(r, "sbcp2.opcode", number) == 0x110]
    if not check(len(request) == 1, f"one SET_CONFIG request, got {len(request)}"):
        return
    request = request[0]
    expect_equal(one(request, "sbcp2.size", int), 20 + 108, "size of the SET_CONFIG")
    expect_equal(config_of(request), KNOWN_VALUES, "the 108-byte configuration body")

    replies = {one(r, "sbcp2.opcode", number): r for r in rows if not is_request(r)}
    reply = replies.get(OP_SET_CONFIG, {})
    expect_equal(one(reply, "sbcp2.status", number), 0x0101, "SET_CONFIG refused")
    expect_equal(reply.get("sbcp2.response_to"), request["frame.number"], "matched")
    expect_equal(notes(reply), {"failed"}, "the refusal's expert note")
    expect_equal([r["frame.number"] for r in rows if notes(r)], [reply.get("frame.number")],
                 "frames with notes")
    for opcode, r in ((OP_SET_CONFIG, reply), (OP_CLEAR_SYSTEM_ERROR, replies.get(0x111, {}))):
        expect_equal((one(r, "sbcp2.config.channels"), one(r, "sbcp2.state.device_name")),
                     (state["channels"], state["device_name"]), f"state in reply {opcode:#x}")


def write_pcap(path, datagrams):
    """A capture of UDP datagrams from 127.0.0.1:8899 to a client, one per frame."""
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 228))  # raw IPv4
        for n, payload in enumerate(datagrams):
            udp = struct.pack(">HHHH", 8899, 40000, 8 + len(payload), 0) + payload
            ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), n, 0, 64, 17, 0,
                             bytes([127, 0, 0, 1]), bytes([127, 0, 0, 1])) + udp
            f.write(struct.pack("<IIII", 1700000000 + n, 0, len(ip), len(ip)) + ip)


def mutations(datagrams, rng):
    """Every truncation of each datagram (size field kept honest, or no header at all), and
    random corruption of its body bytes: slot values and counts pointing anywhere."""
    for d in datagrams:
        for n in range(1, 20):
            yield d[:n]
        for n in range(20, len(d)):
            yield d[:2] + struct.pack(">H", n) + d[4:n]
        for _ in range(150):
            m = bytearray(d)
            for _ in range(rng.randint(1, 4)):
                at = rng.randrange(20, len(m) - 1) & ~1
                m[at:at + 2] = struct.pack(">H", rng.choice([0, 1, 0xffff, rng.randrange(
                    0, len(m) + 8), rng.randrange(0x10000)]))
            yield bytes(m)


def malformed(args, capture):
    """Each garble fault is marked with its expert note; mutated datagrams never raise a Lua
    error; the undamaged datagrams around them decode cleanly."""
    with Capture(capture):
        sim = Sim(args.sim)
        client = Client()
        client.connect()
        for mode in ("size", "truncate", "opcode", "off"):
            sim.command("garble " + mode)
            sim.command("push all")
            client.drain(0.2)
        sim.close()
    rows = tshark(capture, ["sbcp2.size", "frame.len", "sbcp2.status"],
                  "sbcp2.status == 2")  # the events: 3 at connect, then 3 per garble mode
    if not check(len(rows) == 15, f"15 events, got {len(rows)}"):
        return
    events = [0x100, 0x102, 0x103]
    marks = {"clean": set(), "size": {"size"}, "truncate": {"malformed"}, "opcode": {"opcode"}}
    for i, mode in enumerate(["clean", "size", "truncate", "opcode", "clean"]):
        batch = rows[3 * i:3 * i + 3]
        expect_equal([notes(r) for r in batch], [marks[mode]] * 3, "notes in " + mode)
        opcodes = [one(r, "sbcp2.opcode", number) for r in batch]
        expect_equal(opcodes, [e ^ 0x4000 for e in events] if mode == "opcode" else events,
                     f"opcodes in {mode}")
    for r in rows[3:6]:
        check(one(r, "sbcp2.size", int) == one(r, "frame.len", int) - 42 + 4,
              "size field 4 above the payload")

    # Everything the simulator sent, mangled.
    seeds = [d for d in client.received if len(d) > 20][:4]
    check(len(seeds) == 4, "the connect reply and three events to mangle")
    hostile = os.path.join(os.path.dirname(capture), "mutated.pcap")
    write_pcap(hostile, seeds + list(mutations(seeds, random.Random(19))))
    rows = tshark(hostile, ["sbcp2.size"])
    count = len(rows)
    expect_equal(sum(1 for r in rows if r["sbcp2.opcode"] or notes(r) == {"short"}), count,
                 "every datagram dissected")
    bad = sum(1 for r in rows if "malformed" in notes(r))
    check(bad > count // 4, f"{bad} of {count} mutated datagrams marked malformed")
    expect_equal([notes(r) - {"unmatched"} for r in rows[:len(seeds)]], [set()] * len(seeds),
                 "notes on the datagrams as sent")


CASES = {"session": session, "known-config": known_config, "malformed": malformed}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", required=True)
    parser.add_argument("--cli", required=True)
    parser.add_argument("--keep", help="leave the captures in this directory")
    parser.add_argument("--lua", help="the dissector to check (default: the one beside)")
    parser.add_argument("case", choices=sorted(CASES))
    args = parser.parse_args()
    global lua
    lua = args.lua or lua
    for tool in ("tshark", "tcpdump"):
        if not shutil.which(tool):
            print(f"skipped: {tool} is not installed (tools/install-deps.sh)")
            return 77
    if os.geteuid() != 0:
        print("skipped: capturing on lo takes root")
        return 77
    with tempfile.TemporaryDirectory() as tmp:
        folder = args.keep or tmp
        os.makedirs(folder, exist_ok=True)
        try:
            CASES[args.case](args, os.path.join(folder, args.case + ".pcap"))
        finally:
            for proc in processes:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
    print(f"{args.case}: {len(failures)} failed checks")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
