// The runtime's formatter against the C library, its own rules, and wide-text printing.
#include "vtr/vtr_log.h"

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

// Calls the formatter without the compiler's format checking, for the Windows length forms.
std::string fmt(const char *format, ...) {
    char buffer[4096];
    va_list args;
    va_start(args, format);
    int n = vtr_vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    EXPECT_EQ(static_cast<size_t>(n), std::string(buffer).size()) << format;
    return buffer;
}

// The C library's rendering, likewise unchecked.
std::string host_fmt(const char *format, ...) {
    char buffer[4096];
    va_list args;
    va_start(args, format);
#if defined(__MINGW32__)
    __mingw_vsnprintf(buffer, sizeof buffer, format, args);
#else
    vsnprintf(buffer, sizeof buffer, format, args);
#endif
    va_end(args);
    return buffer;
}

int fmt_length(const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = vtr_vsnprintf(nullptr, 0, format, args);
    va_end(args);
    return n;
}

#define EXPECT_LIKE_HOST(format, ...)                                                          \
    do {                                                                                       \
        char ours[512];                                                                        \
        char theirs[512];                                                                      \
        int n_ours = vtr_snprintf(ours, sizeof ours, format, __VA_ARGS__);                     \
        int n_theirs = host(theirs, sizeof theirs, format, __VA_ARGS__);                       \
        EXPECT_EQ(n_ours, n_theirs) << format;                                                 \
        EXPECT_STREQ(ours, theirs) << format;                                                  \
    } while (0)

TEST(Format, IntegersLikeTheCLibrary) {
    EXPECT_LIKE_HOST("%d", 0);
    EXPECT_LIKE_HOST("%d|%i", -42, 42);
    EXPECT_LIKE_HOST("%d", INT_MIN);
    EXPECT_LIKE_HOST("%u", UINT_MAX);
    EXPECT_LIKE_HOST("%5d|%-5d|%05d", 42, 42, 42);
    EXPECT_LIKE_HOST("%+d|% d|%+d", 7, 7, -7);
    EXPECT_LIKE_HOST("%.3d|%.0d|%8.3d|%-8.3d|", 7, 0, -7, 7);
    EXPECT_LIKE_HOST("%x|%X|%#x|%#X|%o|%#o", 0xbeefu, 0xbeefu, 0xbeefu, 0u, 8u, 8u);
    EXPECT_LIKE_HOST("%8.3x|%-#10x|%#010x", 0xabu, 0xabu, 0xabu);
    EXPECT_LIKE_HOST("%lld|%llu|%llx", LLONG_MIN, ULLONG_MAX, 0x1234567890abcdefULL);
    EXPECT_LIKE_HOST("%ld|%lu|%lx", LONG_MIN, ULONG_MAX, 0x7fffffffUL);
    // Values beyond the short and char ranges are cut to them.
    int wide = 70000;
    unsigned wide_unsigned = 0x12345u;
    EXPECT_EQ(fmt("%hd|%hu|%hx", wide, wide_unsigned, wide_unsigned),
              host_fmt("%hd|%hu|%hx", wide, wide_unsigned, wide_unsigned));
    EXPECT_EQ(fmt("%hhd|%hhu|%hhx", wide, wide_unsigned, wide_unsigned),
              host_fmt("%hhd|%hhu|%hhx", wide, wide_unsigned, wide_unsigned));
    EXPECT_EQ(fmt("%hd|%hhx", wide, wide_unsigned), "4464|45");
    EXPECT_LIKE_HOST("%*d|%-*d|%*d", 6, 1, 6, 2, -6, 3);
    EXPECT_LIKE_HOST("%.*d|%.*d|%*.*d", 4, 5, -1, 5, 7, 3, 9);
}

TEST(Format, FloatingPointLikeTheCLibrary) {
    EXPECT_LIKE_HOST("%f|%.3f|%.0f|%#.0f", 3.14159, 3.14159, 2.5, 2.0);
    EXPECT_LIKE_HOST("%e|%E|%.2e|%-12.3e|", 12345.678, 0.000123, -1.0, 6.02e23);
    EXPECT_LIKE_HOST("%g|%G|%g|%#g|%.3g", 0.0001, 1e-10, 123456789.0, 1.5, 2.0 / 3.0);
    EXPECT_LIKE_HOST("%10.4f|%-10.2f|%+f|% f|%010.3f", 1.0, -1.0, 1.0, 1.0, -3.5);
    EXPECT_LIKE_HOST("%F|%f|%e", 1e300, DBL_MIN, DBL_MAX);
    EXPECT_LIKE_HOST("%f|%F|%f", HUGE_VAL, -HUGE_VAL, 0.0);
    EXPECT_LIKE_HOST("%*.*f", 12, 3, 2.71828);
    EXPECT_LIKE_HOST("%lf", 1.25); // the length character is ignored
}

