// The logger: level filtering, one formatting per message and six sinks.
#include "vtr/core_internal.h"
#include "vtr/vtr_log.h"

#include <cstdlib>
#include <cstring>

namespace {

const char *const level_names[] = {"None",   "Critical", "Error", "Warning",
                                   "Notice", "Info",     "Debug", "Verbose"};

enum : size_t {
    FORMAT_BUFFER_SIZE = 16384,
    NETWORK_DATAGRAM_SIZE = 1458,
    DEBUGGER_LINE_SIZE = 2048,
    TIMESTAMP_SIZE = 16, // "Dec  6 02:37:35" and the zero
    FAILURE_LINE_SIZE = 256,
};

void dispatch(vtr_logger *logger, uint32_t level, const vtr_time *time, const char *text,
              size_t length);

// A line about the logger's own trouble, logged as vtr_log would (stamped now, not with the
// failed message's time). It is formatted into a buffer of its own, so that the text still
// being dispatched from the format buffer stays intact.
void log_failure(vtr_logger *logger, uint32_t level, const char *format, ...)
    VTR_PRINTF_FORMAT(3, 4);

void log_failure(vtr_logger *logger, uint32_t level, const char *format, ...) {
    if (level > logger->level) {
        return;
    }
    char line[FAILURE_LINE_SIZE];
    va_list args;
    va_start(args, format);
    int n = vtr_vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n <= 0) {
        return;
    }
    size_t length = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    dispatch(logger, level, nullptr, line, length);
}

void write_line(FILE *stream, const char *timestamp, uint32_t level, const char *text,
                size_t length) {
    if (timestamp != nullptr) {
        fputs(timestamp, stream);
        fputc(' ', stream);
    }
    fputs(vtr_log_level_name(level), stream);
    fputc(' ', stream);
    fwrite(text, 1, length, stream);
    if (text[length - 1] != '\n') {
        fputc('\n', stream);
    }
    fflush(stream);
}

void send_network(vtr_logger *logger, uint32_t d, const char *timestamp, uint32_t level,
                  const char *text, size_t length) {
    char datagram[NETWORK_DATAGRAM_SIZE];
    int n = vtr_snprintf(datagram, sizeof datagram, "%s %c ", timestamp != nullptr ? timestamp : "",
                         vtr_log_level_name(level)[0]);
    size_t prefix = n > 0 ? static_cast<size_t>(n) : 0;
    vtr_error error = VTR_SUCCESS;
    size_t offset = 0;
    // The first datagram carries the prefix; the rest of the text follows in datagrams of at
    // most 1458 bytes of text each.
    while (offset < length && error == VTR_SUCCESS) {
        size_t room = sizeof datagram - prefix;
        size_t chunk = length - offset < room ? length - offset : room;
        memcpy(datagram + prefix, text + offset, chunk);
        size_t sent = prefix + chunk;
        error = vtr_socket_sendto(logger->net_socket[d], datagram, &sent, &logger->net_address[d]);
        if (error == VTR_SUCCESS && sent <= prefix) {
            error = VTR_FAULT; // nothing of the text went out
        }
        offset += chunk;
        prefix = 0;
    }
    if (error == VTR_SUCCESS) {
        return;
    }
    vtr_socket sock = logger->net_socket[d];
    if (error == VTR_NOTSOCK) {
        // Disabled for good. On POSIX the handle is a descriptor that is no socket, so it is
        // forgotten rather than closed: closing it could close someone else's file.
        memset(&logger->net_address[d], 0, sizeof logger->net_address[d]);
#if defined(_WIN32)
        vtr_socket_close(&logger->net_socket[d]);
#endif
        logger->net_socket[d] = VTR_SOCKET_INVALID;
        log_failure(logger, VTR_LOG_ERROR,
                    "vtr_log: bad network logging socket %d - network logging disabled: %s (%d)",
                    static_cast<int>(sock), vtr_error_name(error), static_cast<int>(error));
        return;
    }
    char address[50];
    vtr_address_to_string(&logger->net_address[d], address, sizeof address);
    logger->net_socket[d] = VTR_SOCKET_INVALID; // the line about it is not sent to it
    log_failure(logger, VTR_LOG_NOTICE, "vtr_log: network logging to %s (fd %d) failed: %s (%d)",
                address, static_cast<int>(sock), vtr_error_name(error), static_cast<int>(error));
    logger->net_socket[d] = sock;
}

