"""The :class:`Client`: one handle of the C interface with Python manners."""

from __future__ import annotations

import asyncio
import atexit
import ctypes
import logging
import re
import threading
import time
from collections import deque
from typing import Any, AsyncIterator, Callable, Iterator, Optional, TypeVar, Union

from . import _library
from .codes import (AudioInterface, Change, DomainInfo, Event, Interface, NetworkStatus, Result,
                    State, Status, Version, known)
from .errors import InvalidDataError, InvalidStateError, check, error_for
from .records import (EVENT_FN, NyxApiDomainInfo, NyxApiInterface, NyxApiNetworkStatus,
                      NyxApiVersion)

_log = logging.getLogger("nyxapi")

#: Seconds a setter waits for its REQUEST_COMPLETED event by default.
DEFAULT_TIMEOUT = 5.0

_MAC = re.compile(r"^[0-9A-Fa-f]{2}([:-][0-9A-Fa-f]{2}){5}$")
_CT = TypeVar("_CT", bound="ctypes._CData")


class _Events:
    """What the event function feeds: a bounded queue of events for :meth:`Client.events`,
    and the count and results of REQUEST_COMPLETED events for the waiting setters. Its
    :meth:`post` runs on the handle's worker thread."""

    def __init__(self, max_events: int) -> None:
        self.cond = threading.Condition()
        self.queue: deque[Event] = deque(maxlen=max_events)
        self.dropped = 0
        self.completions = 0
        self.results: dict[int, int] = {}  # completion number: result, the latest few
        self.wakers: list[Callable[[], None]] = []
        self.closed = False
        self.worker: Optional[int] = None

    def post(self, event: ctypes._Pointer) -> None:  # type: ignore[type-arg]
        # Whatever happens here must not unwind into the C worker.
        try:
            raw = event.contents
            item = Event(Change(raw.changes), known(Result, raw.result))
            with self.cond:
                self.worker = threading.get_ident()
                if len(self.queue) == self.queue.maxlen:
                    self.dropped += 1
                self.queue.append(item)
                if item.changes & Change.REQUEST_COMPLETED:
                    self.completions += 1
                    self.results[self.completions] = item.result
                    if len(self.results) > 16:
                        del self.results[min(self.results)]
                self.cond.notify_all()
                wakers = list(self.wakers)
            for wake in wakers:
                wake()
        except BaseException:  # noqa: B036 - nothing may reach the C caller
            try:
                _log.exception("nyxapi: event dropped")
            except BaseException:  # noqa: B036
                pass

    def get(self, timeout: Optional[float]) -> Optional[Event]:
        with self.cond:
            self.cond.wait_for(lambda: self.queue or self.closed, timeout)
            return self.queue.popleft() if self.queue else None

    def completion(self, ticket: int, timeout: Optional[float]) -> Optional[int]:
        """The result of completion number ``ticket + 1``, or None when it has not come
        within the timeout."""
        with self.cond:
            self.cond.wait_for(lambda: self.completions > ticket or self.closed, timeout)
            return self.results.get(ticket + 1, Result.OTHER) if self.completions > ticket else None

    def close(self) -> None:
        with self.cond:
            self.closed = True
            self.cond.notify_all()
            wakers = list(self.wakers)
        for wake in wakers:
            wake()


class _Handle:
    """The C handle with its event function. It lives in ``_open`` until deleted, so the
    callback outlives every call the worker can make to it, even when its client is lost
    without being closed."""

    def __init__(self, lib: ctypes.CDLL, events: _Events) -> None:
        self.lib = lib
        self.lock = threading.Lock()  # every call on the handle, so none races its deletion
        self.callback = EVENT_FN(events.post)
        self.started = False
        pointer = ctypes.c_void_p()
        check(lib.NyxApiNew(ctypes.byref(pointer)), "NyxApiNew")
        self.pointer: Optional[int] = pointer.value
        _open.add(self)
        result = lib.NyxApiSetEventFn(self.pointer, self.callback)
        if result != Result.SUCCESS:
            self.close()
            raise error_for(result, "NyxApiSetEventFn")

    def close(self) -> None:
        with self.lock:
            if self.pointer is None:
                return
            self.lib.NyxApiStop(self.pointer)
            self.lib.NyxApiDelete(self.pointer)
            self.pointer = None
            _open.discard(self)

    def live(self) -> int:
        if self.pointer is None:
            raise ValueError("the nyxapi client is closed")
        return self.pointer


