// The runtime's formatter against the C library, its own rules, wide-text printing and the
// text conversions.
#include "vtr/vtr_log.h"
#include "vtr/vtr_text.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// The C library the formatter renders with: on mingw its C99 formatter.
template <typename... A> int host(char *buffer, size_t size, const char *format, A... args) {
#if defined(__MINGW32__)
    return __mingw_snprintf(buffer, size, format, args...);
#else
    return snprintf(buffer, size, format, args...);
#endif
}

#define EXPECT_LIKE_HOST(format, ...)                                                              \
    do {                                                                                           \
        char ours[512];                                                                            \
        char theirs[512];                                                                          \
        int n_ours = vtr_snprintf(ours, sizeof ours, format, __VA_ARGS__);                         \
        EXPECT_EQ(n_ours, host(theirs, sizeof theirs, format, __VA_ARGS__)) << format;             \
        EXPECT_STREQ(ours, theirs) << format;                                                      \
    } while (0)

// The formatter without the compiler's format checking, for forms the C library lacks.
std::string fmt(const char *format, ...) {
    char buffer[8192];
    va_list args;
    va_start(args, format);
    int n = vtr_vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    EXPECT_EQ(static_cast<size_t>(n), std::string(buffer).size()) << format;
    return buffer;
}

TEST(Format, ConversionsRenderLikeTheCLibrary) {
    EXPECT_LIKE_HOST("%d|%i|%d|%u|%5d|%-5d|%05d|%+d|% d", -42, 42, INT_MIN, UINT_MAX, 1, 2, 3, 4,
                     5);
    EXPECT_LIKE_HOST("%.3d|%.0d|%8.3d|%-8.3d|", 7, 0, -7, 7);
    EXPECT_LIKE_HOST("%x|%X|%#x|%#X|%o|%#o|%#010x|%-#10x|", 0xbeefu, 0xbeefu, 0xbeefu, 0u, 8u, 8u,
                     0xabu, 0xabu);
    EXPECT_LIKE_HOST("%lld|%llu|%llx|%ld|%lu", LLONG_MIN, ULLONG_MAX, 0x1234567890abcdefULL,
                     LONG_MIN, ULONG_MAX);
    // Values beyond the short and char ranges are cut to them (compared with fixed text:
    // clang rejects such constants for a checked format).
    EXPECT_EQ(fmt("%hd|%hu|%hhd|%hhx", 70000, 0x12345u, 70000, 0x12345u), "4464|9029|112|45");
    EXPECT_LIKE_HOST("%*d|%-*d|%*d|%.*d|%.*d|%*.*d", 6, 1, 6, 2, -6, 3, 4, 5, -1, 5, 7, 3, 9);

    EXPECT_LIKE_HOST("%f|%.3f|%.0f|%#.0f|%F|%f", 3.14159, 3.14159, 2.5, 2.0, 1e300, DBL_MIN);
    EXPECT_LIKE_HOST("%e|%E|%-12.3e|%g|%G|%#g|%.3g", 12345.678, 0.000123, 6.02e23, 0.0001, 1e-10,
                     1.5, 2.0 / 3.0);
    EXPECT_LIKE_HOST("%10.4f|%+f|% f|%010.3f|%*.*f|%lf", 1.0, 1.0, 1.0, -3.5, 12, 3, 2.71828, 1.25);
    EXPECT_LIKE_HOST("%f|%F|%e", HUGE_VAL, -HUGE_VAL, DBL_MAX);

    EXPECT_LIKE_HOST("%c|%3c|%-3c|%s|%10s|%-10s|%.2s|%10.3s|%s|", 'A', 'b', 'c', "hello", "hi",
                     "hi", "hello", "hello", "");
    EXPECT_LIKE_HOST("%*s|%-*s|%.*s", 5, "x", 5, "y", 2, "zzz");
    int object = 0;
    EXPECT_LIKE_HOST("%p|%20p|%p", static_cast<void *>(&object), static_cast<void *>(&object),
                     static_cast<void *>(nullptr));
    // Arguments of mixed widths are each read at their own width.
    EXPECT_LIKE_HOST("a%db%sc%fd%llde%cf%xg%lldh%.1fi", -1, "two", 3.5, 4LL, '5', 6u,
                     0x7fffffffffffffffLL, 8.25);
    EXPECT_LIKE_HOST("100%% of %s|%d%%", "it", 1);
}