void dispatch(vtr_logger *logger, uint32_t level, const vtr_time *time, const char *text,
              size_t length) {
    if (length == 0) {
        return;
    }
    char timestamp[TIMESTAMP_SIZE];
    timestamp[0] = '\0';
    if (logger->timestamp_flags != 0) {
        // "Sun Dec  6 02:37:35 2026\n" from the month on: "Dec  6 02:37:35".
        char text_form[VTR_TIME_TEXT_SIZE];
        memset(text_form, 0, sizeof text_form);
        vtr_time_text(time, text_form);
        vtr_snprintf(timestamp, sizeof timestamp, "%15.15s",
                     strlen(text_form) > 4 ? text_form + 4 : "");
    }
    uint32_t flags = logger->timestamp_flags;
    auto stamp = [&](uint32_t flag) -> const char * {
        return (flags & flag) != 0 ? timestamp : nullptr;
    };
    const uint32_t *sink_level = logger->sink_level;
    if (level <= sink_level[VTR_SINK_STDOUT]) {
        write_line(stdout, stamp(VTR_STAMP_STDOUT), level, text, length);
    }
    if (level <= sink_level[VTR_SINK_STDERR]) {
        write_line(stderr, stamp(VTR_STAMP_STDERR), level, text, length);
    }
    if (level <= sink_level[VTR_SINK_FILE] && logger->file != nullptr) {
        write_line(logger->file, stamp(VTR_STAMP_FILE), level, text, length);
    }
    if (level <= sink_level[VTR_SINK_NETWORK]) {
        for (uint32_t d = 0; d < 2; ++d) {
            if (vtr_socket_is_valid(logger->net_socket[d])) {
                send_network(logger, d, stamp(VTR_STAMP_NETWORK), level, text, length);
            }
        }
    }
    if (level <= sink_level[VTR_SINK_DEBUGGER]) {
        char line[DEBUGGER_LINE_SIZE];
        int text_length =
            length > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(length);
        if (logger->name[0] != '\0') {
            vtr_snprintf(line, sizeof line, "%s:%s:%.*s", logger->name, vtr_log_level_name(level),
                         text_length, text);
        } else {
            vtr_snprintf(line, sizeof line, "%s:%.*s", vtr_log_level_name(level), text_length,
                         text);
        }
        vtr_debugger_output(line);
    }
    if (level <= sink_level[VTR_SINK_CALLBACK] && logger->callback != nullptr) {
        logger->callback(logger, stamp(VTR_STAMP_CALLBACK), level, text, length);
    }
}

} // namespace

const char *vtr_log_level_name(uint32_t level) {
    return level < sizeof level_names / sizeof level_names[0] ? level_names[level] : "Undef";
}

vtr_error vtr_logger_new(vtr_logger **logger) {
    if (logger == nullptr) {
        return VTR_INVALIDPARAMETER;
    }
    vtr_logger *l = static_cast<vtr_logger *>(calloc(1, sizeof(vtr_logger)));
    if (l == nullptr) {
        return VTR_NOMEMORY;
    }
    l->net_socket[0] = VTR_SOCKET_INVALID;
    l->net_socket[1] = VTR_SOCKET_INVALID;
    l->timestamp_flags = VTR_STAMP_STDOUT | VTR_STAMP_STDERR | VTR_STAMP_FILE;
    *logger = l;
    return VTR_SUCCESS;
}

void vtr_logger_delete(vtr_logger *logger) {
    if (logger == nullptr) {
        return;
    }
    for (vtr_socket &sock : logger->net_socket) {
        if (vtr_socket_is_valid(sock)) {
            vtr_socket_close(&sock);
        }
    }
    if (!logger->buffer_external) {
        free(logger->buffer);
    }
    free(logger);
}

uint32_t vtr_logger_get_level(const vtr_logger *logger, uint32_t sink) {
    if (logger == nullptr || sink >= VTR_SINK_COUNT) {
        return VTR_LOG_NONE;
    }
    return logger->sink_level[sink];
}

void vtr_logger_set_level(vtr_logger *logger, uint32_t sink, uint32_t level) {
    if (logger != nullptr && sink < VTR_SINK_COUNT) {
        logger->sink_level[sink] = level;
    }
}

void vtr_logger_set_overall_level(vtr_logger *logger, uint32_t level) {
    if (logger != nullptr) {
        logger->level = level;
    }
}

vtr_error vtr_logger_set_network(vtr_logger *logger, uint32_t index, const vtr_address *address) {
    if (logger == nullptr || index >= 2) {
        return VTR_INVALIDPARAMETER;
    }
    vtr_socket_close(&logger->net_socket[index]);
    memset(&logger->net_address[index], 0, sizeof logger->net_address[index]);
    if (address == nullptr) {
        return VTR_SUCCESS;
    }
    vtr_socket sock = VTR_SOCKET_INVALID;
    vtr_error error = vtr_socket_open_udp(&sock, address->addr.family);
    if (error != VTR_SUCCESS) {
        return error;
    }
    logger->net_address[index] = *address;
    logger->net_socket[index] = sock;
    return VTR_SUCCESS;
}

void vtr_log(vtr_logger *logger, uint32_t level, const char *format, ...) {
    if (logger == nullptr || level > logger->level) {
        return;
    }
    va_list args;
    va_start(args, format);
    vtr_vlog(logger, level, nullptr, format, args);
    va_end(args);
}

void vtr_vlog(vtr_logger *logger, uint32_t level, const vtr_time *time, const char *format,
              va_list args) {
    if (logger == nullptr || format == nullptr) {
        return;
    }
    if (logger->buffer == nullptr) {
        if (logger->buffer_external) {
            return; // the buffer should come from outside and is not there
        }
        logger->buffer = static_cast<char *>(calloc(1, FORMAT_BUFFER_SIZE));
        if (logger->buffer == nullptr) {
            return;
        }
        logger->buffer_size = FORMAT_BUFFER_SIZE;
    }
    if (logger->buffer_size == 0) {
        return;
    }
    int n = vtr_vsnprintf(logger->buffer, logger->buffer_size, format, args);
    if (n <= 0) {
        return;
    }
    size_t length = static_cast<size_t>(n);
    if (length >= logger->buffer_size) {
        length = logger->buffer_size - 1;
    }
    dispatch(logger, level, time, logger->buffer, length);
}
