#!/usr/bin/env python3
"""Prints the manager's values and choices, then follows its events and prints what each
one changed, until Ctrl+C (or --seconds of silence)."""

import argparse
import sys

import nyxapi
from nyxapi import Change

# What to print for each change flag: label, property, label, property...
SHOWN = {
    Change.STATE: ("state", "state"),
    Change.INFO: ("server version", "server_version"),
    Change.RUNNING: ("running", "running"),
    Change.STATUS: ("status", "status"),
    Change.AVAILABLE_INTERFACES: ("interfaces", "available_interfaces"),
    Change.INTERFACE: ("interface", "interface"),
    Change.AVAILABLE_CHANNEL_COUNTS: ("channel counts", "available_channel_counts"),
    Change.CHANNEL_COUNT: ("channel count", "channel_count"),
    Change.AVAILABLE_AUDIO_INTERFACES: ("audio interfaces", "available_audio_interfaces"),
    Change.AUDIO_INTERFACE: ("audio interface", "audio_interface"),
    Change.AVAILABLE_ASIO_PARAMETERS: ("ASIO buffer sizes", "available_asio_buffer_sizes",
                                       "ASIO encodings", "available_asio_encodings",
                                       "ASIO latencies (ms)", "available_asio_latencies_ms"),
    Change.ASIO_PARAMETER: ("ASIO buffer size", "asio_buffer_size", "ASIO encoding",
                            "asio_encoding", "ASIO latency (ms)", "asio_latency_ms"),
    Change.AVAILABLE_CORVO_LATENCIES: ("Corvo latencies (ms)", "available_corvo_latencies_ms"),
    Change.CORVO_LATENCY: ("Corvo latency (ms)", "corvo_latency_ms"),
    Change.NETWORK_STATUS: ("network", "network_status"),
    Change.DEVICE_NAME: ("device name", "device_name"),
    Change.DOMAIN: ("domain", "domain_info"),
    Change.DEVICE_LOCK_STATUS: ("device lock", "device_lock_status"),
}


def text(value: object) -> str:
    if isinstance(value, list):
        return ", ".join(text(v) for v in value) or "(none)"
    if isinstance(value, nyxapi.Status):
        return f"{value.name} ({nyxapi.status_description(value)})"
    if isinstance(value, (nyxapi.State, nyxapi.AudioInterface)):
        return value.name
    return str(value)


def show(nyx: nyxapi.Client, changes: Change) -> None:
    for flag, shown in SHOWN.items():
        if changes & flag:
            for label, name in zip(shown[::2], shown[1::2]):
                print(f"  {label} = {text(getattr(nyx, name))}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--connect-timeout", type=float, default=10.0, metavar="SECONDS")
    parser.add_argument("--seconds", type=float, default=None,
                        help="stop after this long without an event")
    args = parser.parse_args()
    try:
        with nyxapi.Client() as nyx:
            nyx.wait_connected(timeout=args.connect_timeout)
            print(f"API {nyx.api_version}, connected")
            for _ in nyx.events(timeout=0):  # the connection's own events: shown below
                pass
            show(nyx, Change(sum(SHOWN)))
            for event in nyx.events(timeout=args.seconds):
                print(f"event: {event}")
                show(nyx, event.changes)
    except TimeoutError as e:
        print(e, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
