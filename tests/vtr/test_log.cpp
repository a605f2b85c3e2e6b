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
#include <unistd.h>
#endif

namespace {

std::string seen; // the debugger output read so far and the callback's calls, in order
[[maybe_unused]] int debugger_fd = -1; // the read end of the debugger output's pipe (POSIX)

void drain_debugger() {
#if !defined(_WIN32)
    char chunk[512];
    for (ssize_t n; debugger_fd >= 0 && (n = read(debugger_fd, chunk, sizeof chunk)) > 0;) {
        seen.append(chunk, static_cast<size_t>(n));
    }
#endif
}

// The debugger output's part of `seen`: nothing where it cannot be read.
std::string debugger([[maybe_unused]] const std::string &line) {
#if defined(_WIN32)
    return "";
#else
    return line;
#endif
}

// Each call as "[timestamp or -/level/text]".
void collect(vtr_logger *, const char *timestamp, uint32_t level, const char *text, size_t length) {
    drain_debugger();
    seen += "[" + std::string(timestamp != nullptr ? timestamp : "-") + "/" +
            std::to_string(level) + "/" + std::string(text, length) + "]";
}

void vlog_at(vtr_logger *logger, uint32_t level, const vtr_time *time, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vtr_vlog(logger, level, time, format, args);
    va_end(args);
}

std::string read_all(FILE *file) {
    fflush(file);
    rewind(file);
    std::string text;
    char chunk[512];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;) {
        text.append(chunk, n);
    }
    return text;
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

    void open(uint32_t level, std::initializer_list<uint32_t> sinks) {
        vtr_logger_set_overall_level(logger, level);
        for (uint32_t sink : sinks) {
            vtr_logger_set_level(logger, sink, level);
        }
    }

    vtr_logger *logger = nullptr;
    UdpPeer peer; // a network destination
};

TEST_F(Logger, LevelNamesAndSilentStart) {
    const char *const names[] = {"None", "Critical", "Error",   "Warning", "Notice",
                                 "Info", "Debug",    "Verbose", "Undef",   "Undef"};
    for (uint32_t level = 0; level < 10; ++level) {
        EXPECT_STREQ(vtr_log_level_name(level), names[level]);
    }
    EXPECT_EQ(logger->timestamp_flags, 14u);
    for (uint32_t sink = 0; sink < VTR_SINK_COUNT; ++sink) {
        EXPECT_EQ(vtr_logger_get_level(logger, sink), VTR_LOG_NONE);
    }
    EXPECT_FALSE(vtr_socket_is_valid(logger->net_socket[0]) ||
                 vtr_socket_is_valid(logger->net_socket[1]));
    for (uint32_t level = 1; level <= 7; ++level) {
        vtr_log(logger, level, "%s %d", "message", 1);
    }
    EXPECT_EQ(seen, "");
    EXPECT_EQ(logger->buffer, nullptr); // nothing was even formatted
    vtr_log(nullptr, VTR_LOG_CRITICAL, "no logger");
}

