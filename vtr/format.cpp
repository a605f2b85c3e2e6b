// The runtime's bounded formatter and the printing of wide text.
//
// Conversions are '%', flags from "-+0 #", a width (digits or '*'), an optional precision
// ('.' and digits or '*'), at most three length characters from "2346hIlw" and a conversion
// character from "cdeEfFgGinopsSuxX". Each conversion is rendered by the C library's own
// snprintf from a conversion text rebuilt for it, so that the Windows length forms render
// the same on every build:
// - d i o u x X: "I64", "ll" and "I" take a 64-bit integer (passed on as "ll"); "l" takes a
//   long (32-bit on Windows, 64-bit on Linux, as the callers' format checking expects); "h"
//   and "hh" take an int rendered as short and char; anything else takes a 32-bit int.
// - e E f F g G take a double; length characters are ignored.
// - c takes a 32-bit int; with "l" or "w" (and no "h") it is a 16-bit wide character.
// - s takes a narrow string, or a wide one with "l" or "w"; S takes a wide string unless "h"
//   is given. Wide text is UTF-16 (char16_t) on every build, whatever the size of wchar_t;
//   it is rendered as UTF-8, a lone surrogate as U+FFFD, and a precision counts bytes
//   without splitting a character. An absent string of either width renders "(null)", cut
//   by the precision.
// - p takes a pointer, rendered by the C library.
// - n takes a pointer to an integer of the size the length characters name and stores the
//   number of characters of the complete output so far; it renders nothing.
// A '*' width or precision takes a 32-bit int before the value. A missing or unlisted
// conversion character drops the '%' and copying resumes behind it; "%%" gives "%". A width
// or precision that the C library cannot render (beyond INT_MAX) renders nothing.
#include "vtr/vtr_log.h"
#include "vtr/vtr_text.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <typename... A> int host_snprintf(char *buffer, size_t size, const char *format, A... args) {
#if defined(__MINGW32__)
    // The C99 formatter of the mingw runtime, not the one of the Microsoft C library.
    return __mingw_snprintf(buffer, size, format, args...);
#else
    return snprintf(buffer, size, format, args...);
#endif
}

struct output {
    char *buffer;
    size_t size;
    size_t length; // of the complete output so far, written or not

    bool has_room() const { return buffer != nullptr && size > 0 && length < size - 1; }

    void append(const char *text, size_t n) {
        if (has_room()) {
            size_t room = size - 1 - length;
            memcpy(buffer + length, text, n < room ? n : room);
        }
        length += n;
    }

    // The C library renders straight into the room that is left; its result is the length
    // of the whole rendering.
    template <typename... A> void render(const char *conversion, A... args) {
        int n = has_room() ? host_snprintf(buffer + length, size - length, conversion, args...)
                           : host_snprintf(nullptr, 0, conversion, args...);
        if (n > 0) {
            length += static_cast<size_t>(n);
        }
    }
};

struct conversion {
    bool minus = false, plus = false, zero = false, space = false, hash = false;
    bool width_star = false;
    long long width = -1; // -1: none
    bool precision_star = false;
    long long precision = -1; // -1: none
    char length[4] = {0, 0, 0, 0};
    char type = 0;

    bool length_is(const char *text) const { return strcmp(length, text) == 0; }
    bool length_has(char c) const { return strchr(length, c) != nullptr && c != 0; }
};

// A width or precision; anything beyond INT_MAX stays beyond it, and renders nothing.
const char *parse_number(const char *p, long long *value) {
    uint64_t v = 0;
    p += vtr_parse_digits_saturating(p, SIZE_MAX, uint64_t{INT_MAX} + 1, &v);
    *value = static_cast<long long>(v);
    return p;
}

// Builds "%<flags><width>.<precision><host length><type>"; false when a width or precision
// cannot be rendered. The text never exceeds 31 characters.
bool conversion_text(const conversion &c, const char *host_length, char type, bool with_precision,
                     char *text, size_t size) {
    if (c.width > INT_MAX || c.precision > INT_MAX) {
        return false;
    }
    char *t = text;
    *t++ = '%';
    if (c.minus) *t++ = '-';
    if (c.plus) *t++ = '+';
    if (c.zero) *t++ = '0';
    if (c.space) *t++ = ' ';
    if (c.hash) *t++ = '#';
    size_t used = static_cast<size_t>(t - text);
    int n = 0;
    if (c.width >= 0) {
        n = snprintf(t, size - used, "%lld", c.width);
        used += static_cast<size_t>(n);
    }
    if (with_precision && c.precision >= 0) {
        n = snprintf(text + used, size - used, ".%lld", c.precision);
        used += static_cast<size_t>(n);
    }
    snprintf(text + used, size - used, "%s%c", host_length, type);
    return true;
}

enum class int_size { i32, i64, long_, short_, char_ };

