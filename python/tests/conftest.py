"""nyx-sim as the manager on 127.0.0.1:8899, and clients of it. Run pytest under
tools/netns-run; NYX_SIM and NYXAPI_LIBRARY name the build's files (default: build/)."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
os.environ.setdefault("NYXAPI_LIBRARY", str(ROOT / "build" / "api" / "libnyxapi.so"))

try:
    import nyxapi
except ImportError:  # not installed: the source tree's copy
    sys.path.insert(0, str(ROOT / "python"))
    import nyxapi


class Sim:  # driven through its control commands

    def __init__(self) -> None:
        path = os.environ.get("NYX_SIM", str(ROOT / "build" / "sim" / "nyx-sim"))
        self.process = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
        line = self.process.stdout.readline()
        assert "listening on 127.0.0.1:8899" in line, line
        self.marks = 0

    def ask(self, command: str) -> str:
        """The command's reply, once nyx-sim has carried it out."""
        self.marks += 1
        mark = f"mark-{self.marks}"  # an unknown command, answered after the real one
        self.process.stdin.write(f"{command}\n{mark}\n")
        self.process.stdin.flush()
        reply = []
        for line in self.process.stdout:
            if mark in line:
                return "".join(reply)
            reply.append(line)
        raise AssertionError(f"nyx-sim ended during {command!r}: {''.join(reply)}")

    def close(self) -> None:
        self.process.communicate("quit\n", 5)


@pytest.fixture
def sim():
    # The port must be private to this process: tools/netns-run gives it its own namespace.
    ns = [os.readlink(f"/proc/{p}/ns/net") for p in ("self", os.getppid())]
    if ns[0] == ns[1] and not os.environ.get("NYXAPI_TESTS_SHARED_PORT"):
        pytest.skip("needs a private network namespace: run under tools/netns-run")
    s = Sim()
    yield s
    s.close()


@pytest.fixture
def nyx(sim):  # connected, its connection's events consumed
    with nyxapi.Client() as client:
        client.wait_connected(5)
        drain(client)
        yield client


def drain(client: nyxapi.Client) -> nyxapi.Change:
    """The flags of every event queued so far or arriving within 0.2 s."""
    seen = nyxapi.Change(0)
    for event in client.events(timeout=0.2):
        seen |= event.changes
    return seen


def wait_event(client: nyxapi.Client, flag: nyxapi.Change, timeout: float = 5.0) -> nyxapi.Event:
    """The first event with ``flag``, skipping earlier ones."""
    event = next((e for e in client.events(timeout=timeout) if e.changes & flag), None)
    assert event, f"no {flag!r} event within {timeout} s"
    return event
