// The logger: filtering, the line forms of each sink, their order and the network sink.
#include "udp_peer.h"
#include "vtr/vtr_log.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace {

struct Line {
    bool stamped;
    std::string timestamp;
    uint32_t level;
    std::string text;
};

void collect(vtr_logger *logger, const char *timestamp, uint32_t level, const char *text,
             size_t length) {
    auto *lines = static_cast<std::vector<Line> *>(logger->callback_context);
    lines->push_back(Line{timestamp != nullptr, timestamp != nullptr ? timestamp : "", level,
                          std::string(text, length)});
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
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, n);
    }
    return text;
}

// "Dec  6 02:37:35": the ctime form from the month on, without the year.
std::string stamp_of(const vtr_time &time) {
    char text[VTR_TIME_TEXT_SIZE];
    vtr_time_text(&time, text);
    return std::string(text + 4, 15);
}

const std::regex stamp_pattern("[A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]");

class Logger : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(vtr_logger_new(&logger), VTR_SUCCESS);
        logger->callback = collect;
        logger->callback_context = &lines;
    }
    void TearDown() override { vtr_logger_delete(logger); }

    // Admits every level up to `level` overall and at the callback.
    void open_callback(uint32_t level) {
        vtr_logger_set_overall_level(logger, level);
        vtr_logger_set_level(logger, VTR_SINK_CALLBACK, level);
    }

    vtr_logger *logger = nullptr;
    std::vector<Line> lines;
};

TEST(LogLevel, Names) {
    const char *const names[] = {"None", "Critical", "Error", "Warning",
                                 "Notice", "Info", "Debug", "Verbose"};
    for (uint32_t level = 0; level < 8; ++level) {
        EXPECT_STREQ(vtr_log_level_name(level), names[level]);
    }
    EXPECT_STREQ(vtr_log_level_name(8), "Undef");
    EXPECT_STREQ(vtr_log_level_name(9), "Undef");
    EXPECT_STREQ(vtr_log_level_name(0xFFFFFFFFu), "Undef");
}

TEST_F(Logger, StartsSilentWithDefaults) {
    EXPECT_EQ(logger->timestamp_flags, 14u);
    EXPECT_EQ(logger->level, VTR_LOG_NONE);
    for (uint32_t sink = 0; sink < VTR_SINK_COUNT; ++sink) {
        EXPECT_EQ(vtr_logger_get_level(logger, sink), VTR_LOG_NONE);
    }
    EXPECT_FALSE(vtr_socket_is_valid(logger->net_socket[0]));
    EXPECT_FALSE(vtr_socket_is_valid(logger->net_socket[1]));
    for (uint32_t level = 1; level <= 7; ++level) {
        vtr_log(logger, level, "%s %d", "message", 1);
    }
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(logger->buffer, nullptr); // nothing was even formatted
    vtr_log(nullptr, VTR_LOG_CRITICAL, "no logger");
}

TEST_F(Logger, ThresholdsFilter) {
    vtr_logger_set_overall_level(logger, VTR_LOG_DEBUG);
    vtr_logger_set_level(logger, VTR_SINK_CALLBACK, VTR_LOG_WARNING);
    EXPECT_EQ(vtr_logger_get_level(logger, VTR_SINK_CALLBACK), VTR_LOG_WARNING);
    EXPECT_EQ(vtr_logger_get_level(logger, VTR_SINK_COUNT), VTR_LOG_NONE);
    vtr_log(logger, VTR_LOG_ERROR, "error %d", 1);
    vtr_log(logger, VTR_LOG_WARNING, "warning %d", 2);
    vtr_log(logger, VTR_LOG_NOTICE, "notice %d", 3);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, VTR_LOG_ERROR);
    EXPECT_EQ(lines[0].text, "error 1");
    EXPECT_EQ(lines[1].text, "warning 2");

    // The overall threshold drops a message before any sink sees it.
    vtr_logger_set_level(logger, VTR_SINK_CALLBACK, VTR_LOG_VERBOSE);
    vtr_log(logger, VTR_LOG_VERBOSE, "verbose");
    vtr_log(logger, VTR_LOG_DEBUG, "debug");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].text, "debug");
    EXPECT_EQ(lines[2].level, VTR_LOG_DEBUG);
}

