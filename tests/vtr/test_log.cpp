// The logger: filtering, the line forms and the order of the sinks, and the network sink.
#include "udp_peer.h"
#include "vtr/vtr_log.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#if !defined(_WIN32)
#include <fcntl.h>
#endif

namespace {

std::string seen; // the callback's calls

// Each call as "[timestamp or -/level/text]".
void collect(vtr_logger *, const char *timestamp, uint32_t level, const char *text, size_t length) {
    // Appended piece by piece: no temporary strings to concatenate, which g++ 12 at -O3
    // misreads as overlapping copies (-Wrestrict).
    seen += '[';
    seen += timestamp != nullptr ? timestamp : "-";
    seen += '/';
    seen += std::to_string(level);
    seen += '/';
    seen.append(text, length);
    seen += ']';
}

void vlog_at(vtr_logger *logger, uint32_t level, const vtr_time *time, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vtr_vlog(logger, level, time, format, args);
    va_end(args);
}

// The C library's own ctime form from the month on: "Nov 14 22:13:20".
std::string stamp_of(const vtr_time &time) {
    time_t t = time.sec;
    return std::string(ctime(&t) + 4, 15);
}

const vtr_time given{1700000000, 0};
const vtr_time later{1700086461, 0}; // what the clock says

class Logger : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(vtr_logger_new(&logger), VTR_SUCCESS);
        logger->callback = collect;
        seen.clear();
    }
    void TearDown() override { vtr_logger_delete(logger); }

    vtr_logger *logger = nullptr;
    UdpPeer peer; // a network destination
};

TEST_F(Logger, SilentStartThresholdsTimestampsAndTheFormatBuffer) {
    // The other names appear in the sinks' lines.
    EXPECT_STREQ(vtr_log_level_name(VTR_LOG_CRITICAL), "Critical");
    EXPECT_STREQ(vtr_log_level_name(VTR_LOG_VERBOSE), "Verbose");
    EXPECT_STREQ(vtr_log_level_name(VTR_LOG_VERBOSE + 1), "Undef");
    EXPECT_EQ(logger->timestamp_flags, 14u);
    EXPECT_FALSE(vtr_socket_is_valid(logger->net_socket[0]) ||
                 vtr_socket_is_valid(logger->net_socket[1]));
    vtr_log(logger, VTR_LOG_CRITICAL, "silent");
    EXPECT_EQ(logger->buffer, nullptr); // not even formatted
    vtr_log(nullptr, VTR_LOG_CRITICAL, "no logger");

    vtr_logger_set_overall_level(logger, VTR_LOG_DEBUG);
    vtr_logger_set_level(logger, VTR_SINK_CALLBACK, VTR_LOG_WARNING);
    vtr_log(logger, VTR_LOG_ERROR, "error %d", 1);
    vtr_log(logger, VTR_LOG_NOTICE, "notice");
    // The overall threshold drops a message before any sink sees it.
    vtr_logger_set_level(logger, VTR_SINK_CALLBACK, VTR_LOG_VERBOSE);
    vtr_log(logger, VTR_LOG_VERBOSE, "verbose");
    vtr_log(logger, VTR_LOG_DEBUG, "debug");
    logger->timestamp_flags |= VTR_STAMP_CALLBACK;
    vlog_at(logger, VTR_LOG_INFO, &given, "at %s", "then");
    vtr_clock_set_hook([](vtr_time *now) { *now = later; });
    vtr_log(logger, VTR_LOG_INFO, "now");
    vtr_clock_set_hook(nullptr);
    EXPECT_EQ(seen, "[-/2/error 1][-/6/debug][" + stamp_of(given) + "/5/at then][" +
                        stamp_of(later) + "/5/now]");

    // The format buffer: empty texts produce nothing, long ones are cut to it.
    seen.clear();
    logger->timestamp_flags = 0;
    vtr_log(logger, VTR_LOG_ERROR, "%s", "");
    std::string text(20000, 'a');
    vtr_log(logger, VTR_LOG_ERROR, "%s", text.c_str());
    EXPECT_EQ(seen, "[-/2/" + text.substr(0, 16383) + "]");
    EXPECT_EQ(logger->buffer_size, 16384u);

    // A buffer that should come from outside and is missing drops the message.
    seen.clear();
    free(logger->buffer);
    logger->buffer = nullptr;
    logger->buffer_external = true;
    vtr_log(logger, VTR_LOG_ERROR, "dropped");
    char external[16];
    logger->buffer = external;
    logger->buffer_size = sizeof external;
    vtr_log(logger, VTR_LOG_ERROR, "%s", "a text longer than sixteen");
    EXPECT_EQ(seen, "[-/2/a text longer t]");
}

