"""Codes of the C interface (results, states, audio interfaces, change flags, service
status codes) and the plain Python values that the client hands out."""

from __future__ import annotations

import enum
import ipaddress
from dataclasses import dataclass
from typing import NamedTuple, Optional


class Result(enum.IntEnum):
    """``NyxApiResult``: what every export returns, and the outcome of a request."""

    SUCCESS = 0
    OTHER = 1
    NOMEMORY = 2
    INVALID_PARAMETER = 3
    INVALID_DATA = 4
    INVALID_STATE = 5
    UNSUPPORTED_FUNCTION = 6
    ACCESS_DENIED = 7


class State(enum.IntEnum):
    """``NyxApiState``: the handle's connection to the manager."""

    NONE = 0
    IDLE = 1
    DISCONNECTED = 2
    CONNECTED = 3


class AudioInterface(enum.IntEnum):
    """``NyxApiAudioInterface``."""

    NONE = 0
    WDM = 1
    ASIO = 2


class Change(enum.IntFlag):
    """``NyxApiChanges``: what an event reports as changed. Bit 16 is unused."""

    STATE = 0x1
    REQUEST_COMPLETED = 0x2
    RUNNING = 0x4
    STATUS = 0x8
    AVAILABLE_INTERFACES = 0x10
    INTERFACE = 0x20
    AVAILABLE_CHANNEL_COUNTS = 0x40
    CHANNEL_COUNT = 0x80
    AVAILABLE_AUDIO_INTERFACES = 0x100
    AUDIO_INTERFACE = 0x200
    AVAILABLE_ASIO_PARAMETERS = 0x400
    ASIO_PARAMETER = 0x800
    AVAILABLE_CORVO_LATENCIES = 0x1000
    CORVO_LATENCY = 0x2000
    NETWORK_STATUS = 0x4000
    DEVICE_NAME = 0x8000
    DOMAIN = 0x20000
    INFO = 0x40000
    DEVICE_LOCK_STATUS = 0x80000


class Status(enum.IntEnum):
    """The service's 16-bit status codes (high byte the component, low byte the
    condition). :func:`nyxapi.status_description` gives their texts."""

    NONE = 0x0000
    RUNNING = 0x0001
    MISSING = 0x0010
    STOPPED = 0x0011
    MANAGER = 0x0100
    INVALID_CONFIG = 0x0101
    SLEEPING = 0x0102
    ORV = 0x0110
    BRISEL_ERROR = 0x0120
    DRIVER = 0x0200
    DRIVER_MISSING = 0x0201
    DRIVER_STOPPED = 0x0202
    DRIVER_STALLED = 0x0203
    KERNEL_EXTENSION_BLOCKED = 0x0204
    PTP = 0x0300
    PTP_MISSING = 0x0301
    ROUTA = 0x0400
    ROUTA_MISSING = 0x0401
    OTHER_CORVO_RUNNING = 0x0500
    ORVANE = 0x0600
    ORVANE_MISSING = 0x0601
    PROX = 0x0700
    PROX_MISSING = 0x0701


def known(enum_type: type[enum.IntEnum], value: int) -> int:
    """``enum_type(value)`` when the value has a name, else the plain number: a newer
    library or manager may report codes this package does not know."""
    try:
        return enum_type(value)
    except ValueError:
        return int(value)


class Version(NamedTuple):
    """A four-part version; ``str()`` gives ``"1.0.0.0"``."""

    major: int
    minor: int
    patch: int
    build: int

    def __str__(self) -> str:
        return ".".join(str(part) for part in self)


@dataclass(frozen=True)
class Interface:
    """A network interface the manager can use: its name and its 6-byte MAC address."""

    name: str
    mac: bytes

    @property
    def mac_text(self) -> str:
        """The MAC address as ``"00:1D:C1:5A:30:01"``."""
        return ":".join(f"{b:02X}" for b in self.mac)

    def __str__(self) -> str:
        return f"{self.name} ({self.mac_text})"


@dataclass(frozen=True)
class NetworkStatus:
    """Link state of the selected interface; ``ip_address`` is None without an address."""

    link_up: bool
    link_speed_mbps: int
    ip_address: Optional[ipaddress.IPv4Address]

    def __str__(self) -> str:
        if not self.link_up:
            return "link down"
        return f"link up, {self.link_speed_mbps} Mbit/s, {self.ip_address or 'no address'}"


@dataclass(frozen=True)
class DomainInfo:
    """Domain enrolment of the device."""

    enrolled: bool
    connected: bool
    configuration_allowed: bool
    name: str

    def __str__(self) -> str:
        if not self.enrolled:
            return "not enrolled"
        reach = "connected" if self.connected else "server unreachable"
        allowed = "configuration allowed" if self.configuration_allowed else "locked"
        return f"{self.name} ({reach}, {allowed})"


@dataclass(frozen=True)
class Event:
    """One call of the event function: the change flags and, with
    ``Change.REQUEST_COMPLETED``, the request's result (else ``Result.SUCCESS``)."""

    changes: Change
    result: int

    def __str__(self) -> str:
        flags = "|".join(f.name for f in Change if f & self.changes and f.name) or "0"
        if self.changes & Change.REQUEST_COMPLETED:
            name = getattr(self.result, "name", str(self.result))
            return f"{flags} result={name}"
        return flags
