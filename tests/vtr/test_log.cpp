// The logger: filtering, the line forms and the order of the sinks, and the network sink.
#include "udp_peer.h"
#include "vtr/vtr_log.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

std::string seen; // the callback's calls

// Each call as "[level/text]".
void collect(vtr_logger *, const char *, uint32_t level, const char *text, size_t length) {
    // Appended piece by piece: no temporary strings to concatenate, which g++ 12 at -O3
    // misreads as overlapping copies (-Wrestrict).
    seen += '[';
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

TEST_F(Logger, SilentStartThresholdAndTheFormatBuffer) {
    vtr_log(logger, VTR_LOG_CRITICAL, "silent");
    EXPECT_EQ(logger->buffer, nullptr); // not even formatted
    // The overall threshold drops a message before any sink sees it; empty texts produce
    // nothing, long ones are cut to the format buffer.
    vtr_logger_set_overall_level(logger, VTR_LOG_DEBUG);
    vtr_logger_set_level(logger, VTR_SINK_CALLBACK, VTR_LOG_VERBOSE);
    vtr_log(logger, VTR_LOG_VERBOSE, "verbose");
    vtr_log(logger, VTR_LOG_ERROR, "%s", "");
    std::string text(20000, 'a');
    vtr_log(logger, VTR_LOG_ERROR, "%s", text.c_str());
    EXPECT_EQ(seen, "[2/" + text.substr(0, 16383) + "]");
}

TEST_F(Logger, LongTextGoesOutInSeveralDatagrams) {
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
    FILE *file = logger->file = tmpfile();
    ASSERT_NE(file, nullptr);
#if !defined(_WIN32) // the debugger output goes to the file too; wine's cannot be read
    setenv("VTR_DEBUG_OUTPUT_FD", std::to_string(fileno(file)).c_str(), 1);
#endif
    vtr_logger_set_overall_level(logger, VTR_LOG_VERBOSE);
    uint32_t sink = 0;
    for (uint32_t level : {VTR_LOG_ERROR, VTR_LOG_INFO, VTR_LOG_NOTICE, VTR_LOG_DEBUG,
                           VTR_LOG_NOTICE, VTR_LOG_VERBOSE})
        vtr_logger_set_level(logger, sink++, level);
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
    auto debugger = [](const std::string &line) {
        return getenv("VTR_DEBUG_OUTPUT_FD") ? line : "";
    };

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
    EXPECT_EQ(seen, "[4/" + notice + "][2/ordered][5/info\n][3/named][6/debug][2/again]");
    // The failing destination stays; the other one got the lines, but not the Notice.
    EXPECT_EQ(logger->net_socket[0], failing);
    EXPECT_EQ(receive(peer.sock), g + "E ordered");
    EXPECT_EQ(receive(peer.sock), l + "E again");
    EXPECT_EQ(receive(peer.sock, 4096, nullptr, 50), "TIMEDOUT");
#if !defined(_WIN32)
    unsetenv("VTR_DEBUG_OUTPUT_FD");
#endif
}

} // namespace