TEST_F(Logger, LongDatagramsAndADestinationThatIsNoSocket) {
    ASSERT_EQ(vtr_logger_set_network(logger, 0, &peer.address), VTR_SUCCESS);
    vtr_logger_set_overall_level(logger, VTR_LOG_INFO);
    vtr_logger_set_level(logger, VTR_SINK_NETWORK, VTR_LOG_INFO);
    // Text beyond 1458 bytes in all goes on in datagrams of its own, without the prefix.
    std::string text;
    for (int i = 0; text.size() < 4000; ++i) {
        text += std::to_string(i);
    }
    vtr_log(logger, VTR_LOG_ERROR, "%s", text.c_str());
    std::string d1 = receive(peer.sock), d2 = receive(peer.sock), d3 = receive(peer.sock);
    EXPECT_EQ(d1.size() + d2.size(), 2 * 1458u);
    EXPECT_EQ(d1 + d2 + d3, " E " + text);
    EXPECT_EQ(receive(peer.sock, 4096, nullptr, 50), "TIMEDOUT");

    // A destination whose handle is no socket is disabled for good.
#if defined(_WIN32)
    vtr_socket not_a_socket = 0x1234; // no handle of this process
#else
    FILE *file = tmpfile();
    ASSERT_NE(file, nullptr);
    vtr_socket not_a_socket = static_cast<vtr_socket>(fileno(file));
#endif
    vtr_socket real = logger->net_socket[0];
    logger->net_socket[0] = not_a_socket;
    vtr_logger_set_level(logger, VTR_SINK_CALLBACK, VTR_LOG_INFO);
    vtr_log(logger, VTR_LOG_INFO, "lost");
    vtr_log(logger, VTR_LOG_INFO, "later");
    EXPECT_EQ(seen, "[-/2/vtr_log: bad network logging socket " +
                        std::to_string(static_cast<int>(not_a_socket)) +
                        " - network logging disabled: NOTSOCK (44)][-/5/lost][-/5/later]");
    EXPECT_FALSE(vtr_socket_is_valid(logger->net_socket[0]));
    vtr_socket_close(&real);
#if !defined(_WIN32)
    EXPECT_NE(fcntl(fileno(file), F_GETFD), -1); // someone else's descriptor stays open
    fclose(file);
#endif
}