TEST(Format, WindowsFormsAbsentStringsAndMalformedConversions) {
    EXPECT_EQ(fmt("%I64d|%I64u|%I64x", INT64_MIN, UINT64_MAX, int64_t{0x1234567890}),
              "-9223372036854775808|18446744073709551615|1234567890");
    EXPECT_EQ(fmt("%Id|%Iu|%I32d|%I32x", int64_t{-5}, uint64_t{1} << 40, -7, 0xffu),
              "-5|1099511627776|-7|ff");
    EXPECT_EQ(fmt("%I64d %d %lld %u", int64_t{1} << 33, 3, -(int64_t{1} << 40), 4u),
              "8589934592 3 -1099511627776 4");
    EXPECT_EQ(fmt("%hs|%hS|%hc", "narrow", "also", 'n'), "narrow|also|n");
    // Any other length characters take a 32-bit integer.
    EXPECT_EQ(fmt("%wd|%l6d|%I3x|%hId", 1, 2, 0xabu, 70000), "1|2|ab|70000");

    const char *none = nullptr;
    const char16_t *wide_none = nullptr;
    // Cut by a precision the same way on every build, whatever the C library does.
    EXPECT_EQ(fmt("%s|%S|%ls|%.3s|%8s", none, wide_none, wide_none, none, none),
              "(null)|(null)|(null)|(nu|  (null)");
    EXPECT_EQ(fmt("abc%"), "abc");
    // An unlisted conversion character drops the '%'.
    EXPECT_EQ(fmt("%zu|%5k|%Lf|%-%d", 9), "zu|5k|Lf|-9");
    EXPECT_EQ(fmt("%llllx|%d", 8), "llllx|8"); // four length characters
    // A width or precision the C library cannot render renders nothing.
    EXPECT_EQ(fmt("[%99999999999d]|[%.99999999999s]|%d", 1, "x", 2), "[]|[]|2");

    int count = -1;
    long long wide_count = -1;
    signed char small = -1;
    EXPECT_EQ(fmt("abc%n%d%lln|%hhn", &count, 42, &wide_count, &small), "abc42|");
    EXPECT_TRUE(count == 3 && wide_count == 5 && small == 6) << count << wide_count << +small;
}

TEST(Format, WideTextIsUtf16RenderedAsUtf8) {
    const char16_t *hello = u"h\u00e9llo";
    EXPECT_EQ(fmt("%S|%ls|%ws|%lS", hello, hello, hello, hello),
              "h\xc3\xa9llo|h\xc3\xa9llo|h\xc3\xa9llo|h\xc3\xa9llo");
    EXPECT_EQ(fmt("%S|%S", u"\U0001F600", u"a\xd800z"), "\xf0\x9f\x98\x80|a\xef\xbf\xbdz");
    // The precision and width count bytes; a character is never split.
    EXPECT_EQ(fmt("%.2S|%.3S|%.1S", u"a\u00e9", u"a\u00e9", u"\u00e9"), "a|a\xc3\xa9|");
    EXPECT_EQ(fmt("%5S|%-5S|", u"\u00e9", u"\u00e9"), "   \xc3\xa9|\xc3\xa9   |");
    EXPECT_EQ(fmt("%lc|%wc|%3lc", 0xe9, 'A', 0x20ac), "\xc3\xa9|A|\xe2\x82\xac");
    // Longer than the scratch buffer.
    std::u16string long_wide(3000, u'\u00e9');
    std::string out = fmt("<%ls>", long_wide.c_str());
    EXPECT_EQ(out.size(), 6002u);
    EXPECT_EQ(out.substr(5995), "\xc3\xa9\xc3\xa9\xc3\xa9>");
}

