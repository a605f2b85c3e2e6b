"""The C interface's records, field for field as ``nyx_api.h`` lays them out, with their
conversions to the plain values of :mod:`nyxapi.codes`."""

from __future__ import annotations

import ctypes
import ipaddress

from .codes import DomainInfo, Interface, NetworkStatus, Version


class NyxApiVersion(ctypes.Structure):
    _fields_ = [
        ("major", ctypes.c_uint32),
        ("minor", ctypes.c_uint32),
        ("patch", ctypes.c_uint32),
        ("build", ctypes.c_uint32),
    ]

    def value(self) -> Version:
        return Version(self.major, self.minor, self.patch, self.build)


class NyxApiInterface(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_uint16 * 64),  # UTF-16, NUL-terminated
        ("mac", ctypes.c_uint8 * 6),
    ]

    def value(self) -> Interface:
        name = bytes(self.name).decode("utf-16-le", "replace").split("\0", 1)[0]
        return Interface(name, bytes(self.mac))


class NyxApiNetworkStatus(ctypes.Structure):
    _fields_ = [
        ("linkUp", ctypes.c_uint8),
        ("linkSpeedMbps", ctypes.c_uint32),
        ("ipAddress", ctypes.c_uint8 * 4),  # first octet first
    ]

    def value(self) -> NetworkStatus:
        octets = bytes(self.ipAddress)
        address = ipaddress.IPv4Address(octets) if any(octets) else None
        return NetworkStatus(bool(self.linkUp), self.linkSpeedMbps, address)


class NyxApiDomainInfo(ctypes.Structure):
    _fields_ = [
        ("enrolled", ctypes.c_uint8),
        ("connected", ctypes.c_uint8),
        ("configurationAllowed", ctypes.c_uint8),
        ("name", ctypes.c_char * 65),
    ]

    def value(self) -> DomainInfo:
        return DomainInfo(bool(self.enrolled), bool(self.connected),
                          bool(self.configurationAllowed), self.name.decode("utf-8", "replace"))


class NyxApiEvent(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint64),  # always 32
        ("api", ctypes.c_void_p),
        ("changes", ctypes.c_uint64),
        ("result", ctypes.c_uint32),
    ]


#: ``NyxApiEventFn``.
EVENT_FN = ctypes.CFUNCTYPE(None, ctypes.POINTER(NyxApiEvent))

#: Every record of the header, for checks of their layout.
RECORDS = (NyxApiVersion, NyxApiInterface, NyxApiNetworkStatus, NyxApiDomainInfo, NyxApiEvent)
