// nyxcli as a process against nyx-sim, both on 127.0.0.1:8899 (run in a private network
// namespace). The program under test is NYX_E2E_CLI.
#include "tests/e2e/harness.h"

#include <csignal>
#include <fstream>

namespace {

using namespace e2e;
namespace fs = std::filesystem;

const bool kEnvironment = (add_environment("NYX_E2E_CLI"), true);
const std::string kPrompt = "Input a command: ";
const std::string kAfter = "\n" + kPrompt; // the empty line and the prompt after a command

std::string event(const std::string &names_and_lines) {
    return "\nGot a NyxApi event, changes are " + names_and_lines;
}
// The connection's event reports every value.
const std::string kConnectReport = event(
    "0x6fff9=STATE,STATUS,AVAILABLE_INTERFACES,INTERFACE,AVAILABLE_CHANNEL_COUNTS,CHANNEL_COUNT,"
    "AVAILABLE_AUDIO_INTERFACES,AUDIO_INTERFACE,AVAILABLE_ASIO_PARAMETERS,ASIO_PARAMETER,"
    "AVAILABLE_CORVO_LATENCIES,CORVO_LATENCY,NETWORK_STATUS,DEVICE_NAME,DOMAIN,INFO\n"
    "  State = CONNECTED\n  Status = Manager isn't active\n  AvailableInterfaces = Ethernet 2 "
    "(00:1D:C1:5A:30:01),WLAN-Ger\xC3\xA4t (3C:22:FB:84:7E:12),vEthernet (Default Switch) "
    "(02:15:5D:A3:4C:07)\n  Interface = Ethernet 2 (00:1D:C1:5A:30:01)\n"
    "  Available Channel Counts = 2,4,8,16,32,64\n  Channel Count = 8\n"
    "  Available Audio Interfaces = WDM,ASIO\n  Audio Interface = ASIO\n"
    "  Available ASIO Buffer Sizes = 32,64,128,256,512,1024,2048\n"
    "  Available ASIO Encodings = 16,24,32\n  Available ASIO Latencies = 1,2,5,10,20\n"
    "  ASIO Buffer Size = 256\n  ASIO Encoding = 24\n  ASIO Latency = 5 ms\n"
    "  Available Corvo Latencies = 1,2,5,10,20\n  Corvo Latency = 1 ms\n"
    "  Network Status = 1 Gbps\n  IP Address = 192.168.1.42\n  Device Name = Studio-PC-Nyx\n"
    "  Device is not enrolled and connected to a domain!\n  NYX Version = 4.2.1.37\n");
// Removes the connection's events from `out`: one report of every value, or, when the first
// connect is slow and retried, several that end with the connected state.
bool strip_connect_events(std::string &out) {
    if (size_t at = out.find(kConnectReport); at != std::string::npos) {
        out.erase(at, kConnectReport.size());
        return true;
    }
    const std::string head = "\nGot a NyxApi event, changes are ";
    bool connected = false;
    for (size_t at = 0; !connected && (at = out.find(head, at)) != std::string::npos;) {
        size_t end = out.find('\n', at + 1) + 1;
        if (out.compare(at + head.size(), 21, "0x2=REQUEST_COMPLETED") == 0) {
            at = end;
            continue;
        }
        // The block's lines are indented; the lock status line is the front end's own.
        while (out.compare(end, 2, "  ") == 0 &&
               out.compare(end, 20, "  Device Lock Status") != 0) {
            connected |= out.compare(end, 20, "  State = CONNECTED\n") == 0;
            end = out.find('\n', end) + 1;
        }
        out.erase(at, end - at);
    }
    return connected;
}
const std::string kCompleted = event("0x2=REQUEST_COMPLETED\n  Last Request Result = SUCCESS\n");

class Cli : public ::testing::Test {
  protected:
    // The log-collection script the service would install, started with
    // " -s -f NAME -d FOLDER": it writes the named file into the folder.
    static void SetUpTestSuite() {
        const fs::path tools = fs::path("Vantorel") / "Sonavel" / "Tools" / "collect-logs.bat";
        if (g_config.under_wine()) {
            fs::path prefix = env_or("WINEPREFIX", env_or("HOME", "/root") + "/.wine");
            write_file(prefix / "drive_c" / "Program Files (x86)" / tools,
                       "@echo off\r\necho nyx logs> \"%5\\%3\"\r\n");
        } else {
            write_file(g_config.temp / "pf" / tools, "echo nyx logs > \"$5/$3\"\n");
            setenv("NYX_PROGRAM_FILES_X86", (g_config.temp / "pf").c_str(), 1);
        }
    }

