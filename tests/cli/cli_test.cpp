#include "cli/cli.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

namespace {

using namespace nyxcli;

// Redirects both console streams; with `merged` they share one buffer, which shows their
// relative order.
struct Capture {
    std::stringstream out, err;
    std::streambuf *old_out = std::cout.rdbuf(out.rdbuf());
    std::streambuf *old_err;
    explicit Capture(bool merged = false)
        : old_err(std::cerr.rdbuf(merged ? out.rdbuf() : err.rdbuf())) {}
    ~Capture() {
        std::cout.rdbuf(old_out);
        std::cerr.rdbuf(old_err);
    }
};

using Output = std::pair<std::string, std::string>; // standard output, standard error

// A created handle that never connects: setters refuse with INVALID_STATE, getters give zeros.
class Cli : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(NyxApiNew(&api_), NYXAPI_SUCCESS);
        g_running = true;
    }
    void TearDown() override {
        NyxApiDelete(api_);
        g_running = true;
    }
    static Output run(const std::string &text, NyxApi *api) {
        Capture capture;
        run_command("nyxcli", text.c_str(), api);
        return {capture.out.str(), capture.err.str()};
    }
    Output run(const std::string &text) { return run(text, api_); }

    NyxApi *api_ = nullptr;
};

const std::string kUsage = "Usage: nyxcli [ACTION]\n"
                           "Actions:\n"
                           "-start\t\t\tstart NYX\n"
                           "-stop\t\t\tstop NYX\n"
                           "-version\t\tprint NYX version\n"
                           "-interfaces\t\tprint available network interfaces\n"
                           "-interface\t\tprint network interface in use\n"
                           "-interface=N\t\tset network interface to N. Interface name or MAC "
                           "address (XX:YY:ZZ...)\n"
                           "-channelcounts\t\tprint available channel counts\n"
                           "-channelcount\t\tprint channel count\n"
                           "-channelcount=N\t\tset channel count to N\n"
                           "-audio\t\t\tprint audio interface\n"
                           "-audio=asio|wdm\t\tset audio interface to either ASIO or WDM\n"
                           "-asiobuffersizes\tprint available ASIO buffer sizes\n"
                           "-asiobuffersize\t\tprint ASIO buffer size\n"
                           "-asiobuffersize=N\tset ASIO buffer size to N samples\n"
                           "-asioencodings\t\tprint available ASIO encodings\n"
                           "-asioencoding\t\tprint ASIO encoding\n"
                           "-asioencoding=N\t\tset ASIO encoding to N bits/sample\n"
                           "-asiolatencies\t\tprint available ASIO latencies in ms\n"
                           "-asiolatency\t\tprint ASIO latency in ms\n"
                           "-asiolatency=N\t\tset ASIO latency to N ms\n"
                           "-corvolatencies\t\tprint available Corvo latencies in ms\n"
                           "-corvolatency\t\tprint Corvo latency in ms\n"
                           "-corvolatency=N\t\tset Corvo latency to N ms\n"
                           "-networkstatus\t\tprint current network status\n"
                           "-devicename\t\tprint current device name\n"
                           "-domain\t\t\tprint domain info\n"
                           "-cleardomain\t\tclear domain info\n"
                           "-lockstatus\t\tprints the current device lock status\n"
                           "-log\t\t\tcollect logs\n"
                           "-help / ?\t\tprint this help\n"
                           "-exit\t\t\texit from the application\n";

std::string unknown(const std::string &keyword) {
    return "'" + keyword + "' unknown command\n" + kUsage;
}

std::string refused(const std::string &call) {
    return call + " failed, result=INVALID_STATE\n";
}

TEST(Usage, TextIsExact) {
    EXPECT_EQ(usage_text("nyxcli"), kUsage);
}

