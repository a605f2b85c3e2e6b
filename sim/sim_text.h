// Small text conversions shared by the state keys and the trace.
#pragma once

#include "client/nyx_records.h"

#include <cstdint>
#include <cstring>
#include <string>

std::string nyxsim_mac_text(const uint8_t mac[6]);
std::string nyxsim_ip_text(const uint8_t ip[4]);
std::string nyxsim_hex16(uint32_t value);

// The text of a terminated (or full) fixed-size field.
template <size_t N> std::string nyxsim_field_text(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// False, with the field unchanged, when the text does not fit with its terminator.
template <size_t N> bool nyxsim_field_set(char (&field)[N], const std::string &text) {
    if (text.size() >= N || text.find('\0') != std::string::npos)
        return false;
    memset(field, 0, N);
    memcpy(field, text.data(), text.size());
    return true;
}

// The first `count` entries of a list (at most NYX_LIST_MAX), each as text(entry).
template <typename T, typename Text>
std::string nyxsim_join(const T *entries, uint16_t count, const char *separator, Text text) {
    std::string out;
    for (uint16_t i = 0; i < count && i < NYX_LIST_MAX; ++i) {
        if (i)
            out += separator;
        out += text(entries[i]);
    }
    return out;
}

template <typename T>
std::string nyxsim_join_numbers(const T *entries, uint16_t count, const char *separator) {
    return nyxsim_join(entries, count, separator, [](T v) { return std::to_string(v); });
}