int_size integer_size(const conversion &c) {
    if (c.length_is("I64") || c.length_is("ll") || c.length_is("I")) {
        return int_size::i64;
    }
    if (c.length_is("l")) {
        return int_size::long_;
    }
    if (c.length_is("h")) {
        return int_size::short_;
    }
    if (c.length_is("hh")) {
        return int_size::char_;
    }
    return int_size::i32;
}

// The wide text as UTF-8, at most limit bytes and never half a character.
class wide_text {
  public:
    wide_text(const char16_t *wide, size_t limit) {
        size_t length = vtr_utf16_to_utf8(wide, SIZE_MAX, VTR_UTF16_REPLACE, nullptr, 0);
        size_t needed = length < limit ? length : limit;
        // The runtime's scratch size; longer text doubles it on the heap until it fits.
        size_t capacity = sizeof scratch_;
        if (needed + 1 > capacity) {
            while (needed + 1 > capacity) {
                capacity *= 2;
            }
            heap_ = static_cast<char *>(malloc(capacity));
            if (heap_ == nullptr) {
                return;
            }
        }
        char *out = heap_ != nullptr ? heap_ : scratch_;
        vtr_utf16_to_utf8(wide, SIZE_MAX, VTR_UTF16_REPLACE, out, needed + 1);
        text_ = out;
    }
    ~wide_text() { free(heap_); }
    wide_text(const wide_text &) = delete;
    wide_text &operator=(const wide_text &) = delete;

    const char *text() const { return text_; } // nullptr when memory ran out

  private:
    char scratch_[2052];
    char *heap_ = nullptr;
    const char *text_ = nullptr;
};

void render_string(output &out, const conversion &c, bool wide, const void *value) {
    char text[32];
    if (value == nullptr || !wide) {
        const char *s = value != nullptr ? static_cast<const char *>(value) : "(null)";
        if (conversion_text(c, "", 's', true, text, sizeof text)) {
            out.render(text, s);
        }
        return;
    }
    size_t limit = c.precision >= 0 ? static_cast<size_t>(c.precision) : SIZE_MAX;
    wide_text utf8(static_cast<const char16_t *>(value), limit);
    if (utf8.text() != nullptr && conversion_text(c, "", 's', false, text, sizeof text)) {
        out.render(text, utf8.text());
    }
}

void render_char(output &out, const conversion &c, bool wide, int value) {
    char text[32];
    if (wide && value != 0) {
        char bytes[5];
        const char16_t unit = static_cast<char16_t>(value);
        vtr_utf16_to_utf8(&unit, 1, VTR_UTF16_REPLACE, bytes, sizeof bytes);
        if (conversion_text(c, "", 's', false, text, sizeof text)) {
            out.render(text, static_cast<const char *>(bytes));
        }
        return;
    }
    if (conversion_text(c, "", 'c', false, text, sizeof text)) {
        out.render(text, value);
    }
}

void store_count(const conversion &c, void *target, size_t count) {
    if (target == nullptr) {
        return;
    }
    long long n = count > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<long long>(count);
    switch (integer_size(c)) {
    case int_size::char_:
        *static_cast<signed char *>(target) = static_cast<signed char>(n);
        break;
    case int_size::short_:
        *static_cast<short *>(target) = static_cast<short>(n);
        break;
    case int_size::long_:
        *static_cast<long *>(target) = static_cast<long>(n);
        break;
    case int_size::i64:
        *static_cast<long long *>(target) = n;
        break;
    case int_size::i32:
        *static_cast<int *>(target) = static_cast<int>(n);
        break;
    }
}

void render_integer(output &out, const conversion &c, va_list *ap) {
    bool is_signed = c.type == 'd' || c.type == 'i';
    char text[32];
    switch (integer_size(c)) {
    case int_size::i64:
        if (is_signed) {
            long long v = va_arg(*ap, long long);
            if (conversion_text(c, "ll", c.type, true, text, sizeof text)) out.render(text, v);
        } else {
            unsigned long long v = va_arg(*ap, unsigned long long);
            if (conversion_text(c, "ll", c.type, true, text, sizeof text)) out.render(text, v);
        }
        break;
    case int_size::long_:
        if (is_signed) {
            long v = va_arg(*ap, long);
            if (conversion_text(c, "l", c.type, true, text, sizeof text)) out.render(text, v);
        } else {
            unsigned long v = va_arg(*ap, unsigned long);
            if (conversion_text(c, "l", c.type, true, text, sizeof text)) out.render(text, v);
        }
        break;
    case int_size::short_:
    case int_size::char_: {
        const char *host = integer_size(c) == int_size::short_ ? "h" : "hh";
        if (is_signed) {
            int v = va_arg(*ap, int);
            if (conversion_text(c, host, c.type, true, text, sizeof text)) out.render(text, v);
        } else {
            unsigned v = va_arg(*ap, unsigned);
            if (conversion_text(c, host, c.type, true, text, sizeof text)) out.render(text, v);
        }
        break;
    }
    case int_size::i32:
        if (is_signed) {
            int v = va_arg(*ap, int);
            if (conversion_text(c, "", c.type, true, text, sizeof text)) out.render(text, v);
        } else {
            unsigned v = va_arg(*ap, unsigned);
            if (conversion_text(c, "", c.type, true, text, sizeof text)) out.render(text, v);
        }
        break;
    }
}