TEST_F(Cli, ParsingAndDispatch) {
    auto expect = [this](std::initializer_list<std::string> texts, const std::string &out,
                         const std::string &err) {
        for (const std::string &text : texts) {
            EXPECT_EQ(run(text), Output(out, err)) << text.substr(0, 40);
        }
    };
    expect({"start", "-start", "start=anything", "start=a=b"}, "", refused("NyxApiSetRunning(1)"));
    expect({"stop"}, "", refused("NyxApiSetRunning(0)"));
    // Only the keyword is quoted, without its one stripped dash.
    expect({"-Start"}, unknown("Start"), "");
    expect({"-foo=bar"}, unknown("foo"), "");
    expect({"--start"}, unknown("-start"), "");
    expect({"start "}, unknown("start "), "");
    expect({" start"}, unknown(" start"), "");
    expect({std::string(1 << 20, 'k')}, unknown(std::string(1 << 20, 'k')), "");
    // Help, and an audio argument other than exactly wdm or asio, print the usage alone.
    expect({"?", "-?", "help", "help=1", "audio=WDM", "audio=ASIO", "audio=asio ", "audio=wdm=1"},
           kUsage, "");
    expect({"", "-", "=5", "-=start"}, "", "");
    // Value commands print with no argument or an empty one; list commands ignore theirs.
    expect({"-channelcount", "channelcount="}, "  Channel Count = 0\n", "");
    expect({"channelcounts=9"}, "  Available Channel Counts = \n", "");
    // Set commands pass the converted value and name it when refused.
    expect({"audio=wdm"}, "", refused("NyxApiSetAudioInterface(WDM)"));
    expect({"-audio=asio"}, "", refused("NyxApiSetAudioInterface(ASIO)"));
    expect({"channelcount=8"}, "", refused("NyxApiSetChannelCount(8)"));
    expect({"channelcount=abc"}, "", refused("NyxApiSetChannelCount(0)"));
    expect({"asiobuffersize=-1"}, "", refused("NyxApiSetASIOBufferSize(4294967295)"));
    expect({"asioencoding=65560"}, "", refused("NyxApiSetASIOEncoding(24)"));
    expect({"asioencoding=-1"}, "", refused("NyxApiSetASIOEncoding(65535)"));
    expect({"asiolatency=99999999999"}, "", refused("NyxApiSetASIOLatencyMs(2147483647)"));
    expect({"corvolatency=-99999999999"}, "", refused("NyxApiSetCorvoLatencyMs(2147483648)"));
    expect({"cleardomain=x"}, "", refused("NyxApiClearDomainCredentials"));
    // A null handle reaches the API as it is.
    EXPECT_EQ(run("channelcount=8", nullptr).second,
              "NyxApiSetChannelCount(8) failed, result=INVALID_PARAMETER\n");
}

TEST(Convert, DecimalLikeStrtolSaturating) {
    for (const char *zero : {"abc", "", "-", "+-1", "0x10"}) {
        EXPECT_EQ(parse_decimal(zero), 0) << zero;
    }
    EXPECT_EQ(parse_decimal(" \t+12xyz"), 12);
    EXPECT_EQ(parse_decimal("-1"), -1);
    for (const std::string &max :
         {std::string("2147483647"), std::string("2147483648"), std::string(100000, '9')}) {
        EXPECT_EQ(parse_decimal(max), INT32_MAX);
    }
    EXPECT_EQ(parse_decimal("-2147483648"), INT32_MIN);
    EXPECT_EQ(parse_decimal("-2147483649"), INT32_MIN);
}

TEST_F(Cli, InterfaceAddressForms) {
    for (const char *text :
         {"00:1d:c1:0a:ff:03", "00:1D:C1:0A:FF:03", "\"00:1D:C1:0A:FF:03\"", "00:1D:C1:0A:FF:03:77",
          "0:1D:C1:A:1FF:3", "000000:1dzz:c1:0a:ff:03x:", "\"00:1D:C1:0A:FF:03"}) {
        EXPECT_EQ(run(std::string("interface=") + text),
                  Output("", refused("NyxApiSetInterface(00:1D:C1:0A:FF:03)")))
            << text;
    }
    EXPECT_EQ(run("interface=0:0:0:0:0:7FFFFFFF").second,
              refused("NyxApiSetInterface(00:00:00:00:00:FF)"));

    auto expect = [this](std::initializer_list<std::string> texts, const std::string &first) {
        for (const std::string &text : texts) {
            EXPECT_EQ(run("interface=" + text),
                      Output("", first + "Invalid interface: " + text + "\n"))
                << text.substr(0, 40);
        }
    };
    // A missing separator gives one line; a bad group names its fault first.
    expect({"00:1D:C1:0A:FF", "Ethernet", "\"", "\"\""}, "");
    expect({"00:1D:ZZ:0A:FF:03", "00::C1:0A:FF:03", "00:1D:C1:0A:FF:", " 00:1D:C1:0A:FF:03",
            std::string(1 << 20, ':')},
           "Invalid interface:invalid stoi argument\n");
    expect({"0:0:0:0:0:80000000", "100000000000000000000:0:0:0:0:0"},
           "Invalid interface:stoi argument out of range\n");
}

