#include "cli/cli.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

namespace {

using namespace nyxcli;

// Redirects both console streams; with `merged` they share one buffer, which shows
// their relative order.
class Capture {
  public:
    explicit Capture(bool merged = false)
        : old_out_(std::cout.rdbuf(out_.rdbuf())),
          old_err_(std::cerr.rdbuf(merged ? out_.rdbuf() : err_.rdbuf())) {}
    ~Capture() {
        std::cout.rdbuf(old_out_);
        std::cerr.rdbuf(old_err_);
    }
    std::string out() const { return out_.str(); }
    std::string err() const { return err_.str(); }

  private:
    std::stringstream out_, err_;
    std::streambuf *old_out_;
    std::streambuf *old_err_;
};

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
    // Runs one command and returns what went to standard output and standard error.
    std::pair<std::string, std::string> run(const char *text, NyxApi *api) {
        Capture capture;
        run_command("nyxcli", text, api);
        return {capture.out(), capture.err()};
    }
    std::pair<std::string, std::string> run(const char *text) { return run(text, api_); }

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

TEST(Usage, TextIsExactAndAligned) {
    EXPECT_EQ(usage_text("nyxcli"), kUsage);
    EXPECT_EQ(usage_text("C:\\x y\\nyxcli.exe").substr(0, 34),
              "Usage: C:\\x y\\nyxcli.exe [ACTION]\n");

    // Every description starts at column 24 with tab stops every 8 columns.
    std::istringstream lines(kUsage);
    std::string line;
    std::getline(lines, line);
    std::getline(lines, line);
    while (std::getline(lines, line)) {
        size_t column = 0, i = 0;
        for (; line[i] != '\t'; ++i) {
            ++column;
        }
        for (; line[i] == '\t'; ++i) {
            column = (column / 8 + 1) * 8;
        }
        EXPECT_EQ(column, 24u) << line;
    }
}

TEST_F(Cli, KeywordParsing) {
    const std::string set_running_1 = "NyxApiSetRunning(1) failed, result=INVALID_STATE\n";
    for (const char *text : {"start", "-start", "start=anything", "start=a=b"}) {
        EXPECT_EQ(run(text), std::make_pair(std::string(), set_running_1)) << text;
    }
    EXPECT_EQ(run("stop").second, "NyxApiSetRunning(0) failed, result=INVALID_STATE\n");

    // Only the keyword is quoted, without its one stripped dash.
    EXPECT_EQ(run("-Start"), std::make_pair("'Start' unknown command\n" + kUsage, std::string()));
    EXPECT_EQ(run("-foo=bar").first, "'foo' unknown command\n" + kUsage);
    EXPECT_EQ(run("--start").first, "'-start' unknown command\n" + kUsage);
    EXPECT_EQ(run("start ").first, "'start ' unknown command\n" + kUsage);
    EXPECT_EQ(run(" start").first, "' start' unknown command\n" + kUsage);

    for (const char *text : {"?", "-?", "help", "help=1"}) {
        EXPECT_EQ(run(text), std::make_pair(kUsage, std::string())) << text;
    }
    for (const char *text : {"", "-", "=5", "-=start"}) {
        EXPECT_EQ(run(text), std::make_pair(std::string(), std::string())) << text;
    }

    // Print forms: no argument or an empty one.
    EXPECT_EQ(run("-channelcount").first, "  Channel Count = 0\n");
    EXPECT_EQ(run("channelcount=").first, "  Channel Count = 0\n");
    EXPECT_EQ(run("channelcounts=9").first, "  Available Channel Counts = \n");
    EXPECT_EQ(run("lockstatus").first, "  Device Lock Status= 0\n");
}

TEST_F(Cli, AudioArgument) {
    EXPECT_EQ(run("audio").first, "  Audio Interface = NONE\n");
    EXPECT_EQ(run("audio=wdm").second,
              "NyxApiSetAudioInterface(WDM) failed, result=INVALID_STATE\n");
    EXPECT_EQ(run("-audio=asio").second,
              "NyxApiSetAudioInterface(ASIO) failed, result=INVALID_STATE\n");
    for (const char *text : {"audio=WDM", "audio=ASIO", "audio=asio ", "audio=x", "audio=wdm=1"}) {
        EXPECT_EQ(run(text), std::make_pair(kUsage, std::string())) << text;
    }
}

TEST(Convert, DecimalLikeStrtolSaturating) {
    EXPECT_EQ(parse_decimal("8"), 8);
    EXPECT_EQ(parse_decimal("abc"), 0);
    EXPECT_EQ(parse_decimal(""), 0);
    EXPECT_EQ(parse_decimal("-"), 0);
    EXPECT_EQ(parse_decimal(" \t+12xyz"), 12);
    EXPECT_EQ(parse_decimal("-1"), -1);
    EXPECT_EQ(parse_decimal("+-1"), 0);
    EXPECT_EQ(parse_decimal("2147483647"), 2147483647);
    EXPECT_EQ(parse_decimal("2147483648"), 2147483647);
    EXPECT_EQ(parse_decimal("-2147483648"), INT32_MIN);
    EXPECT_EQ(parse_decimal("-2147483649"), INT32_MIN);
    EXPECT_EQ(parse_decimal(std::string(100000, '9')), 2147483647);
    EXPECT_EQ(parse_decimal("0x10"), 0);
}

TEST_F(Cli, SetCommandsPassConvertedValues) {
    struct Case {
        const char *text;
        const char *err;
    } cases[] = {
        {"channelcount=8", "NyxApiSetChannelCount(8) failed, result=INVALID_STATE\n"},
        {"channelcount=abc", "NyxApiSetChannelCount(0) failed, result=INVALID_STATE\n"},
        {"asiobuffersize=-1", "NyxApiSetASIOBufferSize(4294967295) failed, result=INVALID_STATE\n"},
        {"asioencoding=65560", "NyxApiSetASIOEncoding(24) failed, result=INVALID_STATE\n"},
        {"asioencoding=-1", "NyxApiSetASIOEncoding(65535) failed, result=INVALID_STATE\n"},
        {"asiolatency=99999999999",
         "NyxApiSetASIOLatencyMs(2147483647) failed, result=INVALID_STATE\n"},
        {"corvolatency=-99999999999",
         "NyxApiSetCorvoLatencyMs(2147483648) failed, result=INVALID_STATE\n"},
        {"cleardomain=x", "NyxApiClearDomainCredentials failed, result=INVALID_STATE\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(run(c.text), std::make_pair(std::string(), std::string(c.err))) << c.text;
    }
    // A null handle reaches the API as it is.
    EXPECT_EQ(run("channelcount=8", nullptr).second,
              "NyxApiSetChannelCount(8) failed, result=INVALID_PARAMETER\n");
}

TEST_F(Cli, InterfaceAddressForms) {
    const std::string refused =
        "NyxApiSetInterface(00:1D:C1:0A:FF:03) failed, result=INVALID_STATE\n";
    for (const char *text : {"interface=00:1d:c1:0a:ff:03", "-interface=00:1D:C1:0A:FF:03",
                             "interface=\"00:1D:C1:0A:FF:03\"", "interface=00:1D:C1:0A:FF:03:77",
                             "interface=0:1D:C1:A:1FF:3", "interface=000000:1dzz:c1:0a:ff:03x:",
                             "interface=\"00:1D:C1:0A:FF:03"}) {
        EXPECT_EQ(run(text), std::make_pair(std::string(), refused)) << text;
    }
    EXPECT_EQ(run("interface=0:0:0:0:0:7FFFFFFF").second,
              "NyxApiSetInterface(00:00:00:00:00:FF) failed, result=INVALID_STATE\n");

    struct Case {
        const char *text;
        const char *err;
    } cases[] = {
        {"interface=00:1D:C1:0A:FF", "Invalid interface: 00:1D:C1:0A:FF\n"},
        {"interface=Ethernet", "Invalid interface: Ethernet\n"},
        {"interface=00:1D:ZZ:0A:FF:03",
         "Invalid interface:invalid stoi argument\nInvalid interface: 00:1D:ZZ:0A:FF:03\n"},
        {"interface=00::C1:0A:FF:03",
         "Invalid interface:invalid stoi argument\nInvalid interface: 00::C1:0A:FF:03\n"},
        {"interface=00:1D:C1:0A:FF:", "Invalid interface:invalid stoi argument\n"
                                      "Invalid interface: 00:1D:C1:0A:FF:\n"},
        {"interface= 00:1D:C1:0A:FF:03",
         "Invalid interface:invalid stoi argument\nInvalid interface:  00:1D:C1:0A:FF:03\n"},
        {"interface=0:0:0:0:0:80000000",
         "Invalid interface:stoi argument out of range\nInvalid interface: 0:0:0:0:0:80000000\n"},
        {"interface=100000000000000000000:0:0:0:0:0",
         "Invalid interface:stoi argument out of range\n"
         "Invalid interface: 100000000000000000000:0:0:0:0:0\n"},
        {"interface=\"", "Invalid interface: \"\n"},
        {"interface=\"\"", "Invalid interface: \"\"\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(run(c.text), std::make_pair(std::string(), std::string(c.err))) << c.text;
    }
    EXPECT_EQ(run("interface").first, "  Interface =  (00:00:00:00:00:00)\n");
}

TEST_F(Cli, PrinterFailureForms) {
    struct Case {
        const char *text;
        const char *err;
    } cases[] = {
        {"version", "  NYX Version = ???\n"},
        {"interfaces", "  AvailableInterfaces = ???\n"},
        {"interface", "  Interface = ???\n"},
        {"channelcounts", "  Available Channel Counts = ???\n"},
        {"channelcount", "  Channel Count = ???\n"},
        {"audio", "  Audio Interface = ???\n"},
        {"asiobuffersizes", "  Available ASIO Buffer Sizes = ???\n"},
        {"asiobuffersize", "  ASIO Buffer Size = ???\n"},
        {"asioencodings", "  Available ASIO Encodings = ???\n"},
        {"asioencoding", "  ASIO Encoding = ???\n"},
        {"asiolatencies", "  Available ASIO Latencies = ???\n"},
        {"asiolatency", "  ASIO Latency = ???\n"},
        {"corvolatencies", "  Available Corvo Latencies = ???\n"},
        {"corvolatency", "  Corvo Latency = ???\n"},
        {"networkstatus", "NyxApiGetNetworkStatus failed, result=INVALID_PARAMETER\n"},
        {"devicename", "  Device Name = ???\n"},
        {"domain", "NyxApiGetDomainInfo failed, result=INVALID_PARAMETER\n"},
        {"lockstatus", "  Device Lock Status = ???\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(run(c.text, nullptr), std::make_pair(std::string(), std::string(c.err)))
            << c.text;
    }
    Capture capture;
    print_available_audio_interfaces(nullptr);
    EXPECT_EQ(capture.err(), "  Available Audio Interfaces = ???\n");
}

TEST_F(Cli, StandardErrorKeepsItsPlaceAfterStandardOutput) {
    Capture capture(true);
    run_command("nyxcli", "channelcount", api_);
    run_command("nyxcli", "channelcount=8", api_);
    run_command("nyxcli", "asioencoding", api_);
    EXPECT_EQ(capture.out(), "  Channel Count = 0\n"
                             "NyxApiSetChannelCount(8) failed, result=INVALID_STATE\n"
                             "  ASIO Encoding = 0\n");
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
    NyxApiInterface broken{};
    std::copy(std::begin(bad), std::end(bad), broken.name);
    EXPECT_EQ(utf16_to_utf8(broken.name, 64), "\xEF\xBF\xBD"
                                              "a\xEF\xBF\xBD"
                                              "b\xEF\xBF\xBD");

    // A name filling all 64 units without a NUL stops at the record's end.
    NyxApiInterface full{};
    std::fill(std::begin(full.name), std::end(full.name), uint16_t{'x'});
    full.mac[0] = 0xAB;
    EXPECT_EQ(interface_text(full), std::string(64, 'x') + " (AB:00:00:00:00:00)");
}

TEST_F(Cli, EventReport) {
    auto report = [](NyxApi *api, NyxApiChanges changes, NyxApiResult result) {
        Capture capture;
        NyxApiEvent event{sizeof(NyxApiEvent), api, changes, result};
        event_report(&event);
        return std::make_pair(capture.out(), capture.err());
    };
    EXPECT_EQ(report(api_, 0x3, NYXAPI_ACCESS_DENIED).first,
              "\nGot a NyxApi event, changes are 0x3=STATE,REQUEST_COMPLETED\n"
              "  State = IDLE\n"
              "  Last Request Result = ACCESS_DENIED\n");
    EXPECT_EQ(report(api_, 0x800, 0).first,
              "\nGot a NyxApi event, changes are 0x800=ASIO_PARAMETER\n"
              "  ASIO Buffer Size = 0\n"
              "  ASIO Encoding = 0\n"
              "  ASIO Latency = 0 ms\n");
    EXPECT_EQ(report(api_, 0x80000, 0).first, "\nGot a NyxApi event, changes are 0x80000=???\n");
    EXPECT_EQ(report(api_, 0x8000000000010000ull, 0).first,
              "\nGot a NyxApi event, changes are 0x8000000000010000=???,???\n");
    EXPECT_EQ(report(api_, 0, 0).first, "\nGot a NyxApi event, changes are 0x0=\n");

    EXPECT_EQ(report(api_, 0xFFFFF, 9).first,
              "\nGot a NyxApi event, changes are 0xfffff=STATE,REQUEST_COMPLETED,RUNNING,STATUS,"
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
    auto failed = report(nullptr, 0x200C, 0);
    EXPECT_EQ(failed.first,
              "\nGot a NyxApi event, changes are 0x200c=RUNNING,STATUS,CORVO_LATENCY\n");
    EXPECT_EQ(failed.second, "  Running = ???\n  Status = ???\n  Corvo Latency = ???\n");
    EXPECT_EQ(report(nullptr, 0x1, 0).first,
              "\nGot a NyxApi event, changes are 0x1=STATE\n  State = CONNECTED\n");
}

TEST_F(Cli, CompletionWait) {
    {
        Capture capture;
        EXPECT_TRUE(wait_for_completion(api_));
        EXPECT_FALSE(wait_for_completion(nullptr));
        EXPECT_EQ(capture.err(), "NyxApiRequestInProgress failed, result=INVALID_PARAMETER\n");
    }
    // An interrupt ends the wait before the first query.
    g_running = false;
    Capture capture;
    EXPECT_FALSE(wait_for_completion(nullptr));
    EXPECT_EQ(capture.err(), "");
}

TEST(LogFolder, LongWordIsCut) {
    EXPECT_EQ(log_folder_from_word("C:\\logs"), "C:\\logs");
    EXPECT_EQ(log_folder_from_word(std::string(259, 'a')), std::string(259, 'a'));
    EXPECT_EQ(log_folder_from_word(std::string(100000, 'b')), std::string(259, 'b'));
}

TEST_F(Cli, HugeCommandsDoNotCrash) {
    std::string keyword(1 << 20, 'k');
    EXPECT_EQ(run(keyword.c_str()).first.size(), keyword.size() + 19 + kUsage.size());
    std::string iface = "interface=" + std::string(1 << 20, ':');
    EXPECT_EQ(run(iface.c_str()).second.size(), 40 + (1u << 20) + 20);
}

#if GTEST_HAS_DEATH_TEST
TEST_F(Cli, ExitEndsTheProcessWithStatusOne) {
    EXPECT_EXIT(run_command("nyxcli", "-exit", api_), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(run_command("nyxcli", "exit=now", api_), ::testing::ExitedWithCode(1), "");
}
#endif

} // namespace