TEST_F(Logger, ThresholdsTimestampsAndTheFormatBuffer) {
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
    vlog_at(logger, VTR_LOG_ERROR, nullptr, "%"); // renders nothing
    EXPECT_EQ(seen, "");
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

TEST_F(Logger, DatagramsPerDestination) {
    UdpPeer second;
    ASSERT_EQ(vtr_logger_set_network(logger, 0, &peer.address), VTR_SUCCESS);
    ASSERT_EQ(vtr_logger_set_network(logger, 1, &second.address), VTR_SUCCESS);
    open(VTR_LOG_INFO, {VTR_SINK_NETWORK, VTR_SINK_CALLBACK});
    vtr_log(logger, VTR_LOG_WARNING, "hello %s", "net");
    vtr_log(logger, VTR_LOG_DEBUG, "above the threshold");
    logger->timestamp_flags |= VTR_STAMP_NETWORK;
    vlog_at(logger, VTR_LOG_INFO, &given, "stamped");
    std::string data;
    ASSERT_EQ(second.receive(&data), VTR_SUCCESS);
    EXPECT_EQ(data, " W hello net");
    ASSERT_EQ(peer.receive(&data), VTR_SUCCESS);
    EXPECT_EQ(data, " W hello net");
    ASSERT_EQ(peer.receive(&data), VTR_SUCCESS);
    EXPECT_EQ(data, stamp_of(given) + " I stamped");

    // Text beyond 1458 bytes in all goes on in datagrams of its own, without the prefix.
    logger->timestamp_flags = 0;
    std::string text;
    for (int i = 0; text.size() < 4000; ++i) {
        text += std::to_string(i);
    }
    vtr_log(logger, VTR_LOG_ERROR, "%s", text.c_str());
    std::string d1, d2, d3;
    for (std::string *d : {&d1, &d2, &d3}) {
        ASSERT_EQ(peer.receive(d), VTR_SUCCESS);
    }
    EXPECT_EQ(d1.size() + d2.size(), 2 * 1458u);
    EXPECT_EQ(d1.substr(0, 3), " E ");
    EXPECT_EQ(d1.substr(3) + d2 + d3, text);
    EXPECT_EQ(peer.receive(&data, 4096, nullptr, 50), VTR_TIMEDOUT);

    // A destination whose handle is no socket is disabled for good.
#if defined(_WIN32)
    vtr_socket not_a_socket = 0x1234; // no handle of this process
#else
    FILE *file = tmpfile();
    ASSERT_NE(file, nullptr);
    vtr_socket not_a_socket = static_cast<vtr_socket>(fileno(file));
#endif
    vtr_socket real = logger->net_socket[1];
    logger->net_socket[1] = not_a_socket;
    seen.clear();
    vtr_log(logger, VTR_LOG_INFO, "lost");
    vtr_log(logger, VTR_LOG_INFO, "later");
    EXPECT_EQ(seen, "[-/2/vtr_log: bad network logging socket " +
                        std::to_string(static_cast<int>(not_a_socket)) +
                        " - network logging disabled: NOTSOCK (44)][-/5/lost][-/5/later]");
    EXPECT_FALSE(vtr_socket_is_valid(logger->net_socket[1]));
    EXPECT_EQ(logger->net_address[1].addr.family, 0u);
    vtr_socket_close(&real);
#if !defined(_WIN32)
    EXPECT_NE(fcntl(fileno(file), F_GETFD), -1); // someone else's descriptor stays open
    fclose(file);
#endif
    EXPECT_EQ(vtr_logger_set_network(logger, 0, nullptr), VTR_SUCCESS);
    EXPECT_FALSE(vtr_socket_is_valid(logger->net_socket[0]));
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
    ASSERT_NE(error, VTR_SUCCESS);
    ASSERT_NE(error, VTR_NOTSOCK);
    const std::string notice = "vtr_log: network logging to 127.0.0.1:0 (len=16) (fd " +
                               std::to_string(static_cast<int>(failing)) +
                               ") failed: " + vtr_error_name(error) + " (" + std::to_string(error) +
                               ")";
    FILE *file = tmpfile();
    ASSERT_NE(file, nullptr);
    logger->file = file;
#if !defined(_WIN32)
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
    setenv("VTR_DEBUG_OUTPUT_FD", std::to_string(pipe_fds[1]).c_str(), 1);
    debugger_fd = pipe_fds[0];
#endif
    vtr_logger_set_overall_level(logger, VTR_LOG_VERBOSE);
    const uint32_t thresholds[VTR_SINK_COUNT] = {VTR_LOG_ERROR, VTR_LOG_INFO,   VTR_LOG_NOTICE,
                                                 VTR_LOG_DEBUG, VTR_LOG_NOTICE, VTR_LOG_VERBOSE};
    for (uint32_t sink = 0; sink < VTR_SINK_COUNT; ++sink) {
        vtr_logger_set_level(logger, sink, thresholds[sink]);
    }
    logger->timestamp_flags = VTR_STAMP_STDOUT | VTR_STAMP_FILE;
    vtr_clock_set_hook([](vtr_time *now) { *now = later; }); // the Notice's time
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    vlog_at(logger, VTR_LOG_ERROR, &given, "ordered");
    vtr_strlcpy(logger->name, "nyx", sizeof logger->name);
    vlog_at(logger, VTR_LOG_INFO, &given, "info\n");
    vlog_at(logger, VTR_LOG_WARNING, &given, "named");
    vlog_at(logger, VTR_LOG_DEBUG, &given, "debug");
    std::string err = ::testing::internal::GetCapturedStderr();
    std::string out = ::testing::internal::GetCapturedStdout();
    vtr_clock_set_hook(nullptr);
#if !defined(_WIN32)
    unsetenv("VTR_DEBUG_OUTPUT_FD");
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    debugger_fd = -1;
#endif

    const std::string g = stamp_of(given) + " ";
    const std::string n = "Notice " + notice + "\n";
    EXPECT_EQ(out, g + "Error ordered\n" + stamp_of(later) + " " + n + g + "Info info\n" + g +
                       "Warning named\n");
    EXPECT_EQ(err, "Error ordered\n" + n + "Warning named\n");
    EXPECT_EQ(read_all(file), g + "Error ordered\n" + stamp_of(later) + " " + n + g +
                                  "Info info\n" + g + "Warning named\n" + g + "Debug debug\n");
    EXPECT_EQ(seen, debugger("Notice:" + notice) + "[-/4/" + notice + "]" +
                        debugger("Error:ordered") + "[-/2/ordered][-/5/info\n]" +
                        debugger("nyx:Warning:named") + "[-/3/named][-/6/debug]");
    // The failing destination stays; the other one got the line, but not the Notice.
    EXPECT_EQ(logger->net_socket[0], failing);
    std::string data;
    ASSERT_EQ(peer.receive(&data), VTR_SUCCESS);
    EXPECT_EQ(data, " E ordered");
    EXPECT_EQ(peer.receive(&data, 4096, nullptr, 50), VTR_TIMEDOUT);

    // Above the overall threshold the Notice itself is dropped.
    logger->file = nullptr;
    fclose(file);
    open(VTR_LOG_NONE, {VTR_SINK_STDOUT, VTR_SINK_STDERR});
    vtr_logger_set_overall_level(logger, VTR_LOG_ERROR);
    seen.clear();
    vtr_log(logger, VTR_LOG_ERROR, "again");
    EXPECT_EQ(seen, "[-/2/again]");
}

} // namespace