TEST(InterfaceText, Utf16ToUtf8) {
    NyxApiInterface iface{};
    const uint16_t name[] = {'E', 't', 'h', ' ', 0xE9, 0x20AC, 0xD83D, 0xDE00, '2', 0};
    std::copy(std::begin(name), std::end(name), iface.name);
    const uint8_t mac[] = {0x00, 0x1D, 0xC1, 0x0A, 0xFF, 0x03};
    std::copy(std::begin(mac), std::end(mac), iface.mac);
    EXPECT_EQ(interface_text(iface), "Eth \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"
                                     "2 (00:1D:C1:0A:FF:03)");

    // Unpaired surrogates become U+FFFD; a pair split by the end of the name too.
    const uint16_t bad[] = {0xDC00, 'a', 0xD800, 'b', 0xD800, 0};
    EXPECT_EQ(utf16_to_utf8(bad, 64), "\xEF\xBF\xBD"
                                      "a\xEF\xBF\xBD"
                                      "b\xEF\xBF\xBD");

    // A name filling all 64 units without a NUL stops at the record's end.
    std::fill(std::begin(iface.name), std::end(iface.name), uint16_t{'x'});
    EXPECT_EQ(interface_text(iface), std::string(64, 'x') + " (00:1D:C1:0A:FF:03)");
}