TEST(Format, CharactersStringsAndPointersLikeTheCLibrary) {
    EXPECT_LIKE_HOST("%c|%3c|%-3c|", 'A', 'b', 'c');
    EXPECT_LIKE_HOST("%s|%10s|%-10s|%.2s|%10.3s|", "hello", "hi", "hi", "hello", "hello");
    EXPECT_LIKE_HOST("%*s|%-*s|%.*s", 5, "x", 5, "y", 2, "zzz");
    EXPECT_LIKE_HOST("%s", "");
    int object = 0;
    EXPECT_LIKE_HOST("%p", static_cast<void *>(&object));
    EXPECT_LIKE_HOST("%20p|", static_cast<void *>(&object));
    EXPECT_LIKE_HOST("%p", static_cast<void *>(nullptr));
}

TEST(Format, MixedConversionsTakeTheirArgumentsInOrder) {
    EXPECT_LIKE_HOST("a%db%sc%fd%llde%cf%xg%lldh%.1fi", -1, "two", 3.5, 4LL, '5', 6u,
                     0x7fffffffffffffffLL, 8.25);
    EXPECT_LIKE_HOST("%%|%d%%", 1);
    EXPECT_LIKE_HOST("100%% of %s", "it");
}

TEST(Format, WindowsLengthForms) {
    EXPECT_EQ(fmt("%I64d|%I64u|%I64x", INT64_MIN, UINT64_MAX, int64_t{0x1234567890}),
              "-9223372036854775808|18446744073709551615|1234567890");
    EXPECT_EQ(fmt("%Id|%Iu", int64_t{-5}, uint64_t{1} << 40), "-5|1099511627776");
    EXPECT_EQ(fmt("%I32d|%I32x|%d", -7, 0xffu, 9), "-7|ff|9");
    // A 64-bit value followed by a 32-bit one: each is read at its own width.
    EXPECT_EQ(fmt("%I64d %d %lld %u", int64_t{1} << 33, 3, -(int64_t{1} << 40), 4u),
              "8589934592 3 -1099511627776 4");
    EXPECT_EQ(fmt("%hs|%hS|%hc", "narrow", "also", 'n'), "narrow|also|n");
    // Any other length characters take a 32-bit integer.
    EXPECT_EQ(fmt("%wd|%l6d|%I3x|%hId", 1, 2, 0xabu, 70000), "1|2|ab|70000");
    // Digits before the length characters are the width.
    EXPECT_EQ(fmt("%2d|%6d", 2, 3), " 2|     3");
}

TEST(Format, WideTextIsUtf16RenderedAsUtf8) {
    const char16_t *hello = u"h\u00e9llo";
    EXPECT_EQ(fmt("%S", hello), "h\xc3\xa9llo");
    EXPECT_EQ(fmt("%ls|%ws|%lS", hello, hello, hello), "h\xc3\xa9llo|h\xc3\xa9llo|h\xc3\xa9llo");
    EXPECT_EQ(fmt("%S", u"\U0001F600"), "\xf0\x9f\x98\x80");
    EXPECT_EQ(fmt("%S", u"a\xd800z"), "a\xef\xbf\xbdz"); // a lone surrogate
    // The precision counts bytes and never splits a character; the width counts bytes too.
    EXPECT_EQ(fmt("%.2S|%.3S|%.1S", u"a\u00e9", u"a\u00e9", u"\u00e9"), "a|a\xc3\xa9|");
    EXPECT_EQ(fmt("%5S|%-5S|", u"\u00e9", u"\u00e9"), "   \xc3\xa9|\xc3\xa9   |");
    EXPECT_EQ(fmt("%lc|%wc|%3lc", 0xe9, 'A', 0x20ac), "\xc3\xa9|A|\xe2\x82\xac");
    // Text longer than the scratch buffer.
    std::u16string long_wide(3000, u'\u00e9');
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        expected += "\xc3\xa9";
    }
    std::string out(8000, '\0');
    int n = vtr_snprintf(out.data(), out.size(), "<%ls>", reinterpret_cast<const wchar_t *>(
                                                               long_wide.c_str()));
    EXPECT_EQ(n, 6002);
    EXPECT_EQ(out.c_str(), "<" + expected + ">");
}

TEST(Format, AbsentStrings) {
    EXPECT_EQ(fmt("%s", static_cast<const char *>(nullptr)), "(null)");
    EXPECT_EQ(fmt("%S|%ls", static_cast<const char16_t *>(nullptr),
                  static_cast<const char16_t *>(nullptr)),
              "(null)|(null)");
    // The same on every build, whatever the C library does with a precision.
    EXPECT_EQ(fmt("%.3s|%8s", static_cast<const char *>(nullptr),
                  static_cast<const char *>(nullptr)),
              "(nu|  (null)");
}

