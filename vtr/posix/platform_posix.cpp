// Platform start-up and debugger output on POSIX.
#include "vtr/core_internal.h"
#include "vtr/vtr_socket.h"
#include "vtr/vtr_text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

// Nothing needs starting: sockets need no library start-up, the window class of the Windows
// power-state monitor has no counterpart, and the runtime only uses datagram sockets, whose
// sends raise no SIGPIPE.
vtr_error vtr_platform_init(void) { return VTR_SUCCESS; }

// POSIX has no debugger output channel. A line goes to the file descriptor named by the
// environment variable VTR_DEBUG_OUTPUT_FD when it is set to a descriptor number (a developer
// can point it at a pipe or a terminal, e.g. VTR_DEBUG_OUTPUT_FD=2); otherwise it is dropped,
// as OutputDebugStringA's output is when no debugger listens. The line is written as it is,
// with no newline added.
void vtr_debugger_output(const char *text) {
    const char *name = getenv("VTR_DEBUG_OUTPUT_FD");
    uint64_t fd = 0;
    if (name == nullptr ||
        !vtr_parse_uint_strict(name, strlen(name), 65535, VTR_PARSE_DECIMAL, &fd)) {
        return;
    }
    int saved = errno;
    size_t length = strlen(text);
    while (length > 0) {
        ssize_t n = write(static_cast<int>(fd), text, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        text += n;
        length -= static_cast<size_t>(n);
    }
    errno = saved;
}