_open: set[_Handle] = set()


@atexit.register
def _close_all() -> None:
    # Worker threads must not call into an interpreter that is being torn down.
    for handle in list(_open):
        handle.close()


class Client:
    """A connection to the manager service through one ``NyxApi`` handle.

    The handle is created at once and its worker starts with :meth:`start` (or on
    entering a ``with`` block, which stops and deletes it at the end). Properties read the
    handle's cached copy of the manager's values and never wait for the network; the
    ``set_...`` methods send one change each. Events are queued from creation on; at most
    ``max_events`` are kept, the oldest dropped first."""

    def __init__(self, *, max_events: int = 1024) -> None:
        self._events = _Events(max_events)
        self._handle = _Handle(_library.library(), self._events)
        self._lib = self._handle.lib

    # Lifecycle

    def start(self) -> None:
        """Starts the worker thread, which connects to the manager (and reconnects)."""
        self._call("NyxApiStart")
        self._handle.started = True

    def stop(self) -> None:
        """Stops the worker; the cached values stay readable."""
        with self._handle.lock:
            self._lib.NyxApiStop(self._handle.live())
            self._handle.started = False

    def close(self) -> None:
        """Stops and deletes the handle; ends every :meth:`events` iteration. Idempotent."""
        self._handle.close()
        self._events.close()

    def __enter__(self) -> Client:
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        handle = getattr(self, "_handle", None)
        # Deleting from inside the event function is not allowed; there the handle is
        # left to the exit hook.
        try:
            if handle is not None and self._events.worker != threading.get_ident():
                handle.close()
        except Exception:  # interpreter shutdown
            pass

    def __repr__(self) -> str:
        return f"<nyxapi.Client {'closed' if self.closed else self.state.name}>"

    @property
    def closed(self) -> bool:
        """True once :meth:`close` ran."""
        return self._handle.pointer is None

    def wait_connected(self, timeout: Optional[float] = 10.0) -> None:
        """Waits until the handle is CONNECTED; raises :class:`TimeoutError` after
        ``timeout`` seconds (None: no limit) and :class:`InvalidStateError` when not
        started."""
        if not self._handle.started:
            raise InvalidStateError(Result.INVALID_STATE, "wait_connected: not started")
        deadline = None if timeout is None else time.monotonic() + timeout
        while self.state != State.CONNECTED:
            left = 0.1 if deadline is None else min(0.1, deadline - time.monotonic())
            if left <= 0:
                raise TimeoutError(f"not connected to the manager within {timeout} s "
                                   f"(state {self.state.name})")
            with self._events.cond:
                self._events.cond.wait(left)  # any event may be the connection

    # Events

    def events(self, timeout: Optional[float] = None) -> Iterator[Event]:
        """Yields the queued and arriving events, oldest first. Ends when none arrives
        for ``timeout`` seconds (None: never) or when the client is closed."""
        while True:
            item = self._events.get(timeout)
            if item is None:
                return
            yield item

    async def aevents(self, timeout: Optional[float] = None) -> AsyncIterator[Event]:
        """:meth:`events` for asyncio: ``async for event in client.aevents(): ...``.
        The event function wakes the running loop; nothing blocks it."""
        loop = asyncio.get_running_loop()
        ready = asyncio.Event()

        def wake() -> None:
            try:
                loop.call_soon_threadsafe(ready.set)
            except RuntimeError:  # the loop is closed
                pass

        with self._events.cond:
            self._events.wakers.append(wake)
        try:
            while True:
                ready.clear()
                item = self._events.get(0)
                if item is None:
                    if self._events.closed:
                        return
                    try:
                        await asyncio.wait_for(ready.wait(), timeout)
                    except asyncio.TimeoutError:
                        return
                    continue
                yield item
        finally:
            with self._events.cond:
                self._events.wakers.remove(wake)

    @property
    def dropped_events(self) -> int:
        """Events lost because the queue was full."""
        return self._events.dropped

    # Reading

    def _call(self, name: str, *args: Any) -> None:
        with self._handle.lock:
            check(getattr(self._lib, name)(self._handle.live(), *args), name)

    def _get(self, name: str, ctype: type[_CT]) -> _CT:
        out = ctype()
        self._call(name, ctypes.byref(out))
        return out

    def _list(self, name: str, ctype: type[ctypes._CData]) -> list[Any]:
        count = ctypes.c_uint64(0)
        self._call(name, ctypes.byref(count), None)
        while True:  # again if the list grew in between
            capacity = count.value
            array = (ctype * max(capacity, 1))()
            self._call(name, ctypes.byref(count), array)
            if count.value <= capacity:
                return list(array[: count.value])

    @property
    def state(self) -> State:
        """IDLE while stopped, else DISCONNECTED or CONNECTED."""
        with self._handle.lock:
            return known(State, self._lib.NyxApiGetState(self._handle.live()))  # type: ignore

    @property
    def api_version(self) -> Version:
        """The C interface's version."""
        return api_version()

    @property
    def server_version(self) -> Version:
        """The manager's version; 0.0.0.0 while none is known."""
        return self._get("NyxApiGetServerVersion", NyxApiVersion).value()

    @property
    def running(self) -> bool:
        """Whether the soundcard runs."""
        return bool(self._get("NyxApiGetRunning", ctypes.c_bool).value)

    @property
    def status(self) -> int:
        """The service's status code, a :class:`Status` when it is a known one."""
        return known(Status, self._get("NyxApiGetStatus", ctypes.c_uint32).value)

    @property
    def interface(self) -> Interface:
        """The selected network interface."""
        return self._get("NyxApiGetInterface", NyxApiInterface).value()

    @property
    def channel_count(self) -> int:
        """The channel count."""
        return int(self._get("NyxApiGetChannelCount", ctypes.c_uint32).value)

    @property
    def audio_interface(self) -> int:
        """An :class:`AudioInterface`."""
        return known(AudioInterface, self._get("NyxApiGetAudioInterface", ctypes.c_uint32).value)

    @property
    def asio_buffer_size(self) -> int:
        """In samples."""
        return int(self._get("NyxApiGetASIOBufferSize", ctypes.c_uint32).value)

    @property
    def asio_encoding(self) -> int:
        """Bits per sample."""
        return int(self._get("NyxApiGetASIOEncoding", ctypes.c_uint16).value)

    @property
    def asio_latency_ms(self) -> int:
        """The ASIO latency in whole milliseconds."""
        return int(self._get("NyxApiGetASIOLatencyMs", ctypes.c_uint32).value)

    @property
    def corvo_latency_ms(self) -> int:
        """The network latency; 0 when the manager's choice is not among its options."""
        return int(self._get("NyxApiGetCorvoLatencyMs", ctypes.c_uint32).value)

    @property
    def network_status(self) -> NetworkStatus:
        """Link, speed and address of the selected interface."""
        return self._get("NyxApiGetNetworkStatus", NyxApiNetworkStatus).value()

    @property
    def device_name(self) -> str:
        """The device's name."""
        buffer = ctypes.create_string_buffer(32)
        self._call("NyxApiGetDeviceName", buffer)
        return buffer.value.decode("utf-8", "replace")

    @property
    def domain_info(self) -> DomainInfo:
        """The device's domain enrolment."""
        return self._get("NyxApiGetDomainInfo", NyxApiDomainInfo).value()

    @property
    def device_lock_status(self) -> int:
        """0 when the device is not locked."""
        return int(self._get("NyxApiGetDeviceLockStatus", ctypes.c_uint32).value)

    @property
    def available_interfaces(self) -> list[Interface]:
        """The interfaces to choose from, in the manager's order."""
        return [i.value() for i in self._list("NyxApiAvailableInterfaces", NyxApiInterface)]

    @property
    def available_channel_counts(self) -> list[int]:
        """The channel counts to choose from."""
        return self._list("NyxApiAvailableChannelCounts", ctypes.c_uint32)

    @property
    def available_audio_interfaces(self) -> list[int]:
        """:class:`AudioInterface` values."""
        raw = self._list("NyxApiAvailableAudioInterfaces", ctypes.c_uint32)
        return [known(AudioInterface, v) for v in raw]

    @property
    def available_asio_buffer_sizes(self) -> list[int]:
        """The ASIO buffer sizes to choose from, in samples."""
        return self._list("NyxApiAvailableASIOBufferSizes", ctypes.c_uint32)

    @property
    def available_asio_encodings(self) -> list[int]:
        """The ASIO encodings to choose from, in bits per sample."""
        return self._list("NyxApiAvailableASIOEncodings", ctypes.c_uint16)

    @property
    def available_asio_latencies_ms(self) -> list[int]:
        """The ASIO latencies to choose from, in milliseconds."""
        return self._list("NyxApiAvailableASIOLatenciesMs", ctypes.c_uint32)

    @property
    def available_corvo_latencies_ms(self) -> list[int]:
        """The network latencies to choose from, in milliseconds."""
        return self._list("NyxApiAvailableCorvoLatenciesMs", ctypes.c_uint32)

    @property
    def request_in_progress(self) -> bool:
        """Whether a request is in flight."""
        return bool(self._get("NyxApiRequestInProgress", ctypes.c_bool).value)

    # Requests

    def _request(self, name: str, args: tuple[Any, ...], wait: bool,
                 timeout: Optional[float]) -> None:
        with self._handle.lock:
            pointer = self._handle.live()
            if wait:
                # With nothing in flight and this lock held, no earlier request can
                # complete any more: the next completion is this one's.
                busy = ctypes.c_bool()
                check(self._lib.NyxApiRequestInProgress(pointer, ctypes.byref(busy)), name)
                if busy.value:
                    raise InvalidStateError(Result.INVALID_STATE, f"{name}: a request is in flight")
                with self._events.cond:
                    ticket = self._events.completions
            check(getattr(self._lib, name)(pointer, *args), name)
        if not wait:
            return
        result = self._events.completion(ticket, timeout)
        if result is None:
            with self._handle.lock:
                # Once the cancel returns, a completion that raced it has been counted.
                self._lib.NyxApiCancelRequest(self._handle.live())
            result = self._events.completion(ticket, 0)
            if result is None:
                raise TimeoutError(f"{name}: no answer from the manager within {timeout} s; "
                                   "the request was cancelled")
        if result != Result.SUCCESS:
            raise error_for(result, f"{name} refused", from_manager=True)
        # The completion event comes before the merge of the new state, in the same pass
        # of the worker, which holds the request lock for the pass: a request export
        # returns after it, and the properties show the change.
        with self._handle.lock:
            self._lib.NyxApiRequestInProgress(self._handle.live(), ctypes.byref(ctypes.c_bool()))

    def set_running(self, running: bool, *, wait: bool = True,
                    timeout: Optional[float] = DEFAULT_TIMEOUT) -> None:
        """Starts or stops the soundcard.

        Like every setter: raises the :class:`NyxApiError` subclass of the result when
        the library refuses to send, then (``wait=True``) waits for the request's
        REQUEST_COMPLETED event and raises when the manager refused it
        (``from_manager`` True) or :class:`TimeoutError` after ``timeout`` seconds (the
        request is then cancelled). With ``wait=False`` it returns once the request is
        sent; its outcome is an event."""
        self._request("NyxApiSetRunning", (bool(running),), wait, timeout)

    def set_interface(self, interface: Union[Interface, bytes, str], *, wait: bool = True,
                      timeout: Optional[float] = DEFAULT_TIMEOUT) -> None:
        """Selects the network interface (soundcard stopped), given as an
        :class:`Interface`, 6 MAC bytes, a MAC text ``"00:1D:C1:5A:30:01"`` or the name of
        one of :attr:`available_interfaces`."""
        if isinstance(interface, Interface):
            mac = interface.mac
        elif isinstance(interface, str) and _MAC.match(interface):
            mac = bytes.fromhex(interface.replace(":", "").replace("-", ""))
        elif isinstance(interface, str):
            named = [i.mac for i in self.available_interfaces if i.name == interface]
            if not named:
                raise InvalidDataError(Result.INVALID_DATA,
                                       f"set_interface: no interface named {interface!r}")
            mac = named[0]
        else:
            mac = bytes(interface)
        if len(mac) != 6:
            raise ValueError(f"a MAC address has 6 bytes, not {len(mac)}")
        self._request("NyxApiSetInterface", ((ctypes.c_uint8 * 6)(*mac),), wait, timeout)

    def set_channel_count(self, count: int, *, wait: bool = True,
                          timeout: Optional[float] = DEFAULT_TIMEOUT) -> None:
        """Needs the soundcard stopped and ASIO selected. See :meth:`set_running`."""
        self._request("NyxApiSetChannelCount", (_number(count, 32),), wait, timeout)

    def set_audio_interface(self, audio: int, *, wait: bool = True,
                            timeout: Optional[float] = DEFAULT_TIMEOUT) -> None:
        """An :class:`AudioInterface`; needs the soundcard stopped."""
        self._request("NyxApiSetAudioInterface", (_number(audio, 32),), wait, timeout)

    def set_asio_buffer_size(self, samples: int, *, wait: bool = True,
                             timeout: Optional[float] = DEFAULT_TIMEOUT) -> None:
        """Needs ASIO selected; allowed while running."""
        self._request("NyxApiSetASIOBufferSize", (_number(samples, 32),), wait, timeout)

    def set_asio_encoding(self, bits: int, *, wait: bool = True,
                          timeout: Optional[float] = DEFAULT_TIMEOUT) -> None:
        """Needs ASIO selected; allowed while running."""
        self._request("NyxApiSetASIOEncoding", (_number(bits, 16),), wait, timeout)

    def set_asio_latency_ms(self, ms: int, *, wait: bool = True,
                            timeout: Optional[float] = DEFAULT_TIMEOUT) -> None:
        """Needs ASIO selected; allowed while running."""
        self._request("NyxApiSetASIOLatencyMs", (_number(ms, 32),), wait, timeout)

    def set_corvo_latency_ms(self, ms: int, *, wait: bool = True,
                             timeout: Optional[float] = DEFAULT_TIMEOUT) -> None:
        """One of :attr:`available_corvo_latencies_ms`; needs the soundcard stopped."""
        self._request("NyxApiSetCorvoLatencyMs", (_number(ms, 32),), wait, timeout)

    def clear_domain_credentials(self, *, wait: bool = True,
                                 timeout: Optional[float] = DEFAULT_TIMEOUT) -> None:
        """Asks the manager to drop the domain enrolment."""
        self._request("NyxApiClearDomainCredentials", (), wait, timeout)

    def cancel_request(self) -> None:
        """Releases the request in flight, if any; its answer raises no event."""
        self._call("NyxApiCancelRequest")


def _number(value: int, bits: int) -> int:
    # ctypes would wrap a negative or too large number silently.
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"an integer is required, not {type(value).__name__}")
    if not 0 <= value < 1 << bits:
        raise ValueError(f"{value} is outside 0..{(1 << bits) - 1}")
    return value


def api_version() -> Version:
    """The C interface's version (1.0.0.0)."""
    return _library.library().NyxApiGetApiVersion(None).value()  # type: ignore[no-any-return]


def status_description(code: int) -> Optional[str]:
    """The text of a service status code, None for an unknown code."""
    text = _library.library().NyxApiStatusGetDescription(_number(code, 16))
    return None if text is None else text.decode("utf-8", "replace")


def collect_logs(folder: Optional[str] = None) -> str:
    """Starts the service's log collection into ``folder`` (None: its default) without
    waiting, and returns the archive's file name."""
    name = ctypes.create_string_buffer(32)
    encoded = None if folder is None else folder.encode("utf-8")
    check(_library.library().NyxApiCollectLogs(encoded, name), "NyxApiCollectLogs")
    return name.value.decode("ascii", "replace")