TEST(Format, MalformedConversions) {
    EXPECT_EQ(fmt("abc%"), "abc"); // a lone '%' at the end
    EXPECT_EQ(fmt_length("abc%"), 3);
    EXPECT_EQ(fmt("%zu|%d", 5), "zu|5");      // unlisted: the '%' is dropped
    EXPECT_EQ(fmt("%5k|%d", 6), "5k|6");
    EXPECT_EQ(fmt("%Lf|%d", 7), "Lf|7");
    EXPECT_EQ(fmt("%llllx|%d", 8), "llllx|8"); // four length characters
    EXPECT_EQ(fmt("%-%d", 9), "-9");
    // A width or precision the C library cannot render renders nothing.
    EXPECT_EQ(fmt("[%99999999999d]|%d", 1, 2), "[]|2");
    EXPECT_EQ(fmt("[%.99999999999s]|%d", "x", 3), "[]|3");
}

TEST(Format, CountConversionStoresTheOutputSoFar) {
    int count = -1;
    long long wide_count = -1;
    signed char small = -1;
    EXPECT_EQ(fmt("abc%n%d%lln|%hhn", &count, 42, &wide_count, &small), "abc42|");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(wide_count, 5);
    EXPECT_EQ(small, 6);
}

TEST(Format, BoundsAndResult) {
    char buffer[8];
    EXPECT_EQ(vtr_snprintf(buffer, sizeof buffer, "%s", "twelve chars"), 12);
    EXPECT_STREQ(buffer, "twelve ");
    EXPECT_EQ(vtr_snprintf(buffer, sizeof buffer, "ab%dcd", 123456), 10);
    EXPECT_STREQ(buffer, "ab12345");
    EXPECT_EQ(vtr_snprintf(buffer, 4, "%d", 123456), 6);
    EXPECT_STREQ(buffer, "123");
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
}

TEST(Format, RenderingsLongerThanTheScratchBuffer) {
    std::string text(5000, 'x');
    std::string out(6000, '\0');
    EXPECT_EQ(vtr_snprintf(out.data(), out.size(), "<%s>", text.c_str()), 5002);
    EXPECT_EQ(out.c_str(), "<" + text + ">");
    EXPECT_EQ(vtr_snprintf(out.data(), out.size(), "%3000d|", 7), 3001);
    EXPECT_EQ(std::string(out.c_str()), std::string(2999, ' ') + "7|");
    // Cut by a small buffer, counted in full.
    char small[16];
    EXPECT_EQ(vtr_snprintf(small, sizeof small, "%s", text.c_str()), 5000);
    EXPECT_EQ(std::string(small), std::string(15, 'x'));
}

TEST(WideToText, AsciiAndHexForms) {
    char buffer[64];
    EXPECT_STREQ(vtr_wide_to_text(u"Ethernet 2", buffer, sizeof buffer), "Ethernet 2");
    EXPECT_STREQ(vtr_wide_to_text(u"A\u00e9", buffer, sizeof buffer), "0041 00e9");
    EXPECT_STREQ(vtr_wide_to_text(u"\u20acx", buffer, sizeof buffer), "20ac 0078");
    EXPECT_STREQ(vtr_wide_to_text(nullptr, buffer, sizeof buffer), "");
    EXPECT_STREQ(vtr_wide_to_text(u"", buffer, sizeof buffer), "");
    // Cut at the buffer's end, always terminated.
    EXPECT_STREQ(vtr_wide_to_text(u"Hello", buffer, 3), "He");
    EXPECT_STREQ(vtr_wide_to_text(u"A\u00e9", buffer, 7), "0041 0");
    EXPECT_STREQ(vtr_wide_to_text(u"A\u00e9B", buffer, 10), "0041 00e9");
    EXPECT_STREQ(vtr_wide_to_text(u"A\u00e9", buffer, 1), "");
}

TEST(Text, BoundedCopies) {
    char buffer[8];
    EXPECT_EQ(vtr_strlcpy(buffer, "abcdef", 4), 6u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(vtr_strlcpy(buffer, "abc", sizeof buffer), 3u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(vtr_strlcpy(buffer, "xyz", 1), 3u);
    EXPECT_STREQ(buffer, "");

    vtr_strlcpy(buffer, "ab", sizeof buffer);
    EXPECT_EQ(vtr_strlcat(buffer, "cd", sizeof buffer), 4u);
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_EQ(vtr_strlcat(buffer, "efghij", sizeof buffer), 10u);
    EXPECT_STREQ(buffer, "abcdefg");
    // No zero within size: nothing appended, size returned.
    char full[4] = {'w', 'x', 'y', 'z'};
    EXPECT_EQ(vtr_strlcat(full, "q", sizeof full), 4u);
    EXPECT_EQ(std::string(full, 4), "wxyz");

    char16_t wide[4];
    EXPECT_EQ(vtr_wcslcpy(wide, u"abcdef", 4), 6u);
    EXPECT_EQ(std::u16string(wide), u"abc");
    EXPECT_EQ(vtr_wcslcpy(wide, u"\u00e9", 4), 1u);
    EXPECT_EQ(std::u16string(wide), u"\u00e9");
}

} // namespace
