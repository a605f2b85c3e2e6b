// Result codes of every operation below the API, with names and texts.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint32_t vtr_error;

enum : vtr_error {
    VTR_SUCCESS = 0,
    VTR_DONE = 1,
    VTR_SYSTEM = 2,
    VTR_INVALIDPARAMETER = 3,
    VTR_INVALIDDATA = 4,
    VTR_INVALIDSTATE = 5,
    VTR_NOMEMORY = 6,
    VTR_INTERRUPTED = 7,
    VTR_TRUNCATED = 8,
    VTR_NOTSUPPORTED = 9,
    VTR_TIMEDOUT = 10,
    VTR_NOTFOUND = 11,
    VTR_DNSSDFAIL = 12,
    VTR_RANGE = 13,
    VTR_POLICY = 14,
    VTR_VERSION = 15,
    VTR_CANCELLED = 16,
    VTR_CLOSING = 17,
    VTR_ACCES = 18,
    VTR_ADDRINUSE = 19,
    VTR_ADDRNOTAVAIL = 20,
    VTR_AFNOSUPPORT = 21,
    VTR_ALREADY = 22,
    VTR_BADF = 23,
    VTR_CONNABORTED = 24,
    VTR_CONNREFUSED = 25,
    VTR_CONNRESET = 26,
    VTR_DESTADDRREQ = 27,
    VTR_FAULT = 28,
    VTR_HOSTUNREACH = 29,
    VTR_INPROGRESS = 30,
    VTR_ISCONN = 31,
    VTR_MFILE = 32,
    VTR_MSGSIZE = 33,
    VTR_NETDOWN = 34,
    VTR_NETRESET = 35,
    VTR_NETUNREACH = 36,
    VTR_NOBUFS = 37,
    VTR_NODATA = 38,
    VTR_NODEV = 39,
    VTR_NOPROTOOPT = 40,
    VTR_NORECOVERY = 41,
    VTR_NOTCONN = 42,
    VTR_NOTINITIALISED = 43,
    VTR_NOTSOCK = 44,
    VTR_PROTONOSUPPORT = 45,
    VTR_PROTOTYPE = 46,
    VTR_SHUTDOWN = 47,
    VTR_SOCKTNOSUPPORT = 48,
    VTR_TRYAGAIN = 49,
    VTR_NOTRUNNING = 50,
    VTR_BANDWIDTH_EXCEEDED = 51,
};

// Room for one error line: at most 512 characters and the terminating zero.
enum { VTR_ERROR_TEXT_SIZE = 513 };

// The name column ("INVALIDPARAMETER"), or nullptr for a value without a row.
const char *vtr_error_name(vtr_error error);

// "success"; "System error: <system text>: (0x%04x)" for SYSTEM; else
// "<text>: (0x%04x=<name>)". Writes into buffer (VTR_ERROR_TEXT_SIZE bytes), returns it.
char *vtr_error_text(vtr_error error, char *buffer);

// The Windows translation table: Windows error numbers, Windows sockets error numbers and
// two 32-bit result codes. A pure function, the same on every platform.
vtr_error vtr_error_from_system(uint32_t system_code);

// The calling thread's last system error: GetLastError() on Windows, errno on POSIX.
uint32_t vtr_last_system_error(void);

// The runtime's error for the calling thread's last system error: the translation table on
// Windows; on POSIX errno is translated so that callers see the same meanings.
vtr_error vtr_error_from_last_system(void);

// The system's message text for a code; "" for 0. One shared 1024-byte buffer, overwritten
// by the next call.
const char *vtr_system_error_text(uint32_t system_code);
