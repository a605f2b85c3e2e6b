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

void set_last_system_error(uint32_t code) {
#if defined(_WIN32)
    SetLastError(code);
#else
    errno = static_cast<int>(code);
#endif
}

TEST(Error, NamesCoverEveryValueAndNothingElse) {
    // The names are printed as they are by the layers above; every one matters.
    const char *const names[] = {
        "SUCCESS",        "DONE",          "SYSTEM",        "INVALIDPARAMETER", "INVALIDDATA",
        "INVALIDSTATE",   "NOMEMORY",      "INTERRUPTED",   "TRUNCATED",        "NOTSUPPORTED",
        "TIMEDOUT",       "NOTFOUND",      "DNSSDFAIL",     "RANGE",            "POLICY",
        "VERSION",        "CANCELLED",     "CLOSING",       "ACCES",            "ADDRINUSE",
        "ADDRNOTAVAIL",   "AFNOSUPPORT",   "ALREADY",       "BADF",             "CONNABORTED",
        "CONNREFUSED",    "CONNRESET",     "DESTADDRREQ",   "FAULT",            "HOSTUNREACH",
        "INPROGRESS",     "ISCONN",        "MFILE",         "MSGSIZE",          "NETDOWN",
        "NETRESET",       "NETUNREACH",    "NOBUFS",        "NODATA",           "NODEV",
        "NOPROTOOPT",     "NORECOVERY",    "NOTCONN",       "NOTINITIALISED",   "NOTSOCK",
        "PROTONOSUPPORT", "PROTOTYPE",     "SHUTDOWN",      "SOCKTNOSUPPORT",   "TRYAGAIN",
        "NOTRUNNING",     "BANDWIDTH_EXCEEDED"};
    static_assert(sizeof names / sizeof names[0] == 52);
    for (vtr_error e = 0; e < 52; ++e) {
        ASSERT_NE(vtr_error_name(e), nullptr) << e;
        EXPECT_STREQ(vtr_error_name(e), names[e]) << e;
    }
    EXPECT_EQ(vtr_error_name(52), nullptr);
    EXPECT_EQ(vtr_error_name(0xFFFFFFFFu), nullptr);
}

TEST(Error, TextLines) {
    EXPECT_EQ(text_of(VTR_SUCCESS), "success");
    EXPECT_EQ(text_of(VTR_DONE), "operation done: (0x0001=DONE)");
    EXPECT_EQ(text_of(VTR_INVALIDPARAMETER), "invalid parameter: (0x0003=INVALIDPARAMETER)");
    EXPECT_EQ(text_of(VTR_TIMEDOUT), "operation timed out: (0x000a=TIMEDOUT)");
    EXPECT_EQ(text_of(VTR_CONNRESET), "connection reset: (0x001a=CONNRESET)");
    EXPECT_EQ(text_of(VTR_MSGSIZE), "message too long: (0x0021=MSGSIZE)");
    EXPECT_EQ(text_of(VTR_NOBUFS), "no buffers: (0x0025=NOBUFS)");
    EXPECT_EQ(text_of(VTR_NOTSOCK), "not a socket: (0x002c=NOTSOCK)");
    EXPECT_EQ(text_of(VTR_BANDWIDTH_EXCEEDED), "bandwidth exceeded: (0x0033=BANDWIDTH_EXCEEDED)");
    EXPECT_EQ(text_of(52), "(null): (0x0034=(null))");
    EXPECT_EQ(text_of(0x12345), "(null): (0x12345=(null))");
}

TEST(Error, SystemTextUsesTheCurrentLastError) {
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
    EXPECT_EQ(text_of(VTR_SYSTEM), expected);
    // The text is read from the thread's last error at the moment of formatting.
    set_last_system_error(0);
    EXPECT_EQ(text_of(VTR_SYSTEM), "System error: : (0x0000)");
    EXPECT_STREQ(vtr_system_error_text(0), "");
}

TEST(Error, LastSystemErrorIsTheThreadsValue) {
    set_last_system_error(10054);
    EXPECT_EQ(vtr_last_system_error(), 10054u);
    set_last_system_error(0);
    EXPECT_EQ(vtr_last_system_error(), 0u);
}

TEST(Error, WindowsTableRows) {
    struct row {
        uint32_t code;
        vtr_error error;
    };
    const row rows[] = {
        {0, VTR_SUCCESS},
        {87, VTR_INVALIDPARAMETER},     {10022, VTR_INVALIDPARAMETER}, {123, VTR_INVALIDPARAMETER},
        {14, VTR_NOMEMORY},             {8, VTR_NOMEMORY},
        {192, VTR_INTERRUPTED},         {10004, VTR_INTERRUPTED},
        {10045, VTR_NOTSUPPORTED},
        {10060, VTR_TIMEDOUT},          {10035, VTR_TIMEDOUT},
        {2, VTR_NOTFOUND},              {3, VTR_NOTFOUND},             {1060, VTR_NOTFOUND},
        {0xE000020Bu, VTR_NOTFOUND},
        {5, VTR_ACCES},                 {10013, VTR_ACCES},
        {10048, VTR_ADDRINUSE},         {10049, VTR_ADDRNOTAVAIL},     {10047, VTR_AFNOSUPPORT},
        {10037, VTR_ALREADY},           {5010, VTR_ALREADY},
        {10053, VTR_CONNABORTED},       {10061, VTR_CONNREFUSED},      {10054, VTR_CONNRESET},
        {10039, VTR_DESTADDRREQ},       {10014, VTR_FAULT},            {10065, VTR_HOSTUNREACH},
        {10036, VTR_INPROGRESS},        {10056, VTR_ISCONN},           {10024, VTR_MFILE},
        {10040, VTR_MSGSIZE},           {10050, VTR_NETDOWN},          {10052, VTR_NETRESET},
        {10051, VTR_NETUNREACH},        {67, VTR_NETUNREACH},          {1232, VTR_NETUNREACH},
        {1231, VTR_NETUNREACH},         {31, VTR_NETUNREACH},
        {10055, VTR_NOBUFS},            {11004, VTR_NODATA},           {10042, VTR_NOPROTOOPT},
        {11003, VTR_NORECOVERY},        {10057, VTR_NOTCONN},          {10093, VTR_NOTINITIALISED},
        {10038, VTR_NOTSOCK},           {10043, VTR_PROTONOSUPPORT},   {10041, VTR_PROTOTYPE},
        {10058, VTR_SHUTDOWN},          {10044, VTR_SOCKTNOSUPPORT},   {11002, VTR_TRYAGAIN},
        {0x800706D9u, VTR_NOTRUNNING},
    };
    for (const row &r : rows) {
        EXPECT_EQ(vtr_error_from_system(r.code), r.error) << r.code;
    }
}