TEST(Format, CutToTheBufferAndCountedInFull) {
    char buffer[8];
    EXPECT_EQ(vtr_snprintf(buffer, sizeof buffer, "%s", "twelve chars"), 12);
    EXPECT_STREQ(buffer, "twelve ");
    EXPECT_EQ(vtr_snprintf(buffer, 1, "%s", "x"), 1);
    EXPECT_STREQ(buffer, "");
    buffer[0] = 'Q';
    EXPECT_EQ(vtr_snprintf(buffer, 0, "%s", "xyz"), 3);
    EXPECT_EQ(buffer[0], 'Q');
    EXPECT_EQ(vtr_snprintf(nullptr, 100, "%d%s", 12, "34"), 4);
    // Conversions after the buffer is full still count.
    EXPECT_EQ(vtr_snprintf(buffer, sizeof buffer, "1234567%d%s%c%f", 8, "9", 'x', 1.0), 18);
    EXPECT_STREQ(buffer, "1234567");
    // A zero character from %c is output and counted.
    EXPECT_EQ(vtr_snprintf(buffer, sizeof buffer, "a%cb", 0), 3);
    EXPECT_EQ(std::string(buffer, 3), std::string("a\0b", 3));
    // Renderings longer than the scratch buffer.
    std::string text(5000, 'x');
    std::string out(6000, '\0');
    EXPECT_EQ(vtr_snprintf(out.data(), out.size(), "<%s>", text.c_str()), 5002);
    EXPECT_EQ(out.c_str(), "<" + text + ">");
    EXPECT_EQ(vtr_snprintf(out.data(), 100, "%3000d|", 7), 3001);
    EXPECT_EQ(std::string(out.c_str()), std::string(99, ' '));
}

