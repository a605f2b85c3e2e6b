// The runtime's formatter against the C library, its own rules, wide-text printing and the
// text conversions.
#include "vtr/vtr_log.h"
#include "vtr/vtr_text.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
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
    EXPECT_LIKE_HOST("%d|%u|%-5d|%05d|%+d|%.3d|%.0d|%8.3d", INT_MIN, UINT_MAX, 2, 3, 4, 7, 0, -7);
    EXPECT_LIKE_HOST("%#x|%X|%#o|%#010x|%lld|%llu|%lu", 0xbeefu, 0xbeefu, 8u, 0xabu, LLONG_MIN,
                     ULLONG_MAX, ULONG_MAX);
    EXPECT_LIKE_HOST("%*d|%-*d|%.*d|%*.*d", 6, 1, -6, 3, -1, 5, 7, 3, 9);
    EXPECT_LIKE_HOST("%.3f|%#.0f|%e|%-12.3e|%g|%#g|%f", 3.14159, 2.0, 12345.678, 6.02e23, 0.0001,
                     1.5, DBL_MAX);
    EXPECT_LIKE_HOST("%3c|%-10s|%.2s|%10.3s|%*s|%.*s|%p", 'b', "hi", "hello", "hello", 5, "x", 2,
                     "zzz", static_cast<void *>(nullptr));
    // Arguments of mixed widths are each read at their own width.
    EXPECT_LIKE_HOST("a%db%sc%fd%llde%cf%x%%", -1, "two", 3.5, 4LL, '5', 6u);
    // Values beyond the short and char ranges are cut to them.
    EXPECT_EQ(fmt("%hd|%hhx", 70000, 0x12345u), "4464|45");
}

TEST(Format, WindowsFormsAbsentStringsAndMalformedConversions) {
    EXPECT_EQ(fmt("%I64d %d %Iu|%I32x|%hs", INT64_MIN, 3, uint64_t{1} << 40, 0xffu, "n"),
              "-9223372036854775808 3 1099511627776|ff|n");
    const char *none = nullptr;
    // Cut by a precision the same way on every build, whatever the C library does.
    EXPECT_EQ(fmt("%s|%.3s|%8s", none, none, none), "(null)|(nu|  (null)");
    // A trailing '%' and an unlisted conversion drop the '%'; a width or precision the C
    // library cannot render renders nothing.
    EXPECT_EQ(fmt("%zu|%5k|%llllx|%d", 9), "zu|5k|llllx|9");
    EXPECT_EQ(fmt("[%99999999999d]|[%.99999999999s]|%d%", 1, "x", 2), "[]|[]|2");
}

TEST(Format, WideTextIsUtf16RenderedAsUtf8) {
    EXPECT_EQ(fmt("%S|%ls|%ws|%lc", u"h\u00e9", u"\U0001F600", u"a\xd800z", 0x20ac),
              "h\xc3\xa9|\xf0\x9f\x98\x80|a\xef\xbf\xbdz|\xe2\x82\xac");
    // The precision and width count bytes; a character is never split.
    EXPECT_EQ(fmt("%.2S|%.3S|%5S|%-5S|", u"a\u00e9", u"a\u00e9", u"\u00e9", u"\u00e9"),
              "a|a\xc3\xa9|   \xc3\xa9|\xc3\xa9   |");
    // Beyond the scratch buffer.
    std::string out = fmt("<%ls>", std::u16string(3000, u'\u00e9').c_str());
    EXPECT_EQ(out.size(), 6002u);
    EXPECT_EQ(out.substr(5995), "\xc3\xa9\xc3\xa9\xc3\xa9>");
}

TEST(Format, CutToTheBufferAndCountedInFull) {
    char buffer[8];
    EXPECT_EQ(vtr_snprintf(buffer, sizeof buffer, "1234567%d%s%c%f", 8, "9", 'x', 1.0), 18);
    EXPECT_STREQ(buffer, "1234567");
    EXPECT_EQ(vtr_snprintf(nullptr, 100, "%d%s", 12, "34"), 4);
    // A zero character from %c is output and counted.
    EXPECT_EQ(vtr_snprintf(buffer, sizeof buffer, "a%cb", 0), 3);
    EXPECT_EQ(std::string(buffer, 3), std::string("a\0b", 3));
    std::string out(6000, '\0');
    EXPECT_EQ(vtr_snprintf(out.data(), 100, "%3000d|", 7), 3001);
    EXPECT_EQ(std::string(out.c_str()), std::string(99, ' '));
}

TEST(Text, Utf16AndUtf8BothWays) {
    // Every length of UTF-8 sequence, a surrogate pair among them, there and back.
    const char16_t wide[] = u"a\u00e9\u20ac\U0001F3B5";
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5";
    std::string out;
    EXPECT_TRUE(vtr_utf16_to_utf8_string(wide, SIZE_MAX, VTR_UTF16_STRICT, &out));
    EXPECT_EQ(out, utf8);
    char16_t back[8];
    ASSERT_EQ(vtr_utf8_to_utf16_strict(utf8.c_str(), SIZE_MAX, back, 6), 6u);
    EXPECT_EQ(std::u16string(back), wide);

    // Lone surrogates: U+FFFD, or a failure under the strict rule; a pair cut by the unit
    // count is lone too.
    const char16_t lone[] = {0xDC00, 'a', 0xD800, 'b', 0xD83C, 0xDFB5, 0};
    EXPECT_TRUE(vtr_utf16_to_utf8_string(lone, 5, VTR_UTF16_REPLACE, &out));
    EXPECT_EQ(out, "\uFFFDa\uFFFDb\uFFFD");
    EXPECT_FALSE(vtr_utf16_to_utf8_string(lone, SIZE_MAX, VTR_UTF16_STRICT, &out));
    EXPECT_EQ(out, "");

    // Cut at the buffer: never half a character, counted in full, always terminated.
    char buffer[8];
    EXPECT_EQ(vtr_utf16_to_utf8(wide, SIZE_MAX, VTR_UTF16_REPLACE, buffer, 7), 10u);
    EXPECT_STREQ(buffer, "a\xC3\xA9\xE2\x82\xAC");

    // Bad UTF-8: cut, overlong, an encoded surrogate, beyond U+10FFFF, a stray byte, a NUL
    // inside the given length.
    for (const std::string &bad :
         std::initializer_list<std::string>{"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                                            "\x80", std::string("a\0b", 3)}) {
        EXPECT_EQ(vtr_utf8_to_utf16_strict(bad.data(), bad.size(), back, 8), 0u) << bad;
    }
}

} // namespace
