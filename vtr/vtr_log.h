// Levelled logging to six sinks, the runtime's bounded formatter and wide-text printing.
#pragma once

#include "vtr/vtr_error.h"
#include "vtr/vtr_socket.h"
#include "vtr/vtr_time.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Callers use plain C conversions; mingw would otherwise check them against the MS runtime.
#if defined(__MINGW32__)
#define VTR_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define VTR_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

enum : uint32_t {
    VTR_LOG_NONE = 0,
    VTR_LOG_CRITICAL = 1,
    VTR_LOG_ERROR = 2,
    VTR_LOG_WARNING = 3,
    VTR_LOG_NOTICE = 4,
    VTR_LOG_INFO = 5,
    VTR_LOG_DEBUG = 6,
    VTR_LOG_VERBOSE = 7,
};

// Sink indexes, in the order of the logger's thresholds.
enum : uint32_t {
    VTR_SINK_NETWORK = 0,
    VTR_SINK_STDOUT = 1,
    VTR_SINK_STDERR = 2,
    VTR_SINK_FILE = 3,
    VTR_SINK_DEBUGGER = 4,
    VTR_SINK_CALLBACK = 5,
    VTR_SINK_COUNT = 6,
};

// Timestamp flags, one bit per sink.
enum : uint32_t {
    VTR_STAMP_NETWORK = 1,
    VTR_STAMP_STDOUT = 2,
    VTR_STAMP_STDERR = 4,
    VTR_STAMP_FILE = 8,
    VTR_STAMP_DEBUGGER = 16,
    VTR_STAMP_CALLBACK = 32,
};

struct vtr_logger;
typedef void (*vtr_log_callback)(vtr_logger *logger, const char *timestamp, uint32_t level,
                                 const char *text, size_t length);

struct vtr_logger {
    char name[128];
    uint32_t level;                    // overall threshold
    uint32_t sink_level[VTR_SINK_COUNT];
    uint32_t timestamp_flags;          // 14 by default
    FILE *file;
    vtr_address net_address[2];
    vtr_socket net_socket[2];
    vtr_log_callback callback;
    void *callback_context;
    char *buffer;
    size_t buffer_size;
    bool buffer_external;
};

const char *vtr_log_level_name(uint32_t level); // "Undef" above 7

vtr_error vtr_logger_new(vtr_logger **logger);
void vtr_logger_delete(vtr_logger *logger);
uint32_t vtr_logger_get_level(const vtr_logger *logger, uint32_t sink);
void vtr_logger_set_level(vtr_logger *logger, uint32_t sink, uint32_t level);
void vtr_logger_set_overall_level(vtr_logger *logger, uint32_t level);
// Opens a UDP socket to the destination (index 0 or 1); nullptr clears it.
vtr_error vtr_logger_set_network(vtr_logger *logger, uint32_t index, const vtr_address *address);

void vtr_log(vtr_logger *logger, uint32_t level, const char *format, ...)
    VTR_PRINTF_FORMAT(3, 4);
void vtr_vlog(vtr_logger *logger, uint32_t level, const vtr_time *time, const char *format,
              va_list args);

// The runtime's bounded formatter: at most size - 1 characters and a zero; returns the
// length of the complete output. Length characters are those of "2346hIlw" only: "ll", "l"
// (the platform's long), "h", "hh" and the Windows "I64", "I32", "I". There is no 'z', 'j',
// 't' or 'L' (such a conversion prints as text without its '%'): print a size_t as
// "%llu" with a cast to unsigned long long. %S and %ls take UTF-16 (char16_t) text.
int vtr_snprintf(char *buffer, size_t size, const char *format, ...)
    VTR_PRINTF_FORMAT(3, 4);
int vtr_vsnprintf(char *buffer, size_t size, const char *format, va_list args);

// ASCII wide text as its letters; any other as "%04x" code units separated by blanks.
char *vtr_wide_to_text(const char16_t *wide, char *buffer, size_t size);
