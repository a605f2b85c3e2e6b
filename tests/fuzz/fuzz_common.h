// Shared by the fuzz targets.
#pragma once

#include "sbcp2/sbcp2_message.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

inline void require(bool ok, const char *what = "check failed") {
    if (!ok) {
        std::fprintf(stderr, "fuzz: %s\n", what);
        std::abort();
    }
}

template <typename T, size_t N> void require_terminated(const T (&text)[N]) {
    require(std::find(text, text + N, T(0)) != text + N, "unterminated text");
}

// A logger that formats everything and keeps nothing.
inline vtr_logger *verbose_logger() {
    static vtr_logger *logger = [] {
        vtr_logger *l = nullptr;
        require(vtr_logger_new(&l) == VTR_SUCCESS, "no logger");
        l->callback = [](vtr_logger *, const char *, uint32_t, const char *, size_t) {};
        vtr_logger_set_overall_level(l, VTR_LOG_VERBOSE);
        vtr_logger_set_level(l, VTR_SINK_CALLBACK, VTR_LOG_VERBOSE);
        return l;
    }();
    return logger;
}

// A message record on the heap whose buffer ends exactly where the datagram ends, so that
// AddressSanitizer reports any read past it (a full-size record would hide such reads among
// stale bytes).
using ExactMessage = std::unique_ptr<sbcp2_message, decltype(&std::free)>;

// Room for `length` bytes of buffer, filled from `data` when given.
inline ExactMessage exact_message(const uint8_t *data, size_t length) {
    auto *msg = static_cast<sbcp2_message *>(std::malloc(offsetof(sbcp2_message, buffer) + length));
    require(msg != nullptr, "out of memory");
    sbcp2_message_init_record(msg);
    if (data != nullptr && length != 0)
        std::memcpy(msg->buffer, data, length);
    return ExactMessage(msg, &std::free);
}
