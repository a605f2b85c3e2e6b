#include "cli/cli.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

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
    expect({"start", "-start", "start=a=b"}, "", refused("NyxApiSetRunning(1)"));
    // Only the keyword is quoted, without its one stripped dash.
    expect({"-Start"}, unknown("Start"), "");
    expect({"--start"}, unknown("-start"), "");
    expect({" start"}, unknown(" start"), "");
    // Help, and an audio argument other than exactly wdm or asio, print the usage alone.
    expect({"?", "help=1", "audio=WDM", "audio=wdm=1"}, kUsage, "");
    expect({"", "-", "=5"}, "", "");
    // Value commands print with no argument or an empty one.
    expect({"-channelcount", "channelcount="}, "  Channel Count = 0\n", "");
    // Set commands pass the converted value and name it when refused.
    expect({"audio=wdm"}, "", refused("NyxApiSetAudioInterface(WDM)"));
    expect({"channelcount=abc"}, "", refused("NyxApiSetChannelCount(0)"));
    expect({"asiobuffersize=-1"}, "", refused("NyxApiSetASIOBufferSize(4294967295)"));
    expect({"asioencoding=65560"}, "", refused("NyxApiSetASIOEncoding(24)"));
    expect({"corvolatency=-99999999999"}, "", refused("NyxApiSetCorvoLatencyMs(2147483648)"));
    // A null handle reaches the API as it is.
    EXPECT_EQ(run("channelcount=8", nullptr).second,
              "NyxApiSetChannelCount(8) failed, result=INVALID_PARAMETER\n");
}

TEST(Convert, DecimalLikeStrtolSaturating) {
    for (const char *zero : {"abc", "+-1", "0x10"}) {
        EXPECT_EQ(parse_decimal(zero), 0) << zero;
    }
    EXPECT_EQ(parse_decimal(" \t+12xyz"), 12);
    EXPECT_EQ(parse_decimal(std::string(100000, '9')), INT32_MAX);
    EXPECT_EQ(parse_decimal("-2147483649"), INT32_MIN);
}

TEST_F(Cli, InterfaceAddressForms) {
    for (const char *text : {"00:1d:c1:0a:ff:03", "\"00:1D:C1:0A:FF:03\"", "0:1D:C1:A:1FF:3",
                             "000000:1dzz:c1:0a:ff:03x:"}) {
        EXPECT_EQ(run(std::string("interface=") + text),
                  Output("", refused("NyxApiSetInterface(00:1D:C1:0A:FF:03)")))
            << text;
    }

    auto expect = [this](std::initializer_list<std::string> texts, const std::string &first) {
        for (const std::string &text : texts) {
            EXPECT_EQ(run("interface=" + text),
                      Output("", first + "Invalid interface: " + text + "\n"))
                << text.substr(0, 40);
        }
    };
    // A missing separator gives one line; a bad group names its fault first.
    expect({"00:1D:C1:0A:FF", "\"\""}, "");
    expect({"00::C1:0A:FF:03", std::string(1 << 20, ':')},
           "Invalid interface:invalid stoi argument\n");
    expect({"0:0:0:0:0:80000000"}, "Invalid interface:stoi argument out of range\n");
}

TEST(InterfaceText, Utf16ToUtf8) {
    NyxApiInterface iface{};
    const uint16_t name[] = {'E', 't', 'h', ' ', 0xE9, 0x20AC, 0xD83D, 0xDE00, 0xDC00, '2', 0};
    std::copy(std::begin(name), std::end(name), iface.name);
    const uint8_t mac[] = {0x00, 0x1D, 0xC1, 0x0A, 0xFF, 0x03};
    std::copy(std::begin(mac), std::end(mac), iface.mac);
    // An unpaired surrogate becomes U+FFFD.
    EXPECT_EQ(interface_text(iface), "Eth \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD"
                                     "2 (00:1D:C1:0A:FF:03)");

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
    EXPECT_EQ(report(api_, 0x8000000000010000ull, 0).first, got + "0x8000000000010000=???,???\n");

    // Failing getters go to standard error and the report carries on.
    EXPECT_EQ(report(nullptr, 0x24081, 0),
              Output(got + "0x24081=STATE,CHANNEL_COUNT,NETWORK_STATUS,DOMAIN\n"
                           "  State = CONNECTED\n",
                     "  Channel Count = ???\n"
                     "NyxApiGetNetworkStatus failed, result=INVALID_PARAMETER\n"
                     "NyxApiGetDomainInfo failed, result=INVALID_PARAMETER\n"));
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

TEST(Input, LinesAreBounded) {
    std::string line;
    std::istringstream in("\nlast");
    EXPECT_EQ(read_command_line(in, line), LineRead::Complete);
    EXPECT_EQ(line, "");
    // A last line without its newline still counts; after it every read is empty.
    EXPECT_EQ(read_command_line(in, line), LineRead::Complete);
    EXPECT_EQ(line, "last");
    EXPECT_EQ(read_command_line(in, line), LineRead::Complete);
    EXPECT_EQ(line, "");

    // Exactly the limit is a whole line; one byte more is cut, and the rest of that line is
    // dropped up to its newline, not taken as the next command.
    const std::string full(kLineMax, 'k');
    std::istringstream longer(full + "\n" + full + "xy\nversion\n");
    EXPECT_EQ(read_command_line(longer, line), LineRead::Complete);
    EXPECT_EQ(line, full);
    EXPECT_EQ(read_command_line(longer, line), LineRead::TooLong);
    EXPECT_EQ(line, full);
    EXPECT_EQ(read_command_line(longer, line), LineRead::Complete);
    EXPECT_EQ(line, "version");
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
    size_t noted = noted_exception_count();
    EXPECT_NO_THROW(event_report(&event));
    std::cout.exceptions(std::ios::goodbit);
    std::cout.clear();
    std::cout.rdbuf(old);
    // Swallowed, but not silently: the stream's failure is kept with its place.
    EXPECT_EQ(noted_exception_count(), noted + 1);
    EXPECT_STREQ(last_noted_exception(), "event_report");
}

} // namespace