TEST_F(Logger, CallbackTimestampFollowsItsFlag) {
    open_callback(VTR_LOG_VERBOSE);
    vtr_log(logger, VTR_LOG_INFO, "plain");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_FALSE(lines[0].stamped);

    logger->timestamp_flags |= VTR_STAMP_CALLBACK;
    vtr_log(logger, VTR_LOG_INFO, "now");
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_TRUE(lines[1].stamped);
    EXPECT_TRUE(std::regex_match(lines[1].timestamp, stamp_pattern)) << lines[1].timestamp;

    const vtr_time given{1700000000, 0}; // a day with a leading zero in no time zone
    vlog_at(logger, VTR_LOG_INFO, &given, "at %s", "then");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].timestamp, stamp_of(given));
    EXPECT_EQ(lines[2].text, "at then");
    const vtr_time early_day{1700000000 - 10 * 86400, 0}; // day of month below 10
    vlog_at(logger, VTR_LOG_INFO, &early_day, "x");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(std::regex_match(lines[3].timestamp, stamp_pattern)) << lines[3].timestamp;
    EXPECT_EQ(lines[3].timestamp, stamp_of(early_day));
}

TEST_F(Logger, EmptyTextsProduceNothing) {
    open_callback(VTR_LOG_VERBOSE);
    vtr_log(logger, VTR_LOG_ERROR, "%s", "");
    vlog_at(logger, VTR_LOG_ERROR, nullptr, "%"); // a lone '%' renders nothing
    EXPECT_TRUE(lines.empty());
}

TEST_F(Logger, LongTextIsCutToTheFormatBuffer) {
    open_callback(VTR_LOG_VERBOSE);
    std::string text(20000, 'a');
    vtr_log(logger, VTR_LOG_ERROR, "%s", text.c_str());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, std::string(16383, 'a'));
    EXPECT_EQ(logger->buffer_size, 16384u);
}

TEST_F(Logger, MissingExternalBufferDropsTheMessage) {
    open_callback(VTR_LOG_VERBOSE);
    logger->buffer_external = true;
    vtr_log(logger, VTR_LOG_ERROR, "dropped");
    EXPECT_TRUE(lines.empty());
    char external[16];
    logger->buffer = external;
    logger->buffer_size = sizeof external;
    vtr_log(logger, VTR_LOG_ERROR, "%s", "a text longer than sixteen");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "a text longer t");
    // The logger leaves a buffer it does not own alone when deleted.
}

TEST_F(Logger, FileLines) {
    FILE *file = tmpfile();
    ASSERT_NE(file, nullptr);
    logger->file = file;
    vtr_logger_set_overall_level(logger, VTR_LOG_DEBUG);
    vtr_logger_set_level(logger, VTR_SINK_FILE, VTR_LOG_DEBUG);
    const vtr_time given{1700000000, 0};
    vlog_at(logger, VTR_LOG_DEBUG, &given, "stamped %d", 1);
    logger->timestamp_flags &= ~VTR_STAMP_FILE;
    vtr_log(logger, VTR_LOG_DEBUG, "plain %d", 2);
    vtr_log(logger, VTR_LOG_ERROR, "ends with newline\n");
    vtr_log(logger, VTR_LOG_VERBOSE, "dropped");
    EXPECT_EQ(read_all(file), stamp_of(given) +
                                  " Debug stamped 1\nDebug plain 2\nError ends with newline\n");
    logger->file = nullptr;
    fclose(file);
    // Without a file the sink is skipped.
    vtr_log(logger, VTR_LOG_ERROR, "nowhere");
}

