"""Python binding of the ``NyxApi`` C interface: control the virtual network soundcard
service through its manager.

    with nyxapi.Client() as nyx:
        nyx.wait_connected(timeout=5)
        print(nyx.device_name, nyx.channel_count, nyx.available_channel_counts)
        nyx.set_channel_count(16)
        for event in nyx.events(timeout=1):
            print(event)

The native library (``libnyxapi.so`` on Linux, ``nyxapi.dll`` on Windows) is found through
the ``NYXAPI_LIBRARY`` environment variable, next to this package, or on the system's
library path, in that order; it is loaded on first use.
"""

from ._library import ENV_VAR, LibraryNotFoundError, library
from .client import DEFAULT_TIMEOUT, Client, api_version, collect_logs, status_description
from .codes import (AudioInterface, Change, DomainInfo, Event, Interface, NetworkStatus, Result,
                    State, Status, Version)
from .errors import (AccessDeniedError, InvalidDataError, InvalidParameterError,
                     InvalidStateError, NoMemoryError, NyxApiError, OtherError,
                     UnsupportedFunctionError)

__version__ = "1.0.0"

__all__ = [
    "AccessDeniedError", "AudioInterface", "Change", "Client", "DEFAULT_TIMEOUT", "DomainInfo",
    "ENV_VAR", "Event", "Interface", "InvalidDataError", "InvalidParameterError",
    "InvalidStateError", "LibraryNotFoundError", "NetworkStatus", "NoMemoryError",
    "NyxApiError", "OtherError", "Result", "State", "Status", "UnsupportedFunctionError",
    "Version", "api_version", "collect_logs", "library", "status_description",
]
