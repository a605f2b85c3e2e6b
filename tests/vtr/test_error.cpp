// Error names and texts, and both translations of system errors.
#include "vtr/vtr_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
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

TEST(Error, WindowsTranslation) {
    // clang-format off
    const Row rows[] = {
        {0, VTR_SUCCESS}, {87, VTR_INVALIDPARAMETER}, {10022, VTR_INVALIDPARAMETER},
        {123, VTR_INVALIDPARAMETER}, {14, VTR_NOMEMORY}, {8, VTR_NOMEMORY},
        {192, VTR_INTERRUPTED}, {10004, VTR_INTERRUPTED}, {10045, VTR_NOTSUPPORTED},
        {10060, VTR_TIMEDOUT}, {10035, VTR_TIMEDOUT}, {2, VTR_NOTFOUND}, {3, VTR_NOTFOUND},
        {1060, VTR_NOTFOUND}, {0xE000020Bu, VTR_NOTFOUND}, {5, VTR_ACCES}, {10013, VTR_ACCES},
        {10048, VTR_ADDRINUSE}, {10049, VTR_ADDRNOTAVAIL}, {10047, VTR_AFNOSUPPORT},
        {10037, VTR_ALREADY}, {5010, VTR_ALREADY}, {10053, VTR_CONNABORTED},
        {10061, VTR_CONNREFUSED}, {10054, VTR_CONNRESET}, {10039, VTR_DESTADDRREQ},
        {10014, VTR_FAULT}, {10065, VTR_HOSTUNREACH}, {10036, VTR_INPROGRESS},
        {10056, VTR_ISCONN}, {10024, VTR_MFILE}, {10040, VTR_MSGSIZE}, {10050, VTR_NETDOWN},
        {10052, VTR_NETRESET}, {10051, VTR_NETUNREACH}, {67, VTR_NETUNREACH},
        {1232, VTR_NETUNREACH}, {1231, VTR_NETUNREACH}, {31, VTR_NETUNREACH},
        {10055, VTR_NOBUFS}, {11004, VTR_NODATA}, {10042, VTR_NOPROTOOPT},
        {11003, VTR_NORECOVERY}, {10057, VTR_NOTCONN}, {10093, VTR_NOTINITIALISED},
        {10038, VTR_NOTSOCK}, {10043, VTR_PROTONOSUPPORT}, {10041, VTR_PROTOTYPE},
        {10058, VTR_SHUTDOWN}, {10044, VTR_SOCKTNOSUPPORT}, {11002, VTR_TRYAGAIN},
        {0x800706D9u, VTR_NOTRUNNING},
        // No row of their own; 1753 has one only in its result-code form.
        {1, VTR_SYSTEM}, {10046, VTR_SYSTEM}, {1753, VTR_SYSTEM},
        // Rows up to 65535 match the low 16 bits, so wrapped Windows errors translate.
        {0x80070057u, VTR_INVALIDPARAMETER}, {0x8007274Cu, VTR_TIMEDOUT}, {0x10000u, VTR_SUCCESS},
        // Rows above 65535 match only the identical code.
        {0x800806D9u, VTR_SYSTEM}, {0x0000020Bu, VTR_SYSTEM}, {0xE100020Bu, VTR_SYSTEM}};
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