// Each sink has its own threshold. A failing network destination logs a Notice from inside
// the network sink, so where the Notice lands shows whether a sink comes before the network.
TEST_F(Logger, SinkLinesThresholdsAndOrder) {
    // Destination 0 points at port 0, which no send can reach; destination 1 at the peer.
    ASSERT_EQ(vtr_logger_set_network(logger, 0, &peer.address), VTR_SUCCESS);
    ASSERT_EQ(vtr_logger_set_network(logger, 1, &peer.address), VTR_SUCCESS);
    logger->net_address[0].addr.port_be = 0;
    vtr_socket failing = logger->net_socket[0];
    size_t length = 1;
    vtr_error error = vtr_socket_sendto(failing, "x", &length, &logger->net_address[0]);
    ASSERT_TRUE(error != VTR_SUCCESS && error != VTR_NOTSOCK) << error;
    const std::string notice = "vtr_log: network logging to 127.0.0.1:0 (len=16) (fd " +
                               std::to_string(static_cast<int>(failing)) +
                               ") failed: " + vtr_error_name(error) + " (" + std::to_string(error) +
                               ")";
    FILE *file = tmpfile();
    ASSERT_NE(file, nullptr);
    logger->file = file;
#if defined(_WIN32)
    const bool posix = false; // the debugger output cannot be read
#else
    const bool posix = true; // the debugger output goes to the file too
    setenv("VTR_DEBUG_OUTPUT_FD", std::to_string(fileno(file)).c_str(), 1);
#endif
    vtr_logger_set_overall_level(logger, VTR_LOG_VERBOSE);
    const uint32_t thresholds[VTR_SINK_COUNT] = {VTR_LOG_ERROR, VTR_LOG_INFO,   VTR_LOG_NOTICE,
                                                 VTR_LOG_DEBUG, VTR_LOG_NOTICE, VTR_LOG_VERBOSE};
    for (uint32_t sink = 0; sink < VTR_SINK_COUNT; ++sink) {
        vtr_logger_set_level(logger, sink, thresholds[sink]);
    }
    logger->timestamp_flags = VTR_STAMP_STDOUT | VTR_STAMP_FILE | VTR_STAMP_NETWORK;
    vtr_clock_set_hook([](vtr_time *now) { *now = later; }); // for lines without a time
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    vlog_at(logger, VTR_LOG_ERROR, &given, "ordered");
    vtr_strlcpy(logger->name, "nyx", sizeof logger->name);
    vlog_at(logger, VTR_LOG_INFO, &given, "info\n");
    vlog_at(logger, VTR_LOG_WARNING, &given, "named");
    vlog_at(logger, VTR_LOG_DEBUG, &given, "debug");
    // Above the overall threshold the Notice itself is dropped.
    vtr_logger_set_overall_level(logger, VTR_LOG_ERROR);
    vtr_log(logger, VTR_LOG_ERROR, "again");
    std::string err = ::testing::internal::GetCapturedStderr();
    std::string out = ::testing::internal::GetCapturedStdout();
    vtr_clock_set_hook(nullptr);
#if !defined(_WIN32)
    unsetenv("VTR_DEBUG_OUTPUT_FD");
#endif
    auto debugger = [&](const std::string &line) { return posix ? line : ""; };

    const std::string g = stamp_of(given) + " ", l = stamp_of(later) + " ";
    const std::string n = "Notice " + notice + "\n";
    EXPECT_EQ(out, g + "Error ordered\n" + l + n + g + "Info info\n" + g + "Warning named\n" + l +
                       "Error again\n");
    EXPECT_EQ(err, "Error ordered\n" + n + "Warning named\nError again\n");
    rewind(file);
    std::string written(4096, '\0');
    written.resize(fread(written.data(), 1, written.size(), file));
    fclose(file);
    EXPECT_EQ(written, g + "Error ordered\n" + l + n + debugger("Notice:" + notice) +
                           debugger("Error:ordered") + g + "Info info\n" + g + "Warning named\n" +
                           debugger("nyx:Warning:named") + g + "Debug debug\n" + l +
                           "Error again\n" + debugger("nyx:Error:again"));
    EXPECT_EQ(seen,
              "[-/4/" + notice + "][-/2/ordered][-/5/info\n][-/3/named][-/6/debug][-/2/again]");
    // The failing destination stays; the other one got the lines, but not the Notice.
    EXPECT_EQ(logger->net_socket[0], failing);
    EXPECT_EQ(receive(peer.sock), g + "E ordered");
    EXPECT_EQ(receive(peer.sock), l + "E again");
    EXPECT_EQ(receive(peer.sock, 4096, nullptr, 50), "TIMEDOUT");
    EXPECT_EQ(vtr_logger_set_network(logger, 1, nullptr), VTR_SUCCESS);
    EXPECT_FALSE(vtr_socket_is_valid(logger->net_socket[1]));
}

} // namespace