TEST_F(Logger, StandardStreams) {
    vtr_logger_set_overall_level(logger, VTR_LOG_INFO);
    vtr_logger_set_level(logger, VTR_SINK_STDOUT, VTR_LOG_INFO);
    vtr_logger_set_level(logger, VTR_SINK_STDERR, VTR_LOG_WARNING);
    logger->timestamp_flags = VTR_STAMP_STDERR;
    const vtr_time given{1700000000, 0};
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    vlog_at(logger, VTR_LOG_INFO, &given, "info %s", "line");
    vlog_at(logger, VTR_LOG_WARNING, &given, "warning line");
    std::string err = ::testing::internal::GetCapturedStderr();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Info info line\nWarning warning line\n");
    EXPECT_EQ(err, stamp_of(given) + " Warning warning line\n");
}

#if !defined(_WIN32)

// The sinks are offered each line in the order standard output, standard error, file,
// network, debugger output, callback.
TEST_F(Logger, SinkOrder) {
    // Standard output and error share one file; only standard output's line is stamped.
    FILE *streams = tmpfile();
    ASSERT_NE(streams, nullptr);
    fflush(stdout);
    fflush(stderr);
    int saved_out = dup(1);
    int saved_err = dup(2);
    dup2(fileno(streams), 1);
    dup2(fileno(streams), 2);

    FILE *file = tmpfile();
    logger->file = file;
    UdpPeer peer;
    ASSERT_EQ(vtr_logger_set_network(logger, 0, &peer.address), VTR_SUCCESS);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    setenv("VTR_DEBUG_OUTPUT_FD", std::to_string(pipe_fds[1]).c_str(), 1);

    struct Seen {
        FILE *file;
        vtr_socket sock;
        int debug_fd;
        bool file_had_line = false, network_had_line = false, debugger_had_line = false;
    } seen{file, peer.sock, pipe_fds[0]};
    logger->callback_context = &seen;
    logger->callback = [](vtr_logger *l, const char *, uint32_t, const char *, size_t) {
        auto *s = static_cast<Seen *>(l->callback_context);
        s->file_had_line = !read_all(s->file).empty();
        char datagram[256];
        size_t length = sizeof datagram;
        s->network_had_line = vtr_socket_recv(s->sock, datagram, &length) == VTR_SUCCESS;
        pollfd p{s->debug_fd, POLLIN, 0};
        s->debugger_had_line = poll(&p, 1, 0) == 1;
    };
    logger->timestamp_flags = VTR_STAMP_STDOUT;
    vtr_logger_set_overall_level(logger, VTR_LOG_ERROR);
    for (uint32_t sink = 0; sink < VTR_SINK_COUNT; ++sink) {
        vtr_logger_set_level(logger, sink, VTR_LOG_ERROR);
    }
    const vtr_time given{1700000000, 0};
    vlog_at(logger, VTR_LOG_ERROR, &given, "ordered");

    fflush(stdout);
    fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    unsetenv("VTR_DEBUG_OUTPUT_FD");
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    logger->file = nullptr;
    fclose(file);

    EXPECT_EQ(read_all(streams), stamp_of(given) + " Error ordered\nError ordered\n");
    fclose(streams);
    EXPECT_TRUE(seen.file_had_line);
    EXPECT_TRUE(seen.network_had_line);
    EXPECT_TRUE(seen.debugger_had_line);
}

TEST_F(Logger, DebuggerLines) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
    setenv("VTR_DEBUG_OUTPUT_FD", std::to_string(pipe_fds[1]).c_str(), 1);
    vtr_logger_set_overall_level(logger, VTR_LOG_VERBOSE);
    vtr_logger_set_level(logger, VTR_SINK_DEBUGGER, VTR_LOG_NOTICE);
    logger->timestamp_flags = 0xFF; // the debugger line never carries one
    vtr_log(logger, VTR_LOG_NOTICE, "first %d", 1);
    vtr_strlcpy(logger->name, "nyx", sizeof logger->name);
    vtr_log(logger, VTR_LOG_ERROR, "second\n");
    vtr_log(logger, VTR_LOG_INFO, "dropped");
    unsetenv("VTR_DEBUG_OUTPUT_FD");
    vtr_log(logger, VTR_LOG_ERROR, "nowhere"); // without the variable the line is dropped
    char text[256];
    ssize_t n = read(pipe_fds[0], text, sizeof text);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(text, static_cast<size_t>(n)), "Notice:first 1nyx:Error:second\n");
}