TEST(Error, WindowsTableMatchingRules) {
    // Codes without a row.
    EXPECT_EQ(vtr_error_from_system(1753), VTR_SYSTEM); // only its result-code form has a row
    EXPECT_EQ(vtr_error_from_system(1), VTR_SYSTEM);
    EXPECT_EQ(vtr_error_from_system(10046), VTR_SYSTEM);
    // Result codes wrapping a Windows error translate like the bare error (low 16 bits).
    EXPECT_EQ(vtr_error_from_system(0x80070057u), VTR_INVALIDPARAMETER);
    EXPECT_EQ(vtr_error_from_system(0x80070005u), VTR_ACCES);
    EXPECT_EQ(vtr_error_from_system(0x8007274Cu), VTR_TIMEDOUT);
    EXPECT_EQ(vtr_error_from_system(0x00010000u), VTR_SUCCESS);
    // Rows above 65535 match only the identical code.
    EXPECT_EQ(vtr_error_from_system(0x000006D9u), VTR_SYSTEM);
    EXPECT_EQ(vtr_error_from_system(0x800806D9u), VTR_SYSTEM);
    EXPECT_EQ(vtr_error_from_system(0x0000020Bu), VTR_SYSTEM);
    EXPECT_EQ(vtr_error_from_system(0xE100020Bu), VTR_SYSTEM);
}

#if defined(_WIN32)

TEST(Error, LastSystemErrorGoesThroughTheTable) {
    SetLastError(WSAEWOULDBLOCK);
    EXPECT_EQ(vtr_error_from_last_system(), VTR_TIMEDOUT);
    SetLastError(WSAECONNRESET);
    EXPECT_EQ(vtr_error_from_last_system(), VTR_CONNRESET);
    SetLastError(0x80070057u);
    EXPECT_EQ(vtr_error_from_last_system(), VTR_INVALIDPARAMETER);
    SetLastError(1753);
    EXPECT_EQ(vtr_error_from_last_system(), VTR_SYSTEM);
}

#else

TEST(Error, ErrnoTranslation) {
    struct row {
        int code;
        vtr_error error;
    };
    const row rows[] = {
        {0, VTR_SUCCESS},
        {EAGAIN, VTR_TIMEDOUT},
        {EWOULDBLOCK, VTR_TIMEDOUT},
        {ETIMEDOUT, VTR_TIMEDOUT},
        {EINTR, VTR_INTERRUPTED},
        {EINVAL, VTR_INVALIDPARAMETER},
        {ENOMEM, VTR_NOMEMORY},
        {EACCES, VTR_ACCES},
        {EADDRINUSE, VTR_ADDRINUSE},
        {EADDRNOTAVAIL, VTR_ADDRNOTAVAIL},
        {EAFNOSUPPORT, VTR_AFNOSUPPORT},
        {ENOTSOCK, VTR_NOTSOCK},
        {EBADF, VTR_BADF},
        {EMSGSIZE, VTR_MSGSIZE},
        {ECONNREFUSED, VTR_CONNREFUSED},
        {ECONNRESET, VTR_CONNRESET},
        {ENOBUFS, VTR_NOBUFS},
        {ENETUNREACH, VTR_NETUNREACH},
        {EHOSTUNREACH, VTR_HOSTUNREACH},
        {ENOTCONN, VTR_NOTCONN},
        {EISCONN, VTR_ISCONN},
        {EMFILE, VTR_MFILE},
        {ENOENT, VTR_NOTFOUND},
        {EOPNOTSUPP, VTR_NOTSUPPORTED},
        {EDOM, VTR_SYSTEM},
        {EXDEV, VTR_SYSTEM},
    };
    for (const row &r : rows) {
        errno = r.code;
        EXPECT_EQ(vtr_error_from_last_system(), r.error) << r.code;
    }
}

TEST(Error, ErrnoTextKeepsErrno) {
    errno = ENOTSOCK;
    std::string text = vtr_system_error_text(EINVAL);
    EXPECT_EQ(errno, ENOTSOCK);
    EXPECT_EQ(text, "Invalid argument");
    // An unknown number still gives a text, never a failure.
    EXPECT_FALSE(std::string(vtr_system_error_text(99999)).empty());
}

#endif

} // namespace
