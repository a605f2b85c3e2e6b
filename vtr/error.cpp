// Error names and texts, and the translation of Windows error numbers.
#include "vtr/vtr_error.h"
#include "vtr/vtr_log.h"

namespace {

struct error_row {
    vtr_error value;
    const char *name;
    const char *text;
};

// Ended by a row without a name.
const error_row error_table[] = {
    {VTR_SUCCESS, "SUCCESS", "success"},
    {VTR_DONE, "DONE", "operation done"},
    {VTR_SYSTEM, "SYSTEM", "system-specific error"},
    {VTR_INVALIDPARAMETER, "INVALIDPARAMETER", "invalid parameter"},
    {VTR_INVALIDDATA, "INVALIDDATA", "invalid data"},
    {VTR_INVALIDSTATE, "INVALIDSTATE", "invalid state"},
    {VTR_NOMEMORY, "NOMEMORY", "out of memory"},
    {VTR_INTERRUPTED, "INTERRUPTED", "interrupted"},
    {VTR_TRUNCATED, "TRUNCATED", "message truncated"},
    {VTR_NOTSUPPORTED, "NOTSUPPORTED", "operation not supported"},
    {VTR_TIMEDOUT, "TIMEDOUT", "operation timed out"},
    {VTR_NOTFOUND, "NOTFOUND", "object or item not found"},
    {VTR_DNSSDFAIL, "DNSSDFAIL", "DNS-SD system failed"},
    {VTR_RANGE, "RANGE", "data out of range"},
    {VTR_POLICY, "POLICY", "administrative policy violation"},
    {VTR_VERSION, "VERSION", "unsupported version"},
    {VTR_CANCELLED, "CANCELLED", "operation was cancelled"},
    {VTR_CLOSING, "CLOSING", "resource is closing"},
    {VTR_ACCES, "ACCES", "access"},
    {VTR_ADDRINUSE, "ADDRINUSE", "address in use"},
    {VTR_ADDRNOTAVAIL, "ADDRNOTAVAIL", "address not available"},
    {VTR_AFNOSUPPORT, "AFNOSUPPORT", "address family not supported"},
    {VTR_ALREADY, "ALREADY", "operation already in progress"},
    {VTR_BADF, "BADF", "bad file"},
    {VTR_CONNABORTED, "CONNABORTED", "connection aborted"},
    {VTR_CONNREFUSED, "CONNREFUSED", "connection refused"},
    {VTR_CONNRESET, "CONNRESET", "connection reset"},
    {VTR_DESTADDRREQ, "DESTADDRREQ", "destination address required"},
    {VTR_FAULT, "FAULT", "fault"},
    {VTR_HOSTUNREACH, "HOSTUNREACH", "host unreachable"},
    {VTR_INPROGRESS, "INPROGRESS", "operation in progress"},
    {VTR_ISCONN, "ISCONN", "socket already connected"},
    {VTR_MFILE, "MFILE", "too many open files"},
    {VTR_MSGSIZE, "MSGSIZE", "message too long"},
    {VTR_NETDOWN, "NETDOWN", "network down"},
    {VTR_NETRESET, "NETRESET", "network reset"},
    {VTR_NETUNREACH, "NETUNREACH", "network unreachable"},
    {VTR_NOBUFS, "NOBUFS", "no buffers"},
    {VTR_NODATA, "NODATA", "no data"},
    {VTR_NODEV, "NODEV", "no such device"},
    {VTR_NOPROTOOPT, "NOPROTOOPT", "protocol not available"},
    {VTR_NORECOVERY, "NORECOVERY", "non-recoverable error"},
    {VTR_NOTCONN, "NOTCONN", "not connected"},
    {VTR_NOTINITIALISED, "NOTINITIALISED", "not initialised"},
    {VTR_NOTSOCK, "NOTSOCK", "not a socket"},
    {VTR_PROTONOSUPPORT, "PROTONOSUPPORT", "unsupported protocol"},
    {VTR_PROTOTYPE, "PROTOTYPE", "wrong protocol type for socket"},
    {VTR_SHUTDOWN, "SHUTDOWN", "socket has shut down"},
    {VTR_SOCKTNOSUPPORT, "SOCKTNOSUPPORT", "socket type not supported"},
    {VTR_TRYAGAIN, "TRYAGAIN", "try again"},
    {VTR_NOTRUNNING, "NOTRUNNING", "not running"},
    {VTR_BANDWIDTH_EXCEEDED, "BANDWIDTH_EXCEEDED", "bandwidth exceeded"},
    {0, nullptr, nullptr},
};

const error_row *find_row(vtr_error error) {
    for (const error_row *row = error_table; row->name != nullptr; ++row) {
        if (row->value == error) {
            return row;
        }
    }
    return nullptr;
}

struct system_row {
    uint32_t system_code;
    vtr_error error;
};

// First match wins. Codes above 65535 match only themselves; every other code matches the
// low 16 bits of the code being translated.
const system_row system_table[] = {
    {0, VTR_SUCCESS},                 // ERROR_SUCCESS
    {87, VTR_INVALIDPARAMETER},       // ERROR_INVALID_PARAMETER
    {10022, VTR_INVALIDPARAMETER},    // WSAEINVAL
    {123, VTR_INVALIDPARAMETER},      // ERROR_INVALID_NAME
    {14, VTR_NOMEMORY},               // ERROR_OUTOFMEMORY
    {8, VTR_NOMEMORY},                // ERROR_NOT_ENOUGH_MEMORY
    {192, VTR_INTERRUPTED},           // WAIT_IO_COMPLETION
    {10004, VTR_INTERRUPTED},         // WSAEINTR
    {10045, VTR_NOTSUPPORTED},        // WSAEOPNOTSUPP
    {10060, VTR_TIMEDOUT},            // WSAETIMEDOUT
    {10035, VTR_TIMEDOUT},            // WSAEWOULDBLOCK
    {2, VTR_NOTFOUND},                // ERROR_FILE_NOT_FOUND
    {3, VTR_NOTFOUND},                // ERROR_PATH_NOT_FOUND
    {1060, VTR_NOTFOUND},             // ERROR_SERVICE_DOES_NOT_EXIST
    {0xE000020Bu, VTR_NOTFOUND},      // ERROR_NO_SUCH_DEVINST (setup API)
    {5, VTR_ACCES},                   // ERROR_ACCESS_DENIED
    {10013, VTR_ACCES},               // WSAEACCES
    {10048, VTR_ADDRINUSE},           // WSAEADDRINUSE
    {10049, VTR_ADDRNOTAVAIL},        // WSAEADDRNOTAVAIL
    {10047, VTR_AFNOSUPPORT},         // WSAEAFNOSUPPORT
    {10037, VTR_ALREADY},             // WSAEALREADY
    {5010, VTR_ALREADY},              // ERROR_OBJECT_ALREADY_EXISTS
    {10053, VTR_CONNABORTED},         // WSAECONNABORTED
    {10061, VTR_CONNREFUSED},         // WSAECONNREFUSED
    {10054, VTR_CONNRESET},           // WSAECONNRESET
    {10039, VTR_DESTADDRREQ},         // WSAEDESTADDRREQ
    {10014, VTR_FAULT},               // WSAEFAULT
    {10065, VTR_HOSTUNREACH},         // WSAEHOSTUNREACH
    {10036, VTR_INPROGRESS},          // WSAEINPROGRESS
    {10056, VTR_ISCONN},              // WSAEISCONN
    {10024, VTR_MFILE},               // WSAEMFILE
    {10040, VTR_MSGSIZE},             // WSAEMSGSIZE
    {10050, VTR_NETDOWN},             // WSAENETDOWN
    {10052, VTR_NETRESET},            // WSAENETRESET
    {10051, VTR_NETUNREACH},          // WSAENETUNREACH
    {67, VTR_NETUNREACH},             // ERROR_BAD_NET_NAME
    {1232, VTR_NETUNREACH},           // ERROR_HOST_UNREACHABLE
    {1231, VTR_NETUNREACH},           // ERROR_NETWORK_UNREACHABLE
    {31, VTR_NETUNREACH},             // ERROR_GEN_FAILURE
    {10055, VTR_NOBUFS},              // WSAENOBUFS
    {11004, VTR_NODATA},              // WSANO_DATA
    {10042, VTR_NOPROTOOPT},          // WSAENOPROTOOPT
    {11003, VTR_NORECOVERY},          // WSANO_RECOVERY
    {10057, VTR_NOTCONN},             // WSAENOTCONN
    {10093, VTR_NOTINITIALISED},      // WSANOTINITIALISED
    {10038, VTR_NOTSOCK},             // WSAENOTSOCK
    {10043, VTR_PROTONOSUPPORT},      // WSAEPROTONOSUPPORT
    {10041, VTR_PROTOTYPE},           // WSAEPROTOTYPE
    {10058, VTR_SHUTDOWN},            // WSAESHUTDOWN
    {10044, VTR_SOCKTNOSUPPORT},      // WSAESOCKTNOSUPPORT
    {11002, VTR_TRYAGAIN},            // WSATRY_AGAIN
    {0x800706D9u, VTR_NOTRUNNING},    // EPT_S_NOT_REGISTERED (1753) as a result code
};

} // namespace