#else

TEST_F(Logger, DebuggerLinesGoToTheDebugger) {
    // OutputDebugStringA: nothing observable without a debugger, but it must not disturb.
    vtr_logger_set_overall_level(logger, VTR_LOG_VERBOSE);
    vtr_logger_set_level(logger, VTR_SINK_DEBUGGER, VTR_LOG_VERBOSE);
    vtr_logger_set_level(logger, VTR_SINK_CALLBACK, VTR_LOG_VERBOSE);
    vtr_log(logger, VTR_LOG_NOTICE, "to the debugger");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "to the debugger");
}

#endif

class NetworkLogger : public Logger {
  protected:
    void open_network(uint32_t level) {
        open_callback(level);
        vtr_logger_set_level(logger, VTR_SINK_NETWORK, level);
    }
};

TEST_F(NetworkLogger, OneDatagramPerDestination) {
    UdpPeer first, second;
    ASSERT_EQ(vtr_logger_set_network(logger, 0, &first.address), VTR_SUCCESS);
    ASSERT_EQ(vtr_logger_set_network(logger, 1, &second.address), VTR_SUCCESS);
    EXPECT_TRUE(vtr_address_equal(&logger->net_address[1], &second.address));
    open_network(VTR_LOG_INFO);
    vtr_log(logger, VTR_LOG_WARNING, "hello %s", "net");
    std::string data;
    ASSERT_EQ(first.receive(&data), VTR_SUCCESS);
    EXPECT_EQ(data, " W hello net");
    ASSERT_EQ(second.receive(&data), VTR_SUCCESS);
    EXPECT_EQ(data, " W hello net");

    logger->timestamp_flags |= VTR_STAMP_NETWORK;
    const vtr_time given{1700000000, 0};
    vlog_at(logger, VTR_LOG_INFO, &given, "stamped");
    ASSERT_EQ(first.receive(&data), VTR_SUCCESS);
    EXPECT_EQ(data, stamp_of(given) + " I stamped");

    // Above the network threshold: nothing is sent.
    vtr_log(logger, VTR_LOG_DEBUG, "debug");
    size_t length = 16;
    char buffer[16];
    EXPECT_EQ(vtr_socket_recv(first.sock, buffer, &length), VTR_TIMEDOUT);

    // Clearing a destination closes its socket.
    EXPECT_EQ(vtr_logger_set_network(logger, 1, nullptr), VTR_SUCCESS);
    EXPECT_FALSE(vtr_socket_is_valid(logger->net_socket[1]));
}

TEST_F(NetworkLogger, LongTextIsSplitAt1458Bytes) {
    UdpPeer peer;
    ASSERT_EQ(vtr_logger_set_network(logger, 0, &peer.address), VTR_SUCCESS);
    open_network(VTR_LOG_INFO);
    std::string text;
    for (int i = 0; i < 4000; ++i) {
        text += static_cast<char>('a' + i % 26);
    }
    vtr_log(logger, VTR_LOG_ERROR, "%s", text.c_str());
    std::string d1, d2, d3, none;
    ASSERT_EQ(peer.receive(&d1), VTR_SUCCESS);
    ASSERT_EQ(peer.receive(&d2), VTR_SUCCESS);
    ASSERT_EQ(peer.receive(&d3), VTR_SUCCESS);
    EXPECT_EQ(d1.size(), 1458u);
    EXPECT_EQ(d1.substr(0, 3), " E ");
    EXPECT_EQ(d2.size(), 1458u);
    EXPECT_EQ(d3.size(), 4000u - 1455u - 1458u);
    EXPECT_EQ(d1.substr(3) + d2 + d3, text);
    size_t length = 16;
    char buffer[16];
    EXPECT_EQ(vtr_socket_recv(peer.sock, buffer, &length), VTR_TIMEDOUT);
}

