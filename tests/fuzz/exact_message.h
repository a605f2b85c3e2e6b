// A message record on the heap whose buffer ends exactly where the datagram ends, so that
// AddressSanitizer reports any read past it (a full-size record would hide such reads among
// stale bytes).
#pragma once

#include "sbcp2/sbcp2_message.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

struct ExactMessageFree {
    void operator()(sbcp2_message *msg) const { std::free(msg); }
};
using ExactMessage = std::unique_ptr<sbcp2_message, ExactMessageFree>;

// Room for `length` bytes of buffer, filled from `data` when given.
inline ExactMessage exact_message(const uint8_t *data, size_t length) {
    auto *msg = static_cast<sbcp2_message *>(std::malloc(offsetof(sbcp2_message, buffer) + length));
    if (msg == nullptr) {
        std::abort();
    }
    sbcp2_message_init_record(msg);
    if (data != nullptr && length != 0) {
        std::memcpy(msg->buffer, data, length);
    }
    return ExactMessage(msg);
}