TEST_F(Cli, EventReport) {
    auto report = [](NyxApi *api, NyxApiChanges changes, NyxApiResult result) {
        Capture capture;
        NyxApiEvent event{sizeof(NyxApiEvent), api, changes, result};
        event_report(&event);
        return Output(capture.out.str(), capture.err.str());
    };
    const std::string got = "\nGot a NyxApi event, changes are ";
    EXPECT_EQ(report(api_, 0x3, NYXAPI_ACCESS_DENIED).first,
              got + "0x3=STATE,REQUEST_COMPLETED\n  State = IDLE\n"
                    "  Last Request Result = ACCESS_DENIED\n");
    EXPECT_EQ(report(api_, 0x80000, 0).first, got + "0x80000=???\n");
    EXPECT_EQ(report(api_, 0x8000000000010000ull, 0).first, got + "0x8000000000010000=???,???\n");
    EXPECT_EQ(report(api_, 0, 0).first, got + "0x0=\n");

    // Every block, in its fixed order.
    EXPECT_EQ(report(api_, 0xFFFFF, 9).first,
              got + "0xfffff=STATE,REQUEST_COMPLETED,RUNNING,STATUS,"
                    "AVAILABLE_INTERFACES,INTERFACE,AVAILABLE_CHANNEL_COUNTS,CHANNEL_COUNT,"
                    "AVAILABLE_AUDIO_INTERFACES,AUDIO_INTERFACE,AVAILABLE_ASIO_PARAMETERS,"
                    "ASIO_PARAMETER,AVAILABLE_CORVO_LATENCIES,CORVO_LATENCY,NETWORK_STATUS,"
                    "DEVICE_NAME,???,DOMAIN,INFO,???\n"
                    "  State = IDLE\n"
                    "  Last Request Result = ???\n"
                    "  Running = false\n"
                    "  Status = No error\n"
                    "  AvailableInterfaces = \n"
                    "  Interface =  (00:00:00:00:00:00)\n"
                    "  Available Channel Counts = \n"
                    "  Channel Count = 0\n"
                    "  Available Audio Interfaces = \n"
                    "  Audio Interface = NONE\n"
                    "  Available ASIO Buffer Sizes = \n"
                    "  Available ASIO Encodings = \n"
                    "  Available ASIO Latencies = \n"
                    "  ASIO Buffer Size = 0\n"
                    "  ASIO Encoding = 0\n"
                    "  ASIO Latency = 0 ms\n"
                    "  Available Corvo Latencies = \n"
                    "  Corvo Latency = 0 ms\n"
                    "  Network Status = N/A\n"
                    "  Device Name = \n"
                    "  Device is not enrolled and connected to a domain!\n"
                    "  NYX Version = 0.0.0.0\n");

    // Failing getters go to standard error and the report carries on.
    EXPECT_EQ(report(nullptr, 0x6FFFF, 0),
              Output(got + "0x6ffff=STATE,REQUEST_COMPLETED,RUNNING,STATUS,"
                           "AVAILABLE_INTERFACES,INTERFACE,AVAILABLE_CHANNEL_COUNTS,CHANNEL_COUNT,"
                           "AVAILABLE_AUDIO_INTERFACES,AUDIO_INTERFACE,AVAILABLE_ASIO_PARAMETERS,"
                           "ASIO_PARAMETER,AVAILABLE_CORVO_LATENCIES,CORVO_LATENCY,NETWORK_STATUS,"
                           "DEVICE_NAME,DOMAIN,INFO\n"
                           "  State = CONNECTED\n"
                           "  Last Request Result = SUCCESS\n",
                     "  Running = ???\n"
                     "  Status = ???\n"
                     "  AvailableInterfaces = ???\n"
                     "  Interface = ???\n"
                     "  Available Channel Counts = ???\n"
                     "  Channel Count = ???\n"
                     "  Available Audio Interfaces = ???\n"
                     "  Audio Interface = ???\n"
                     "  Available ASIO Buffer Sizes = ???\n"
                     "  Available ASIO Encodings = ???\n"
                     "  Available ASIO Latencies = ???\n"
                     "  ASIO Buffer Size = ???\n"
                     "  ASIO Encoding = ???\n"
                     "  ASIO Latency = ???\n"
                     "  Available Corvo Latencies = ???\n"
                     "  Corvo Latency = ???\n"
                     "NyxApiGetNetworkStatus failed, result=INVALID_PARAMETER\n"
                     "  Device Name = ???\n"
                     "NyxApiGetDomainInfo failed, result=INVALID_PARAMETER\n"
                     "  NYX Version = ???\n"));
    EXPECT_EQ(run("lockstatus", nullptr), Output("", "  Device Lock Status = ???\n"));
}

TEST_F(Cli, CompletionWait) {
    {
        Capture capture;
        EXPECT_TRUE(wait_for_completion(api_));
        EXPECT_FALSE(wait_for_completion(nullptr));
        EXPECT_EQ(capture.err.str(), "NyxApiRequestInProgress failed, result=INVALID_PARAMETER\n");
    }
    // An interrupt ends the wait before the first query.
    g_running = false;
    Capture capture;
    EXPECT_FALSE(wait_for_completion(nullptr));
    EXPECT_EQ(capture.err.str(), "");
}

TEST_F(Cli, LogDialogue) {
#ifndef _WIN32
    // One word is read; the rest of its line stays for the next command.
    setenv("NYX_PROGRAM_FILES_X86", "/nonexistent", 1);
    std::istringstream in("\n  /tmp/x rest\n");
    std::streambuf *old = std::cin.rdbuf(in.rdbuf());
    Output output = run("log");
    std::cin.rdbuf(old);
    unsetenv("NYX_PROGRAM_FILES_X86");
    EXPECT_EQ(output, Output("Input log folder path:", "NyxApiCollectLogs failed, result=OTHER\n"));
    std::string rest;
    std::getline(in, rest);
    EXPECT_EQ(rest, " rest");
#endif
}