TEST(Text, WideToTextAndBoundedCopies) {
    char buffer[64];
    EXPECT_STREQ(vtr_wide_to_text(u"Ethernet 2", buffer, sizeof buffer), "Ethernet 2");
    EXPECT_STREQ(vtr_wide_to_text(u"\u20acx", buffer, sizeof buffer), "20ac 0078");
    EXPECT_STREQ(vtr_wide_to_text(nullptr, buffer, sizeof buffer), "");
    // Cut at the buffer's end, always terminated.
    EXPECT_STREQ(vtr_wide_to_text(u"Hello", buffer, 3), "He");
    EXPECT_STREQ(vtr_wide_to_text(u"A\u00e9", buffer, 7), "0041 0");
    EXPECT_STREQ(vtr_wide_to_text(u"A\u00e9B", buffer, 10), "0041 00e9");

    EXPECT_EQ(vtr_strlcpy(buffer, "abcdef", 4), 6u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(vtr_strlcpy(buffer, "xyz", 1), 3u);
    EXPECT_STREQ(buffer, "");
    vtr_strlcpy(buffer, "ab", 8);
    EXPECT_EQ(vtr_strlcat(buffer, "cd", 8), 4u);
    EXPECT_EQ(vtr_strlcat(buffer, "efghij", 8), 10u);
    EXPECT_STREQ(buffer, "abcdefg");
    // No zero within size: nothing appended, size returned.
    char full[4] = {'w', 'x', 'y', 'z'};
    EXPECT_EQ(vtr_strlcat(full, "q", sizeof full), 4u);
    EXPECT_EQ(std::string(full, 4), "wxyz");
    char16_t wide[4];
    EXPECT_EQ(vtr_wcslcpy(wide, u"abcdef", 4), 6u);
    EXPECT_EQ(std::u16string(wide), u"abc");
}

TEST(Text, Utf16AndUtf8BothWays) {
    // Every length of UTF-8 sequence, a surrogate pair among them, there and back.
    const char16_t wide[] = u"a\u00e9\u20ac\U0001F3B5";
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5";
    std::string out;
    EXPECT_TRUE(vtr_utf16_to_utf8_string(wide, SIZE_MAX, VTR_UTF16_STRICT, &out));
    EXPECT_EQ(out, utf8);
    char16_t back[8];
    EXPECT_EQ(vtr_utf8_to_utf16_strict(utf8.data(), utf8.size(), nullptr, 0), 6u);
    ASSERT_EQ(vtr_utf8_to_utf16_strict(utf8.c_str(), SIZE_MAX, back, 6), 6u);
    EXPECT_EQ(std::u16string(back), wide);
    EXPECT_EQ(vtr_utf8_to_utf16_strict(utf8.c_str(), SIZE_MAX, back, 5), 0u); // no room for NUL

    // Lone surrogates: U+FFFD, or a failure under the strict rule; a pair cut by the unit
    // count is lone too.
    const char16_t lone[] = {0xDC00, 'a', 0xD800, 'b', 0xD83C, 0xDFB5, 0};
    EXPECT_TRUE(vtr_utf16_to_utf8_string(lone, 5, VTR_UTF16_REPLACE, &out));
    EXPECT_EQ(out, "\xEF\xBF\xBD"
                   "a\xEF\xBF\xBD"
                   "b\xEF\xBF\xBD");
    EXPECT_FALSE(vtr_utf16_to_utf8_string(lone, SIZE_MAX, VTR_UTF16_STRICT, &out));
    EXPECT_EQ(out, "");
    EXPECT_EQ(vtr_utf16_to_utf8(lone + 1, SIZE_MAX, VTR_UTF16_STRICT, nullptr, 0), VTR_UTF_INVALID);

    // Cut at the buffer: never half a character, counted in full, always terminated.
    char buffer[8];
    EXPECT_EQ(vtr_utf16_to_utf8(wide, SIZE_MAX, VTR_UTF16_REPLACE, buffer, 7), 10u);
    EXPECT_STREQ(buffer, "a\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(vtr_utf16_to_utf8(wide + 1, SIZE_MAX, VTR_UTF16_REPLACE, buffer, 2), 9u);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(vtr_utf16_to_utf8(nullptr, SIZE_MAX, VTR_UTF16_STRICT, buffer, 8), 0u);

    // Bad UTF-8: cut, overlong, an encoded surrogate, beyond U+10FFFF, a stray or impossible
    // byte, and a NUL inside the given length.
    for (const std::string &bad : std::initializer_list<std::string>{
             "\xC3", "x\xE2\x82", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
             "\x80", "\xFF", std::string("a\0b", 3)}) {
        EXPECT_EQ(vtr_utf8_to_utf16_strict(bad.data(), bad.size(), back, 8), 0u) << bad;
    }
    // A cut sequence at the end of a NUL-terminated text is not read past its NUL.
    EXPECT_EQ(vtr_utf8_to_utf16_strict("ok\xF0\x9F", SIZE_MAX, nullptr, 0), 0u);
    EXPECT_EQ(vtr_utf8_to_utf16_strict("", 0, back, 1), 1u);
    EXPECT_EQ(back[0], 0);
}

TEST(Text, NumberRules) {
    uint64_t v = 0;
    auto strict = [&](const std::string &text, uint64_t max, uint32_t rule) {
        v = 99;
        return vtr_parse_uint_strict(text.data(), text.size(), max, rule, &v);
    };
    // The whole text, within max, and nothing else.
    EXPECT_TRUE(strict("65535", 65535, VTR_PARSE_DECIMAL) && v == 65535);
    EXPECT_TRUE(strict("007", 7, VTR_PARSE_DECIMAL) && v == 7);
    for (const char *bad :
         {"65536", "", "+1", "-0", " 1", "1 ", "1x", "0x10", "99999999999999999999"}) {
        EXPECT_FALSE(strict(bad, 65535, VTR_PARSE_DECIMAL)) << bad;
    }
    EXPECT_TRUE(strict("0xfF", 255, VTR_PARSE_HEX_PREFIX) && v == 255);
    EXPECT_TRUE(strict("0X10", 255, VTR_PARSE_HEX_PREFIX) && v == 16);
    EXPECT_TRUE(strict("18446744073709551615", UINT64_MAX, VTR_PARSE_HEX_PREFIX) &&
                v == UINT64_MAX);
    for (const char *bad : {"0x100", "0x", "ff", "0xg", "0x-1", "18446744073709551616"}) {
        EXPECT_FALSE(strict(bad, bad[0] == '1' ? UINT64_MAX : 255, VTR_PARSE_HEX_PREFIX)) << bad;
    }
    EXPECT_EQ(v, 99u); // a refused text leaves the value alone

    // A run of digits at the start, saturating.
    EXPECT_EQ(vtr_parse_digits_saturating("123abc", SIZE_MAX, 1000, &v), 3u);
    EXPECT_EQ(v, 123u);
    EXPECT_EQ(vtr_parse_digits_saturating("123456", 4, 1000, &v), 4u);
    EXPECT_EQ(v, 1000u);
    EXPECT_EQ(vtr_parse_digits_saturating(std::string(500, '9').c_str(), SIZE_MAX, UINT64_MAX, &v),
              500u);
    EXPECT_EQ(v, UINT64_MAX);
    EXPECT_EQ(vtr_parse_digits_saturating("x1", SIZE_MAX, 10, &v), 0u);
    EXPECT_EQ(v, 0u);
}

} // namespace
