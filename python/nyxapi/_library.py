"""Finding and loading the native library, and the prototypes of its 46 exports."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import Mapping, Optional

from .records import (EVENT_FN, NyxApiDomainInfo, NyxApiInterface, NyxApiNetworkStatus,
                      NyxApiVersion)

#: Environment variable naming the library file (or the folder holding it).
ENV_VAR = "NYXAPI_LIBRARY"

_u8, _u16, _u32, _u64 = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_uint64
_handle, _bool, _P = ctypes.c_void_p, ctypes.c_bool, ctypes.POINTER


def _list(element: type) -> list[type]:
    return [_handle, _P(_u64), _P(element)]


# name: (restype, argtypes)
PROTOTYPES: dict[str, tuple[Optional[type], list[type]]] = {
    "NyxApiNew": (_u32, [_P(_handle)]),
    "NyxApiDelete": (None, [_handle]),
    "NyxApiStart": (_u32, [_handle]),
    "NyxApiStop": (None, [_handle]),
    "NyxApiGetApiVersion": (NyxApiVersion, [_handle]),
    "NyxApiGetState": (_u32, [_handle]),
    "NyxApiSetContext": (_u32, [_handle, ctypes.c_void_p]),
    "NyxApiGetContext": (ctypes.c_void_p, [_handle]),
    "NyxApiSetEventFn": (_u32, [_handle, EVENT_FN]),
    "NyxApiStatusGetDescription": (ctypes.c_char_p, [_u16]),
    "NyxApiRequestInProgress": (_u32, [_handle, _P(_bool)]),
    "NyxApiCancelRequest": (_u32, [_handle]),
    "NyxApiGetRunning": (_u32, [_handle, _P(_bool)]),
    "NyxApiGetStatus": (_u32, [_handle, _P(_u32)]),
    "NyxApiGetInterface": (_u32, [_handle, _P(NyxApiInterface)]),
    "NyxApiGetChannelCount": (_u32, [_handle, _P(_u32)]),
    "NyxApiGetAudioInterface": (_u32, [_handle, _P(_u32)]),
    "NyxApiGetASIOBufferSize": (_u32, [_handle, _P(_u32)]),
    "NyxApiGetASIOEncoding": (_u32, [_handle, _P(_u16)]),
    "NyxApiGetASIOLatencyMs": (_u32, [_handle, _P(_u32)]),
    "NyxApiGetCorvoLatencyMs": (_u32, [_handle, _P(_u32)]),
    "NyxApiGetNetworkStatus": (_u32, [_handle, _P(NyxApiNetworkStatus)]),
    "NyxApiGetDeviceName": (_u32, [_handle, ctypes.c_char_p]),
    "NyxApiGetDomainInfo": (_u32, [_handle, _P(NyxApiDomainInfo)]),
    "NyxApiGetDeviceLockStatus": (_u32, [_handle, _P(_u32)]),
    "NyxApiGetServerVersion": (_u32, [_handle, _P(NyxApiVersion)]),
    "NyxApiAvailableInterfaces": (_u32, _list(NyxApiInterface)),
    "NyxApiAvailableChannelCounts": (_u32, _list(_u32)),
    "NyxApiAvailableAudioInterfaces": (_u32, _list(_u32)),
    "NyxApiAvailableASIOBufferSizes": (_u32, _list(_u32)),
    "NyxApiAvailableASIOEncodings": (_u32, _list(_u16)),
    "NyxApiAvailableASIOLatenciesMs": (_u32, _list(_u32)),
    "NyxApiAvailableCorvoLatenciesMs": (_u32, _list(_u32)),
    "NyxApiSetRunning": (_u32, [_handle, _bool]),
    "NyxApiSetInterface": (_u32, [_handle, _P(_u8)]),
    "NyxApiSetChannelCount": (_u32, [_handle, _u32]),
    "NyxApiSetAudioInterface": (_u32, [_handle, _u32]),
    "NyxApiSetASIOBufferSize": (_u32, [_handle, _u32]),
    "NyxApiSetASIOEncoding": (_u32, [_handle, _u16]),
    "NyxApiSetASIOLatencyMs": (_u32, [_handle, _u32]),
    "NyxApiSetCorvoLatencyMs": (_u32, [_handle, _u32]),
    "NyxApiClearDomainCredentials": (_u32, [_handle]),
    "NyxApiCollectLogs": (_u32, [ctypes.c_char_p, ctypes.c_char_p]),
    "NyxApiGetValue": (_u32, []),
    "NyxApiGetPointer": (None, [_P(_u32)]),
    "NyxApiGetPointerPointer": (None, [_P(_P(_u32))]),
}


class LibraryNotFoundError(OSError):
    """The native library could not be loaded. ``tried`` lists ``(place, path, why)``
    for every place that was looked at, in order."""

    def __init__(self, tried: list[tuple[str, str, str]]) -> None:
        self.tried = tried
        lines = [f"  {place}: {path} ({why})" for place, path, why in tried]
        super().__init__(
            "cannot load the nyxapi library; tried:\n" + "\n".join(lines) +
            f"\nSet {ENV_VAR} to the library file, put it next to the nyxapi package, or "
            "install it on the system's library path.")


def library_names() -> list[str]:
    """File names of the library on this platform, the preferred one first."""
    if sys.platform == "win32":
        return ["nyxapi.dll"]
    return ["libnyxapi.so.1", "libnyxapi.so"]


def _candidates(environ: Mapping[str, str], here: Path) -> list[tuple[str, str]]:
    """(place, what to load) in the order they are tried. A set environment variable is
    the only place: a wrong setting should fail, not quietly load another copy."""
    names = library_names()
    explicit = environ.get(ENV_VAR)
    if explicit:
        folder = Path(explicit)
        if folder.is_dir():
            return [(ENV_VAR, str(folder / name)) for name in names]
        return [(ENV_VAR, explicit)]
    places = [("next to the package", str(here / name)) for name in names]
    if sys.platform == "win32":
        # The loader's default search leaves out PATH; look there by hand.
        found = ctypes.util.find_library("nyxapi")
        places.append(("PATH", found or "nyxapi.dll"))
    else:
        places += [("system library path", name) for name in names]
    return places


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    for name, (restype, argtypes) in PROTOTYPES.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


def load(environ: Mapping[str, str] = os.environ, here: Optional[Path] = None) -> ctypes.CDLL:
    """Loads the library from the first place that has it (see the package's README) and
    declares its exports. Raises :class:`LibraryNotFoundError` naming every place tried."""
    tried: list[tuple[str, str, str]] = []
    for place, target in _candidates(environ, here or Path(__file__).resolve().parent):
        is_path = os.sep in target or (os.altsep is not None and os.altsep in target)
        if is_path and not os.path.exists(target):
            tried.append((place, target, "no such file"))
            continue
        try:
            lib = ctypes.CDLL(target)
        except OSError as e:
            tried.append((place, target, str(e) or type(e).__name__))
            continue
        try:
            return _declare(lib)
        except AttributeError as e:
            tried.append((place, target, f"not the nyxapi library: {e}"))
    raise LibraryNotFoundError(tried)


_lock = threading.Lock()
_loaded: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The process's library, loaded on first use."""
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = load()
        return _loaded
