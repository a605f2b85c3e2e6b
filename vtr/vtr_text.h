// Text conversions of the whole program: UTF-16 <-> UTF-8 and reading numbers.
//
// Header-only on purpose: the front end links nothing but the exported API, and it converts
// interface names and reads its number arguments with these same rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What a lone surrogate in UTF-16 text does.
enum : uint32_t {
    VTR_UTF16_REPLACE = 0, // it becomes U+FFFD
    VTR_UTF16_STRICT = 1,  // it fails the conversion
};

// vtr_utf16_to_utf8's result for text that VTR_UTF16_STRICT refuses.
constexpr size_t VTR_UTF_INVALID = SIZE_MAX;

// The code point at text[*i] of text with `units` code units; *i moves past it. A surrogate
// pair is one code point, a lone surrogate comes back as itself.
inline uint32_t vtr_utf16_next(const char16_t *text, size_t units, size_t *i) {
    uint32_t cp = text[(*i)++];
    if (cp >= 0xD800 && cp <= 0xDBFF && *i < units && text[*i] >= 0xDC00 && text[*i] <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (text[(*i)++] - 0xDC00u);
    }
    return cp;
}

// The UTF-8 of one code point in out (room for 4 bytes); returns its byte count.
inline size_t vtr_utf8_encode(uint32_t cp, char *out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    size_t n = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    static const unsigned char lead[5] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (size_t k = n - 1; k > 0; --k, cp >>= 6) {
        out[k] = static_cast<char>(0x80 | (cp & 0x3F));
    }
    out[0] = static_cast<char>(lead[n] | cp);
    return n;
}

// UTF-16 text (none counts as empty), up to its NUL or `units` code units (SIZE_MAX: up to
// its NUL), as UTF-8 in buffer: at most size - 1 bytes, never part of a character, then a NUL
// (when size > 0). Returns the byte length of the whole text in UTF-8, as vtr_strlcpy does,
// or VTR_UTF_INVALID when the rule is VTR_UTF16_STRICT and the text holds a lone surrogate.
inline size_t vtr_utf16_to_utf8(const char16_t *text, size_t units, uint32_t rule, char *buffer,
                                size_t size) {
    size_t length = 0;
    bool full = buffer == nullptr || size == 0;
    if (!full) {
        buffer[0] = '\0';
    }
    for (size_t i = 0; text != nullptr && i < units && text[i] != 0;) {
        uint32_t cp = vtr_utf16_next(text, units, &i);
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            if (rule == VTR_UTF16_STRICT) {
                return VTR_UTF_INVALID;
            }
            cp = 0xFFFD;
        }
        char bytes[4];
        size_t n = vtr_utf8_encode(cp, bytes);
        // The first character that does not fit ends the output, so none is ever split.
        full = full || length + n > size - 1;
        if (!full) {
            for (size_t k = 0; k < n; ++k) {
                buffer[length + k] = bytes[k];
            }
            buffer[length + n] = '\0';
        }
        length += n;
    }
    return length;
}

// vtr_utf16_to_utf8 into a string; false, and the string empty, for text that the strict rule
// refuses.
inline bool vtr_utf16_to_utf8_string(const char16_t *text, size_t units, uint32_t rule,
                                     std::string *out) {
    size_t length = vtr_utf16_to_utf8(text, units, rule, nullptr, 0);
    if (length == VTR_UTF_INVALID) {
        out->clear();
        return false;
    }
    out->assign(length, '\0');
    vtr_utf16_to_utf8(text, units, rule, out->data(), length + 1);
    return true;
}

// UTF-8 text of `length` bytes (SIZE_MAX: up to its NUL) as NUL-terminated UTF-16 in buffer.
// Strict: a malformed, cut or overlong sequence, an encoded surrogate, a value above U+10FFFF
// or a NUL within `length` fails. Returns the code units written, the NUL included; with no
// buffer (or capacity 0) the units needed; 0 when the text fails or does not fit.
inline size_t vtr_utf8_to_utf16_strict(const char *text, size_t length, char16_t *buffer,
                                       size_t capacity) {
    if (text == nullptr) {
        return 0;
    }
    bool measure = buffer == nullptr || capacity == 0;
    size_t units = 0;
    size_t i = 0;
    while (length == SIZE_MAX ? text[i] != '\0' : i < length) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : 3;
        if (extra == 3 && (lead & 0xF8) != 0xF0) {
            return 0;
        }
        static const uint32_t min_for[4] = {0, 0x80, 0x800, 0x10000};
        static const unsigned char lead_bits[4] = {0x7F, 0x1F, 0x0F, 0x07};
        uint32_t cp = lead & lead_bits[extra];
        for (size_t k = 1; k <= extra; ++k) {
            // Within a NUL-terminated text the NUL fails here too.
            if (length != SIZE_MAX && i + k >= length) {
                return 0;
            }
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return 0;
            }
            cp = (cp << 6) | (next & 0x3F);
        }
        if (cp == 0 || cp < min_for[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return 0;
        }
        i += extra + 1;
        size_t need = cp >= 0x10000 ? 2 : 1;
        if (!measure && units + need + 1 > capacity) {
            return 0;
        }
        if (!measure && need == 2) {
            buffer[units] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            buffer[units + 1] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else if (!measure) {
            buffer[units] = static_cast<char16_t>(cp);
        }
        units += need;
    }
    if (!measure) {
        if (units + 1 > capacity) {
            return 0;
        }
        buffer[units] = 0;
    }
    return units + 1;
}

// The value of a digit in bases up to 16; 16 for anything else.
inline unsigned vtr_digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<unsigned>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<unsigned>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<unsigned>(c - 'A' + 10);
    }
    return 16;
}

// The run of decimal digits at the start of text (at most `length` bytes; SIZE_MAX: it ends at
// the first other character), its value saturating at `cap`. Returns the digits read. For
// prefixes such as a formatter's width or the console's lenient argument.
inline size_t vtr_parse_digits_saturating(const char *text, size_t length, uint64_t cap,
                                          uint64_t *value) {
    uint64_t v = 0;
    size_t i = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        unsigned d = static_cast<unsigned>(text[i] - '0');
        v = d > cap || v > (cap - d) / 10 ? cap : v * 10 + d;
    }
    *value = v;
    return i;
}

// Reading rules for vtr_parse_uint_strict.
enum : uint32_t {
    VTR_PARSE_DECIMAL = 0,
    VTR_PARSE_HEX_PREFIX = 1, // "0x" or "0X" and hexadecimal digits are read too
};

// The whole text of `length` bytes as an unsigned number no greater than max: decimal digits,
// or with VTR_PARSE_HEX_PREFIX also "0x" and hexadecimal digits. No sign, no blanks; false
// for anything else, empty text included.
inline bool vtr_parse_uint_strict(const char *text, size_t length, uint64_t max, uint32_t rule,
                                  uint64_t *value) {
    unsigned base = 10;
    size_t i = 0;
    if ((rule & VTR_PARSE_HEX_PREFIX) != 0 && length > 2 && text[0] == '0' &&
        (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= length) {
        return false;
    }
    uint64_t v = 0;
    for (; i < length; ++i) {
        unsigned d = vtr_digit_value(text[i]);
        if (d >= base || d > max || v > (max - d) / base) {
            return false;
        }
        v = v * base + d;
    }
    *value = v;
    return true;
}