TEST_F(NetworkLogger, SendFailureIsLoggedElsewhereAndKeepsTheDestination) {
    UdpPeer peer;
    ASSERT_EQ(vtr_logger_set_network(logger, 0, &peer.address), VTR_SUCCESS);
    ASSERT_EQ(vtr_logger_set_network(logger, 1, &peer.address), VTR_SUCCESS);
    // Destination 0 points at port 0, which no send can reach.
    logger->net_address[0].addr.port_be = 0;
    vtr_socket failing = logger->net_socket[0];
    size_t probe_length = 1;
    vtr_error expected_error =
        vtr_socket_sendto(failing, "x", &probe_length, &logger->net_address[0]);
    ASSERT_NE(expected_error, VTR_SUCCESS);
    ASSERT_NE(expected_error, VTR_NOTSOCK);
    open_network(VTR_LOG_VERBOSE);

    vtr_log(logger, VTR_LOG_WARNING, "original");
    char expected[256];
    snprintf(expected, sizeof expected,
             "vtr_log: network logging to 127.0.0.1:0 (len=16) (fd %d) failed: %s (%d)",
             static_cast<int>(failing), vtr_error_name(expected_error),
             static_cast<int>(expected_error));
    // The callback sees the Notice first (raised inside the network sink), then the original.
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, VTR_LOG_NOTICE);
    EXPECT_EQ(lines[0].text, expected);
    EXPECT_EQ(lines[1].text, "original");
    // The working destination receives the Notice and the original line.
    std::string data;
    ASSERT_EQ(peer.receive(&data), VTR_SUCCESS);
    EXPECT_EQ(data, std::string(" N ") + expected);
    ASSERT_EQ(peer.receive(&data), VTR_SUCCESS);
    EXPECT_EQ(data, " W original");
    // The failing destination stays in place.
    EXPECT_EQ(logger->net_socket[0], failing);
    EXPECT_EQ(vtr_address_port(&logger->net_address[0]), 0u);

    // Below the overall threshold the Notice itself is dropped.
    lines.clear();
    vtr_logger_set_overall_level(logger, VTR_LOG_WARNING);
    vtr_log(logger, VTR_LOG_WARNING, "again");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "again");
}

TEST_F(NetworkLogger, NotASocketDisablesTheDestination) {
#if defined(_WIN32)
    vtr_socket not_a_socket = 0x1234; // no handle of this process
#else
    FILE *file = tmpfile();
    ASSERT_NE(file, nullptr);
    vtr_socket not_a_socket = static_cast<vtr_socket>(fileno(file));
#endif
    UdpPeer peer;
    ASSERT_EQ(vtr_logger_set_network(logger, 0, &peer.address), VTR_SUCCESS);
    vtr_socket real = logger->net_socket[0];
    logger->net_socket[0] = not_a_socket;
    open_network(VTR_LOG_VERBOSE);
    vtr_log(logger, VTR_LOG_INFO, "lost");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, VTR_LOG_ERROR);
    EXPECT_EQ(lines[0].text, "vtr_log: bad network logging socket " +
                                 std::to_string(static_cast<int>(not_a_socket)) +
                                 " - network logging disabled: NOTSOCK (44)");
    EXPECT_EQ(lines[1].text, "lost");
    EXPECT_FALSE(vtr_socket_is_valid(logger->net_socket[0]));
    EXPECT_EQ(logger->net_address[0].addr.family, 0u);
    vtr_log(logger, VTR_LOG_INFO, "later");
    EXPECT_EQ(lines.size(), 3u);
    vtr_socket_close(&real);
#if !defined(_WIN32)
    // The descriptor was not a socket of the logger's: it is still open.
    EXPECT_NE(fcntl(fileno(file), F_GETFD), -1);
    fclose(file);
#endif
}

} // namespace