    // Starts nyxcli and waits for the first prompt and the connection's event, which may come
    // in either order.
    static std::unique_ptr<Process> connected(const std::vector<std::string> &args = {}) {
        auto cli = start_program(args);
        for (const std::string &text : {std::string("  State = CONNECTED\n"), kPrompt}) {
            EXPECT_TRUE(cli->wait_out(text, 0, scaled(5000))) << cli->out();
        }
        cli->settle(scaled(200), scaled(5000));
        return cli;
    }

    // Types one line and returns everything printed up to and including the next prompt.
    static std::string type(Process &cli, const std::string &line) {
        size_t mark = cli.out_size();
        cli.write(line + "\n");
        std::optional<size_t> at = cli.wait_out(kPrompt, mark, scaled(5000));
        EXPECT_TRUE(at) << "no prompt after " << line << ":\n" << cli.out().substr(mark);
        return cli.out().substr(mark, at ? *at + kPrompt.size() - mark : std::string::npos);
    }
};

TEST_F(Cli, StartupArgumentsRunInOrderBeforeThePrompt) {
    auto sim = start_sim();
    auto cli = connected({"-lockstatus", "-Start", "-channelcount=8"});
    std::string out = cli->out();
    ASSERT_TRUE(strip_connect_events(out)) << out;
    const std::string head = "API Version = 1.0.0.0\nConnected, listening for events\n"
                             "  Device Lock Status= 0\n'Start' unknown command\nUsage: ";
    ASSERT_TRUE(out.starts_with(head)) << out;
    // The usage names the program as it was started.
    std::string program = out.substr(head.size(), out.find(" [ACTION]\n") - head.size());
    EXPECT_TRUE(program.ends_with(g_config.under_wine() ? "nyxcli.exe" : "/nyxcli")) << program;
    // The channel count is already 8: the request completes with no change event.
    EXPECT_TRUE(out.ends_with("\n-exit\t\t\texit from the application\n" + kCompleted + kAfter))
        << out;
    EXPECT_EQ(cli->err(), "");
    EXPECT_EQ(type(*cli, ""), kAfter);
}

TEST_F(Cli, CommandsAndPushedEvents) {
    auto sim = start_sim();
    auto cli = connected();
    EXPECT_EQ(type(*cli, "networkstatus"),
              "  Network Status = 1 Gbps\n  IP Address = 192.168.1.42\n" + kAfter);
    // While the prompt waits, the report's leading line end ends the prompt's line, and the
    // prompt is not repeated.
    const std::pair<const char *, std::string> pushes[] = {
        {"link down", "0x4000=NETWORK_STATUS\n  Network Status = N/A\n"},
        {"domain Studio offline",
         "0x20000=DOMAIN\n  Device is unable to contact the domain server\n"
         "  Domain name = Studio\n"}};
    for (const auto &[command, report] : pushes) {
        size_t mark = cli->out_size();
        sim->write(std::string(command) + "\n");
        EXPECT_TRUE(cli->wait_out(event(report), mark, scaled(5000))) << command;
        cli->settle(scaled(100), scaled(2000));
        EXPECT_EQ(cli->out().substr(mark), event(report)) << command;
    }

    const std::pair<const char *, std::string> sets[] = {
        {"channelcount=16", "0x80=CHANNEL_COUNT\n  Channel Count = 16\n"},
        {"-asioencoding=65568", "0x800=ASIO_PARAMETER\n  ASIO Buffer Size = 256\n"
                                "  ASIO Encoding = 32\n  ASIO Latency = 5 ms\n"},
        {"interface=\"3c:22:fb:84:7e:12\"",
         "0x20=INTERFACE\n  Interface = WLAN-Ger\xC3\xA4t (3C:22:FB:84:7E:12)\n"}};
    for (const auto &[command, change] : sets) {
        EXPECT_EQ(type(*cli, command), kCompleted + event(change) + kAfter) << command;
    }
    std::string unknown = type(*cli, "volume=3");
    EXPECT_TRUE(unknown.starts_with("'volume' unknown command\nUsage: ")) << unknown;
    // Refused before sending, by the manager, and by a locking domain.
    sim_command(*sim, "status 0x0101", "next reply gets status");
    EXPECT_EQ(type(*cli, "channelcount=32"),
              event("0x2=REQUEST_COMPLETED\n  Last Request Result = INVALID_DATA\n") + kAfter);
    sim_command(*sim, "domain Corp locked", "");
    ASSERT_TRUE(cli->wait_out("  Configuration of this device is prevented\n", 0, scaled(5000)));
    size_t mark = cli->err().size();
    for (const char *command : {"channelcount=7", "interface=WLAN-Ger\xC3\xA4t", "start"}) {
        EXPECT_EQ(type(*cli, command), kAfter) << command;
    }
    // Only plain ASCII names can match; this one falls through to the address form.
    EXPECT_EQ(cli->err().substr(mark), "NyxApiSetChannelCount(7) failed, result=INVALID_DATA\n"
                                       "Invalid interface: WLAN-Ger\xC3\xA4t\n"
                                       "NyxApiSetRunning(1) failed, result=ACCESS_DENIED\n");
}

TEST_F(Cli, ExitEndsAtOnceWithStatusOne) {
    auto sim = start_sim();
    auto cli = start_program({"-channelcount=16", "-exit", "-lockstatus"});
    EXPECT_EQ(cli->wait_exit(scaled(5000)), 1);
    // The set command completed before the exit; nothing after it ran.
    EXPECT_TRUE(
        cli->out().ends_with(kCompleted + event("0x80=CHANNEL_COUNT\n  Channel Count = 16\n")))
        << cli->out();
}

// The peak resident memory of a running process in KiB, from /proc; 0 when unknown.
long peak_rss_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

TEST_F(Cli, OverlongInputIsDroppedInBoundedMemory) {
    auto sim = start_sim();
    auto cli = connected();
    const long before = peak_rss_kib(cli->pid());
    // A 1 MiB folder word keeps what fits the folder buffer (here: the folder and slashes); a
    // line of many MiB is refused by its cut keyword, and the command after it runs.
    // (Under wine the folder is on drive Z:.)
    std::string word =
        (g_config.under_wine() ? "Z:" : "") + g_config.temp.string() + std::string(1 << 20, '/');
    // (Smaller under wine, whose console input is slow; memory is measured natively only.)
    const size_t mib = g_config.under_wine() ? 4 : 64;
    size_t mark = cli->out_size();
    cli->write("log\n" + word + " " + std::string(mib << 20, 'x') + "\nversion\n");
    ASSERT_TRUE(cli->wait_out("  NYX Version = 4.2.1.37\n", mark, scaled(20000))) << cli->err();
    std::string out = cli->out().substr(mark);
    EXPECT_NE(out.find("\"" + word.substr(0, 259) + "\" for the log file named"),
              std::string::npos);
    // The blank after the folder word starts the next line.
    EXPECT_NE(out.find("' " + std::string(4095, 'x') + "' unknown command\nUsage: "),
              std::string::npos);

    // A line that does not end, like /dev/zero: memory stays flat. An interrupt takes effect
    // once the read returns.
    for (size_t i = 0; i < mib; ++i) {
        cli->write(std::string(1 << 20, '\0'));
    }
    if (!g_config.under_wine() && before > 0) {
        EXPECT_LT(peak_rss_kib(cli->pid()) - before, 16 * 1024);
    }
    cli->signal(SIGINT);
    cli->write("\n");
    EXPECT_EQ(cli->wait_exit(scaled(5000)), 0);
    EXPECT_EQ(cli->err(), "");
}

} // namespace
