// Error names and texts, and the translations of system errors.
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

TEST(Error, EveryCodeHasOneNameAndATextEndingInIt) {
    std::set<std::string> names;
    vtr_error code = 0;
    for (; vtr_error_name(code) != nullptr; ++code) {
        std::string name = vtr_error_name(code);
        EXPECT_TRUE(names.insert(name).second) << name;
        if (code != VTR_SUCCESS && code != VTR_SYSTEM) {
            char tail[64];
            snprintf(tail, sizeof tail, ": (0x%04x=%s)", static_cast<unsigned>(code), name.c_str());
            std::string text = text_of(code);
            EXPECT_TRUE(text.find(tail) + strlen(tail) == text.size() && text[0] != ':') << text;
        }
    }
    EXPECT_EQ(code, VTR_BANDWIDTH_EXCEEDED + 1);
    EXPECT_EQ(text_of(0x12345), "(null): (0x12345=(null))");

    // A system error's text reads the last error when it is formatted.
#if defined(_WIN32)
    const uint32_t system_code = ERROR_ACCESS_DENIED;
    SetLastError(system_code);
#else
    const uint32_t system_code = EACCES;
    errno = EACCES;
#endif
    EXPECT_EQ(vtr_last_system_error(), system_code);
    char expected[VTR_ERROR_TEXT_SIZE];
    snprintf(expected, sizeof expected, "System error: %s: (0x%04x)",
             vtr_system_error_text(system_code), system_code);
    EXPECT_EQ(text_of(VTR_SYSTEM), expected);
}

TEST(Error, SystemCodesTranslate) {
    // Whatever a Windows code is, it translates to one of our named codes.
    for (uint32_t code = 0; code <= 0x1FFFF; ++code) {
        ASSERT_NE(vtr_error_name(vtr_error_from_system(code)), nullptr) << code;
    }
    EXPECT_EQ(vtr_error_from_system(10035), VTR_TIMEDOUT);
    // Rows up to 65535 match the low 16 bits; rows above only the identical code.
    EXPECT_EQ(vtr_error_from_system(0x8007274Cu), VTR_TIMEDOUT);
    EXPECT_EQ(vtr_error_from_system(0x800706D9u), VTR_NOTRUNNING);
    EXPECT_EQ(vtr_error_from_system(0x800806D9u), VTR_SYSTEM);
}

} // namespace
