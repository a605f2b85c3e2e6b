// Error names and texts, and both translations of system errors.
#include "vtr/vtr_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

std::string text_of(vtr_error error) {
    char buffer[VTR_ERROR_TEXT_SIZE];
    return vtr_error_text(error, buffer);
}

struct Row {
    uint32_t code;
    vtr_error error;
};

void set_last_system_error(uint32_t code) {
#if defined(_WIN32)
    SetLastError(code);
#else
    errno = static_cast<int>(code);
#endif
}

TEST(Error, NamesAndTextsOfOursAndTheSystems) {
    // The layers above print the names as they are (their tests meet many of them).
    EXPECT_STREQ(vtr_error_name(VTR_SUCCESS), "SUCCESS");
    EXPECT_STREQ(vtr_error_name(VTR_NOTSOCK), "NOTSOCK");
    EXPECT_STREQ(vtr_error_name(VTR_BANDWIDTH_EXCEEDED), "BANDWIDTH_EXCEEDED");
    EXPECT_EQ(vtr_error_name(VTR_BANDWIDTH_EXCEEDED + 1), nullptr);

    EXPECT_EQ(text_of(VTR_SUCCESS), "success");
    EXPECT_EQ(text_of(VTR_INVALIDPARAMETER), "invalid parameter: (0x0003=INVALIDPARAMETER)");
    EXPECT_EQ(text_of(VTR_BANDWIDTH_EXCEEDED), "bandwidth exceeded: (0x0033=BANDWIDTH_EXCEEDED)");
    EXPECT_EQ(text_of(52), "(null): (0x0034=(null))");
    EXPECT_EQ(text_of(0x12345), "(null): (0x12345=(null))");

    // A system error's text reads the last error when it is formatted.
#if defined(_WIN32)
    const uint32_t code = ERROR_ACCESS_DENIED;
#else
    const uint32_t code = EACCES;
#endif
    std::string system_text = vtr_system_error_text(code);
    EXPECT_FALSE(system_text.empty());
    char expected[VTR_ERROR_TEXT_SIZE];
    snprintf(expected, sizeof expected, "System error: %s: (0x%04x)", system_text.c_str(),
             static_cast<unsigned>(code));
    set_last_system_error(code);
    EXPECT_EQ(vtr_last_system_error(), code);
    EXPECT_EQ(text_of(VTR_SYSTEM), expected);
    set_last_system_error(0);
    EXPECT_EQ(text_of(VTR_SYSTEM), "System error: : (0x0000)");
}

TEST(Error, EveryCodeHasOneNameAndItsText) {
    std::set<std::string> names;
    vtr_error code = 0;
    for (; vtr_error_name(code) != nullptr; ++code) {
        std::string name = vtr_error_name(code);
        EXPECT_TRUE(names.insert(name).second) << name;
        if (code != VTR_SUCCESS && code != VTR_SYSTEM) {
            std::string text = text_of(code);
            char tail[64];
            snprintf(tail, sizeof tail, ": (0x%04x=%s)", static_cast<unsigned>(code), name.c_str());
            EXPECT_GT(text.size(), strlen(tail)) << text;
            EXPECT_EQ(text.substr(text.size() - strlen(tail)), tail);
        }
    }
    EXPECT_EQ(code, 52u);
    EXPECT_EQ(vtr_error_name(0xFFFFFFFFu), nullptr);
}

TEST(Error, WindowsTranslation) {
    // Whatever a system code is, it translates to one of our named codes.
    for (uint32_t code = 0; code <= 0x1FFFF; ++code) {
        ASSERT_NE(vtr_error_name(vtr_error_from_system(code)), nullptr) << code;
    }
    // clang-format off
    const Row rows[] = {
        // The meanings the socket code and its callers rely on.
        {0, VTR_SUCCESS}, {10035, VTR_TIMEDOUT}, {10054, VTR_CONNRESET}, {10040, VTR_MSGSIZE},
        {10022, VTR_INVALIDPARAMETER}, {10055, VTR_NOBUFS}, {8, VTR_NOMEMORY},
        // Unknown codes, and 1753, which has a row only in its result-code form.
        {1, VTR_SYSTEM}, {10046, VTR_SYSTEM}, {1753, VTR_SYSTEM},
        // Rows up to 65535 match the low 16 bits, so wrapped Windows errors translate.
        {0x80070057u, VTR_INVALIDPARAMETER}, {0x8007274Cu, VTR_TIMEDOUT}, {0x10000u, VTR_SUCCESS},
        // Rows above 65535 match only the identical code.
        {0x800706D9u, VTR_NOTRUNNING}, {0x800806D9u, VTR_SYSTEM},
        {0xE000020Bu, VTR_NOTFOUND}, {0x0000020Bu, VTR_SYSTEM}, {0xE100020Bu, VTR_SYSTEM}};
    // clang-format on
    for (const Row &r : rows) {
        EXPECT_EQ(vtr_error_from_system(r.code), r.error) << std::hex << r.code;
    }
#if defined(_WIN32)
    SetLastError(0x80070057u);
    EXPECT_EQ(vtr_error_from_last_system(), VTR_INVALIDPARAMETER);
#endif
}

#if !defined(_WIN32)

TEST(Error, ErrnoTranslation) {
    // The meanings callers rely on, as in the Windows table (the socket tests meet more).
    // clang-format off
    const Row rows[] = {{0, VTR_SUCCESS}, {EAGAIN, VTR_TIMEDOUT}, {EINTR, VTR_INTERRUPTED},
        {EINVAL, VTR_INVALIDPARAMETER}, {ECONNREFUSED, VTR_CONNREFUSED}, {EDOM, VTR_SYSTEM}};
    // clang-format on
    for (const Row &r : rows) {
        errno = static_cast<int>(r.code);
        EXPECT_EQ(vtr_error_from_last_system(), r.error) << r.code;
    }
    // The text lookup leaves errno alone, and an unknown number still has a text.
    errno = ENOTSOCK;
    EXPECT_STREQ(vtr_system_error_text(EINVAL), "Invalid argument");
    EXPECT_EQ(errno, ENOTSOCK);
    EXPECT_STRNE(vtr_system_error_text(99999), "");
}

#endif

} // namespace