TEST(Input, LinesAreBounded) {
    std::string line;
    std::istringstream in("a b\n\nlast");
    EXPECT_EQ(read_command_line(in, line), LineRead::Complete);
    EXPECT_EQ(line, "a b");
    EXPECT_EQ(read_command_line(in, line), LineRead::Complete);
    EXPECT_EQ(line, "");
    // A last line without its newline still counts; after it every read is empty.
    EXPECT_EQ(read_command_line(in, line), LineRead::Complete);
    EXPECT_EQ(line, "last");
    EXPECT_FALSE(in.fail());
    for (int i = 0; i < 2; ++i) {
        line = "stale";
        EXPECT_EQ(read_command_line(in, line), LineRead::Complete);
        EXPECT_EQ(line, "");
        EXPECT_TRUE(in.fail());
    }

    // Exactly the limit is a whole line; one byte more is cut, and the rest of that line is
    // dropped up to its newline, not taken as the next command.
    const std::string full(kLineMax, 'k');
    std::istringstream longer(full + "\n" + full + "xy\nversion\n" + std::string(1 << 22, '\0'));
    EXPECT_EQ(read_command_line(longer, line), LineRead::Complete);
    EXPECT_EQ(line, full);
    EXPECT_EQ(read_command_line(longer, line), LineRead::TooLong);
    EXPECT_EQ(line, full);
    EXPECT_EQ(read_command_line(longer, line), LineRead::Complete);
    EXPECT_EQ(line, "version");
    EXPECT_EQ(read_command_line(longer, line), LineRead::TooLong);
    EXPECT_EQ(line.size(), kLineMax);
}

// A stream that never ends, like /dev/zero, counting what it handed out.
struct Endless : std::streambuf {
    size_t given = 0;
    char zeros[4096] = {};
    int_type underflow() override {
        given += sizeof zeros;
        setg(zeros, zeros, zeros + sizeof zeros);
        return 0;
    }
};

TEST(Input, InterruptEndsAnEndlessLineOrWord) {
    Endless endless;
    std::istream in(&endless);
    std::string line;
    g_running = false;
    EXPECT_EQ(read_command_line(in, line), LineRead::TooLong);
    EXPECT_EQ(line, std::string(kLineMax, '\0'));
    EXPECT_EQ(read_word(in, kLogFolderMax), std::string(kLogFolderMax, '\0'));
    g_running = true;
    EXPECT_LT(endless.given, size_t{1} << 20);
}

TEST(Input, WordsAreBounded) {
    std::istringstream in(" \n\t" + std::string(100000, 'b') + " rest\n" + "short");
    EXPECT_EQ(read_word(in, kLogFolderMax), std::string(kLogFolderMax, 'b'));
    std::string rest;
    std::getline(in, rest);
    EXPECT_EQ(rest, " rest");
    EXPECT_EQ(read_word(in, kLogFolderMax), "short");
    EXPECT_FALSE(in.fail());
    EXPECT_EQ(read_word(in, kLogFolderMax), "");
    EXPECT_TRUE(in.fail());
}

TEST(Input, CutLinesNeverRun) {
    Capture capture;
    // channelcount=8 would be a set command; cut, it is refused by its keyword.
    refuse_command("nyxcli", "-channelcount=8");
    refuse_command("nyxcli", "=8");
    refuse_command("nyxcli", "");
    EXPECT_EQ(capture.out.str(), unknown("channelcount"));
    EXPECT_EQ(capture.err.str(), "");
}

// A stream buffer whose every write fails, for a console stream that throws.
struct Broken : std::streambuf {
    int_type overflow(int_type) override { return traits_type::eof(); }
};

TEST_F(Cli, EventReportKeepsExceptionsFromTheWorker) {
    Broken broken;
    std::streambuf *old = std::cout.rdbuf(&broken);
    std::cout.exceptions(std::ios::badbit);
    NyxApiEvent event{sizeof(NyxApiEvent), api_, 0xFFFFF, 0};
    EXPECT_NO_THROW(event_report(&event));
    std::cout.exceptions(std::ios::goodbit);
    std::cout.clear();
    std::cout.rdbuf(old);
}

#if GTEST_HAS_DEATH_TEST
TEST_F(Cli, ExitEndsTheProcessWithStatusOne) {
    EXPECT_EXIT(run_command("nyxcli", "-exit", api_), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(run_command("nyxcli", "exit=now", api_), ::testing::ExitedWithCode(1), "");
}
#endif

} // namespace