const char *vtr_error_name(vtr_error error) {
    const error_row *row = find_row(error);
    return row != nullptr ? row->name : nullptr;
}

char *vtr_error_text(vtr_error error, char *buffer) {
    if (buffer == nullptr) {
        return nullptr;
    }
    if (error == VTR_SUCCESS) {
        vtr_strlcpy(buffer, "success", VTR_ERROR_TEXT_SIZE);
        return buffer;
    }
    if (error == VTR_SYSTEM) {
        // Read before anything else can overwrite the thread's last error.
        uint32_t code = vtr_last_system_error();
        vtr_snprintf(buffer, VTR_ERROR_TEXT_SIZE, "System error: %s: (0x%04x)",
                     vtr_system_error_text(code), code);
        return buffer;
    }
    const error_row *row = find_row(error);
    // A value without a row prints its missing text and name as "(null)".
    vtr_snprintf(buffer, VTR_ERROR_TEXT_SIZE, "%s: (0x%04x=%s)",
                 row != nullptr ? row->text : nullptr, error,
                 row != nullptr ? row->name : nullptr);
    return buffer;
}

vtr_error vtr_error_from_system(uint32_t system_code) {
    for (const system_row &row : system_table) {
        bool match = row.system_code > 0xFFFFu ? row.system_code == system_code
                                                : row.system_code == (system_code & 0xFFFFu);
        if (match) {
            return row.error;
        }
    }
    return VTR_SYSTEM;
}