void render_conversion(output &out, conversion &c, va_list *ap) {
    if (c.width_star) {
        int w = va_arg(*ap, int);
        if (w < 0) {
            c.minus = true;
            c.width = -static_cast<long long>(w);
        } else {
            c.width = w;
        }
    }
    if (c.precision_star) {
        int p = va_arg(*ap, int);
        c.precision = p < 0 ? -1 : p; // a negative precision counts as none
    }
    char text[32];
    switch (c.type) {
    case 'd':
    case 'i':
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        render_integer(out, c, ap);
        break;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G': {
        double v = va_arg(*ap, double);
        if (conversion_text(c, "", c.type, true, text, sizeof text)) {
            out.render(text, v);
        }
        break;
    }
    case 'c': {
        int v = va_arg(*ap, int);
        render_char(out, c, (c.length_has('l') || c.length_has('w')) && !c.length_has('h'), v);
        break;
    }
    case 's':
    case 'S': {
        const void *v = va_arg(*ap, const void *);
        bool wide = c.type == 's' ? (c.length_has('l') || c.length_has('w')) && !c.length_has('h')
                                  : !c.length_has('h');
        render_string(out, c, wide, v);
        break;
    }
    case 'p': {
        void *v = va_arg(*ap, void *);
        if (conversion_text(c, "", 'p', true, text, sizeof text)) {
            out.render(text, v);
        }
        break;
    }
    case 'n': {
        void *v = va_arg(*ap, void *);
        store_count(c, v, out.length);
        break;
    }
    default:
        break;
    }
}

void format(output &out, const char *format, va_list *ap) {
    const char *p = format;
    while (*p != '\0') {
        if (*p != '%') {
            const char *next = strchr(p, '%');
            size_t n = next != nullptr ? static_cast<size_t>(next - p) : strlen(p);
            out.append(p, n);
            p += n;
            continue;
        }
        const char *percent = p++;
        if (*p == '%') {
            out.append("%", 1);
            ++p;
            continue;
        }
        conversion c;
        for (;; ++p) {
            if (*p == '-') {
                c.minus = true;
            } else if (*p == '+') {
                c.plus = true;
            } else if (*p == '0') {
                c.zero = true;
            } else if (*p == ' ') {
                c.space = true;
            } else if (*p == '#') {
                c.hash = true;
            } else {
                break;
            }
        }
        if (*p == '*') {
            c.width_star = true;
            ++p;
        } else if (*p >= '1' && *p <= '9') {
            p = parse_number(p, &c.width);
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                c.precision_star = true;
                ++p;
            } else {
                p = parse_number(p, &c.precision); // "." alone is precision 0
            }
        }
        size_t n = 0;
        while (n < 3 && *p != '\0' && strchr("2346hIlw", *p) != nullptr) {
            c.length[n++] = *p++;
        }
        if (*p == '\0' || strchr("cdeEfFgGinopsSuxX", *p) == nullptr) {
            p = percent + 1; // the '%' is dropped
            continue;
        }
        c.type = *p++;
        render_conversion(out, c, ap);
    }
}

} // namespace

int vtr_vsnprintf(char *buffer, size_t size, const char *fmt, va_list args) {
    output out{buffer, size, 0};
    if (fmt != nullptr) {
        va_list ap;
        va_copy(ap, args);
        format(out, fmt, &ap);
        va_end(ap);
    }
    if (buffer != nullptr && size > 0) {
        buffer[out.length < size - 1 ? out.length : size - 1] = '\0';
    }
    return out.length > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(out.length);
}

int vtr_snprintf(char *buffer, size_t size, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = vtr_vsnprintf(buffer, size, fmt, args);
    va_end(args);
    return n;
}

char *vtr_wide_to_text(const char16_t *wide, char *buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return buffer;
    }
    buffer[0] = '\0';
    if (wide == nullptr) {
        return buffer;
    }
    bool ascii = true;
    for (const char16_t *w = wide; *w != 0; ++w) {
        if (*w >= 128) {
            ascii = false;
            break;
        }
    }
    if (ascii) {
        size_t i = 0;
        for (; wide[i] != 0 && i < size - 1; ++i) {
            buffer[i] = static_cast<char>(wide[i]);
        }
        buffer[i] = '\0';
        return buffer;
    }
    size_t used = 0;
    const char *separator = "";
    for (const char16_t *w = wide; *w != 0 && used < size - 1; ++w) {
        int n = vtr_snprintf(buffer + used, size - used, "%s%04x", separator,
                             static_cast<unsigned>(*w));
        if (n <= 0) {
            break;
        }
        used += static_cast<size_t>(n);
        separator = " ";
    }
    return buffer;
}
