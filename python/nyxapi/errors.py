"""Exceptions carrying a ``NyxApiResult``."""

from __future__ import annotations

from .codes import Result, known


class NyxApiError(Exception):
    """A call or a request failed. ``result`` is the :class:`~nyxapi.Result` (a plain
    int for a code this package does not know). ``from_manager`` is True when the
    request was sent and the failure is its outcome (the REQUEST_COMPLETED event's
    result), False when the library refused it before sending anything."""

    def __init__(self, result: int, context: str = "", *, from_manager: bool = False) -> None:
        self.result = known(Result, result)
        self.from_manager = from_manager
        name = getattr(self.result, "name", str(self.result))
        super().__init__(f"{context}: {name}" if context else name)


class OtherError(NyxApiError):
    """``OTHER``: a failure with no closer code, e.g. a send that failed or a
    connection reset while a request was in flight."""


class NoMemoryError(NyxApiError):
    """``NOMEMORY``: the handle could not be created."""


class InvalidParameterError(NyxApiError):
    """``INVALID_PARAMETER``."""


class InvalidDataError(NyxApiError):
    """``INVALID_DATA``: a value that is not among the manager's choices."""


class InvalidStateError(NyxApiError):
    """``INVALID_STATE``: not connected, running where a change needs it stopped, the
    wrong audio interface, or another request in flight."""


class UnsupportedFunctionError(NyxApiError):
    """``UNSUPPORTED_FUNCTION``."""


class AccessDeniedError(NyxApiError):
    """``ACCESS_DENIED``: a device or domain lock forbids the change."""


_BY_RESULT: dict[int, type[NyxApiError]] = {
    Result.OTHER: OtherError,
    Result.NOMEMORY: NoMemoryError,
    Result.INVALID_PARAMETER: InvalidParameterError,
    Result.INVALID_DATA: InvalidDataError,
    Result.INVALID_STATE: InvalidStateError,
    Result.UNSUPPORTED_FUNCTION: UnsupportedFunctionError,
    Result.ACCESS_DENIED: AccessDeniedError,
}


def error_for(result: int, context: str = "", *, from_manager: bool = False) -> NyxApiError:
    """The exception for a failed result, of the subclass that matches it."""
    return _BY_RESULT.get(result, NyxApiError)(result, context, from_manager=from_manager)


def check(result: int, context: str) -> None:
    """Raises :func:`error_for` the result unless it is ``SUCCESS``."""
    if result != Result.SUCCESS:
        raise error_for(result, context)
