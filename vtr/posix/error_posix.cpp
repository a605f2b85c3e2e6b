// errno as the runtime's last system error, and its translation.
#include "vtr/vtr_error.h"
#include "vtr/vtr_socket.h"

#include <cerrno>
#include <cstring>

uint32_t vtr_last_system_error(void) { return static_cast<uint32_t>(errno); }

// The meanings callers rely on are those of the Windows table: would-block is TIMEDOUT,
// an interrupted call INTERRUPTED, and so on. A refused connection reported by a receive is
// translated to CONNRESET by the socket layer itself.
vtr_error vtr_error_from_last_system(void) {
    int code = errno;
    switch (code) {
    case 0:
        return VTR_SUCCESS;
    case EINVAL:
    case ENAMETOOLONG:
        return VTR_INVALIDPARAMETER;
    case ENOMEM:
        return VTR_NOMEMORY;
    case EINTR:
        return VTR_INTERRUPTED;
    case EOPNOTSUPP:
#if defined(ENOTSUP) && ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
        return VTR_NOTSUPPORTED;
    case ETIMEDOUT:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return VTR_TIMEDOUT;
    case ENOENT:
        return VTR_NOTFOUND;
    case EACCES:
    case EPERM:
        return VTR_ACCES;
    case EADDRINUSE:
        return VTR_ADDRINUSE;
    case EADDRNOTAVAIL:
        return VTR_ADDRNOTAVAIL;
    case EAFNOSUPPORT:
        return VTR_AFNOSUPPORT;
    case EALREADY:
    case EEXIST:
        return VTR_ALREADY;
    case EBADF:
        return VTR_BADF;
    case ECONNABORTED:
        return VTR_CONNABORTED;
    case ECONNREFUSED:
        return VTR_CONNREFUSED;
    case ECONNRESET:
        return VTR_CONNRESET;
    case EDESTADDRREQ:
        return VTR_DESTADDRREQ;
    case EFAULT:
        return VTR_FAULT;
    case EHOSTUNREACH:
        return VTR_HOSTUNREACH;
    case EINPROGRESS:
        return VTR_INPROGRESS;
    case EISCONN:
        return VTR_ISCONN;
    case EMFILE:
    case ENFILE:
        return VTR_MFILE;
    case EMSGSIZE:
        return VTR_MSGSIZE;
    case ENETDOWN:
        return VTR_NETDOWN;
    case ENETRESET:
        return VTR_NETRESET;
    case ENETUNREACH:
        return VTR_NETUNREACH;
    case ENOBUFS:
        return VTR_NOBUFS;
    case ENODEV:
        return VTR_NODEV;
    case ENOPROTOOPT:
        return VTR_NOPROTOOPT;
    case ENOTCONN:
        return VTR_NOTCONN;
    case ENOTSOCK:
        return VTR_NOTSOCK;
    case EPROTONOSUPPORT:
        return VTR_PROTONOSUPPORT;
    case EPROTOTYPE:
        return VTR_PROTOTYPE;
    case ESHUTDOWN:
    case EPIPE:
        return VTR_SHUTDOWN;
    case ESOCKTNOSUPPORT:
        return VTR_SOCKTNOSUPPORT;
    default:
        return VTR_SYSTEM;
    }
}

namespace {
char system_text[1024];

// strerror_r comes in two flavours; both are handled without knowing which one this is.
[[maybe_unused]] const char *pick_text(int result, char *buffer) {
    return result == 0 ? buffer : "";
}
[[maybe_unused]] const char *pick_text(const char *result, char *) {
    return result != nullptr ? result : "";
}
} // namespace

const char *vtr_system_error_text(uint32_t system_code) {
    if (system_code == 0) {
        system_text[0] = '\0';
        return system_text;
    }
    int saved = errno;
    char local[sizeof system_text];
    local[0] = '\0';
    const char *text = pick_text(strerror_r(static_cast<int>(system_code), local, sizeof local),
                                 local);
    vtr_strlcpy(system_text, text, sizeof system_text);
    errno = saved;
    return system_text;
}
