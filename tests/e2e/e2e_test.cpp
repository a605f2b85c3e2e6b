// nyxcli as a process against nyx-sim, both on 127.0.0.1:8899 (run in a private network
// namespace). The program under test is NYX_E2E_CLI, started through NYX_E2E_WINE when that
// is set; the simulator is NYX_E2E_SIM.
#include "tests/e2e/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include <unistd.h>

namespace {

using namespace e2e;
namespace fs = std::filesystem;

const std::string kPrompt = "Input a command: ";
const std::string kAfter = "\n" + kPrompt; // the empty line and the prompt after a command

struct Config {
    std::string cli, wine, sim;
    fs::path temp;
    bool under_wine() const { return !wine.empty(); }
} g_config;

// Wine starts a process in seconds, not milliseconds.
milliseconds scaled(int ms) {
    return milliseconds(g_config.under_wine() ? ms * 6 : ms);
}

// The log-collection script the service would install, started with
// " -s -f NAME -d FOLDER": it writes the named file into the folder.
const char kShellScript[] = "echo nyx logs > \"$5/$3\"\n";
const char kBatchScript[] = "@echo off\r\necho nyx logs> \"%5\\%3\"\r\n";

class Environment : public ::testing::Environment {
  public:
    void SetUp() override {
        Config &c = g_config;
        c.cli = env_or("NYX_E2E_CLI", "");
        c.wine = env_or("NYX_E2E_WINE", "");
        c.sim = env_or("NYX_E2E_SIM", "");
        char pattern[] = "/tmp/nyx-e2e-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            c.temp = pattern;
        }
        const fs::path tools = fs::path("Vantorel") / "Sonavel" / "Tools" / "collect-logs.bat";
        if (!c.under_wine()) {
            write_file(c.temp / "pf" / tools, kShellScript);
            setenv("NYX_PROGRAM_FILES_X86", (c.temp / "pf").c_str(), 1);
            return;
        }
        kill_wineserver(c.wine); // and start a fresh one in our namespace
        run_and_wait({c.wine, "wineboot", "-i"}, 180000);
        fs::path prefix = env_or("WINEPREFIX", env_or("HOME", "/root") + "/.wine");
        write_file(prefix / "drive_c" / "Program Files (x86)" / tools, kBatchScript);
    }
    void TearDown() override {
        if (g_config.under_wine()) {
            kill_wineserver(g_config.wine);
        }
        std::error_code ignored;
        fs::remove_all(g_config.temp, ignored);
    }

  private:
    static void run_and_wait(const std::vector<std::string> &argv, int timeout_ms) {
        Process(argv).wait_exit(milliseconds(timeout_ms));
    }
};

const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new Environment);

std::string event(const std::string &names_and_lines) {
    return "\nGot a NyxApi event, changes are " + names_and_lines;
}

const std::string kCompleted = event("0x2=REQUEST_COMPLETED\n  Last Request Result = SUCCESS\n");

class E2E : public ::testing::Test {
  protected:
    void SetUp() override {
        if (g_config.cli.empty() || g_config.sim.empty()) {
            GTEST_SKIP() << "NYX_E2E_CLI and NYX_E2E_SIM name the programs";
        }
    }

    static std::unique_ptr<Process> start_sim() { return e2e::start_sim(g_config.sim); }

    static std::unique_ptr<Process> start_cli(const std::vector<std::string> &args = {}) {
        std::vector<std::string> argv;
        if (g_config.under_wine()) {
            argv.push_back(g_config.wine);
        }
        argv.push_back(g_config.cli);
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<Process>(argv);
    }

    // Waits for the first prompt and the connection's event, which may come in either order.
    static void connect(Process &cli) {
        for (const std::string &text : {std::string("Connected, listening for events\n"),
                                        std::string("  State = CONNECTED\n"), kPrompt}) {
            ASSERT_TRUE(cli.wait_out(text, 0, scaled(5000))) << cli.out();
        }
        cli.settle(scaled(200), scaled(5000));
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

TEST_F(E2E, WithoutManagerOnlyTheVersionLine) {
    auto cli = start_cli({"-version"});
    ASSERT_TRUE(cli->wait_out("API Version = 1.0.0.0\n", 0, scaled(5000))) << cli->err();
    // No connected line, no command and no prompt while the manager is missing; only the
    // handle's one change of state when its first connect fails (at once where the platform
    // reports the closed port, after the 2 s connect timeout elsewhere).
    std::this_thread::sleep_for(milliseconds(g_config.under_wine() ? 4000 : 2500));
    std::string out = cli->out();
    if (out.size() > 22 && out.substr(22) == event("0x1=STATE\n  State = DISCONNECTED\n")) {
        out.resize(22);
    }
    EXPECT_EQ(out, "API Version = 1.0.0.0\n");
    EXPECT_EQ(cli->err(), "");
    EXPECT_FALSE(cli->wait_exit(milliseconds(0)));
}

TEST_F(E2E, StartupArgumentsThenPrompt) {
    auto sim = start_sim();
    auto cli = start_cli({"-lockstatus", "-Start", "-channelcount=8"});
    connect(*cli);
    std::string out = cli->out();
    ASSERT_TRUE(out.starts_with("API Version = 1.0.0.0\n")) << out;
    // The arguments run in order, with no prompt between them, before the first prompt, which
    // follows an empty line.
    size_t connected = out.find("Connected, listening for events\n");
    size_t lock = out.find("  Device Lock Status= 0\n");
    size_t usage = out.find("'Start' unknown command\nUsage: ");
    size_t prompt = out.find(kAfter);
    ASSERT_NE(usage, std::string::npos) << out;
    EXPECT_LT(connected, lock);
    EXPECT_LT(lock, usage);
    EXPECT_LT(usage, prompt);
    EXPECT_EQ(out.find(kPrompt), prompt + 1);
    // The usage names the program as it was started.
    std::smatch match;
    ASSERT_TRUE(std::regex_search(out, match, std::regex("Usage: ([^\n]*) \\[ACTION\\]\n")));
    if (g_config.under_wine()) {
        EXPECT_TRUE(match[1].str().ends_with("nyxcli.exe")) << match[1];
    } else {
        EXPECT_EQ(match[1], g_config.cli);
    }
    // The channel count is already 8: the request completes with no change event.
    EXPECT_NE(out.find(kCompleted), std::string::npos) << out;
    EXPECT_EQ(out.find("CHANNEL_COUNT\n"), std::string::npos) << out;
    EXPECT_EQ(cli->err(), "");

    // An empty line: a fresh empty line and prompt, nothing else.
    EXPECT_EQ(type(*cli, ""), kAfter);
}

TEST_F(E2E, PrintCommandsAndPushedEvents) {
    auto sim = start_sim();
    auto cli = start_cli();
    connect(*cli);
    const std::pair<const char *, const char *> prints[] = {
        {"version", "  NYX Version = 4.2.1.37\n"},
        {"interfaces", "  AvailableInterfaces = Ethernet 2 (00:1D:C1:5A:30:01),"
                       "WLAN-Ger\xC3\xA4t (3C:22:FB:84:7E:12),"
                       "vEthernet (Default Switch) (02:15:5D:A3:4C:07)\n"},
        {"-interface", "  Interface = Ethernet 2 (00:1D:C1:5A:30:01)\n"},
        {"channelcounts", "  Available Channel Counts = 2,4,8,16,32,64\n"},
        {"channelcount=", "  Channel Count = 8\n"},
        {"audio", "  Audio Interface = ASIO\n"},
        {"asiobuffersizes", "  Available ASIO Buffer Sizes = 32,64,128,256,512,1024,2048\n"},
        {"asiobuffersize", "  ASIO Buffer Size = 256\n"},
        {"asioencodings", "  Available ASIO Encodings = 16,24,32\n"},
        {"asioencoding", "  ASIO Encoding = 24\n"},
        {"asiolatencies", "  Available ASIO Latencies = 1,2,5,10,20\n"},
        {"asiolatency", "  ASIO Latency = 5 ms\n"},
        {"corvolatencies", "  Available Corvo Latencies = 1,2,5,10,20\n"},
        {"corvolatency", "  Corvo Latency = 1 ms\n"},
        {"networkstatus", "  Network Status = 1 Gbps\n  IP Address = 192.168.1.42\n"},
        {"devicename", "  Device Name = Studio-PC-Nyx\n"},
        {"domain", "  Device is not enrolled and connected to a domain!\n"},
        {"lockstatus", "  Device Lock Status= 0\n"}};
    for (const auto &[command, expected] : prints) {
        EXPECT_EQ(type(*cli, command), expected + kAfter) << command;
    }

    // While the prompt waits, the report's leading line end ends the prompt's line, and the
    // prompt is not repeated.
    const std::pair<const char *, std::string> pushes[] = {
        {"link down", "0x4000=NETWORK_STATUS\n  Network Status = N/A\n"},
        {"link up 2500", "0x4000=NETWORK_STATUS\n  Network Status = 2 Gbps\n"
                         "  IP Address = 192.168.1.42\n"},
        {"speed 999", "0x4000=NETWORK_STATUS\n  Network Status = 999 Mbps\n"
                      "  IP Address = 192.168.1.42\n"},
        {"address 0.0.0.0", "0x4000=NETWORK_STATUS\n  Network Status = 999 Mbps\n"
                            "  IP Address = No Address\n"},
        {"name Booth-3", "0x8000=DEVICE_NAME\n  Device Name = Booth-3\n"},
        {"error 0x0301", "0x8=STATUS\n  Status = Can't find PTP program\n"},
        {"error 0x0002", "0x8=STATUS\n  Status = Unknown status 0x0002\n"},
        {"domain Studio offline", "0x20000=DOMAIN\n  Device is unable to contact the domain "
                                  "server\n  Domain name = Studio\n"},
        {"domain Studio", "0x20000=DOMAIN\n  Device is enrolled and connected to a domain\n"
                          "  Configuration of this device is allowed\n  Domain name = Studio\n"},
        {"set channels = 32", "0x80=CHANNEL_COUNT\n  Channel Count = 32\n"}};
    for (const auto &[command, report] : pushes) {
        size_t mark = cli->out_size();
        sim->write(std::string(command) + "\n");
        EXPECT_TRUE(cli->wait_out(event(report), mark, scaled(5000))) << command;
        cli->settle(scaled(100), scaled(2000));
        EXPECT_EQ(cli->out().substr(mark), event(report)) << command;
    }
    // The prompt still waits for its line.
    EXPECT_EQ(type(*cli, "channelcount"), "  Channel Count = 32\n" + kAfter);
    EXPECT_EQ(cli->err(), "");
}

TEST_F(E2E, SetCommands) {
    auto sim = start_sim();
    auto cli = start_cli();
    connect(*cli);
    const std::string asio = "0x800=ASIO_PARAMETER\n  ASIO Buffer Size = 512\n  ASIO Encoding = ";
    const std::pair<const char *, std::string> cases[] = {
        {"channelcount=16", "0x80=CHANNEL_COUNT\n  Channel Count = 16\n"},
        {"asiobuffersize=512", asio + "24\n  ASIO Latency = 5 ms\n"},
        {"-asioencoding=65568", asio + "32\n  ASIO Latency = 5 ms\n"},
        {"asiolatency=10", asio + "32\n  ASIO Latency = 10 ms\n"},
        {"corvolatency=2", "0x2000=CORVO_LATENCY\n  Corvo Latency = 2 ms\n"},
        {"interface=vEthernet (Default Switch)",
         "0x20=INTERFACE\n  Interface = vEthernet (Default Switch) (02:15:5D:A3:4C:07)\n"},
        {"interface=\"3c:22:fb:84:7e:12\"",
         "0x20=INTERFACE\n  Interface = WLAN-Ger\xC3\xA4t (3C:22:FB:84:7E:12)\n"},
        {"audio=wdm", "0x200=AUDIO_INTERFACE\n  Audio Interface = WDM\n"},
        {"audio=asio", "0x200=AUDIO_INTERFACE\n  Audio Interface = ASIO\n"},
        {"start", "0xc=RUNNING,STATUS\n  Running = true\n  Status = System is running\n"},
        {"stop=now", "0xc=RUNNING,STATUS\n  Running = false\n  Status = Manager isn't active\n"}};
    for (const auto &[command, change] : cases) {
        EXPECT_EQ(type(*cli, command), kCompleted + event(change) + kAfter) << command;
    }
    EXPECT_EQ(cli->err(), "");
}

TEST_F(E2E, RefusedRequestsAndBadArguments) {
    auto sim = start_sim();
    auto cli = start_cli();
    connect(*cli);
    const std::pair<const char *, const char *> cases[] = {
        {"channelcount=7", "NyxApiSetChannelCount(7) failed, result=INVALID_DATA\n"},
        {"interface=00:11:22:33:44:55",
         "NyxApiSetInterface(00:11:22:33:44:55) failed, result=INVALID_DATA\n"},
        // Only plain ASCII names can match; this one falls through to the address form.
        {"interface=WLAN-Ger\xC3\xA4t", "Invalid interface: WLAN-Ger\xC3\xA4t\n"}};
    for (const auto &[command, err] : cases) {
        size_t mark = cli->err().size();
        EXPECT_EQ(type(*cli, command), kAfter) << command;
        EXPECT_EQ(cli->err().substr(mark), err) << command;
    }

    // The manager refuses a configuration that the options allow.
    sim_command(*sim, "status 0x0101", "next reply gets status");
    EXPECT_EQ(type(*cli, "channelcount=32"),
              event("0x2=REQUEST_COMPLETED\n  Last Request Result = INVALID_DATA\n") + kAfter);
    EXPECT_EQ(type(*cli, "channelcount"), "  Channel Count = 8\n" + kAfter);

    // WDM forbids the channel count; a locking domain forbids starting.
    type(*cli, "audio=wdm");
    size_t mark = cli->err().size();
    type(*cli, "channelcount=16");
    type(*cli, "audio=asio");
    sim_command(*sim, "domain Corp locked", "");
    ASSERT_TRUE(cli->wait_out("  Configuration of this device is prevented\n  Domain name = Corp\n",
                              0, scaled(5000)));
    type(*cli, "start");
    EXPECT_EQ(cli->err().substr(mark), "NyxApiSetChannelCount(16) failed, result=INVALID_STATE\n"
                                       "NyxApiSetRunning(1) failed, result=ACCESS_DENIED\n");
    // Clearing the credentials is still allowed, and the domain goes.
    EXPECT_EQ(type(*cli, "cleardomain"),
              kCompleted +
                  event("0x20000=DOMAIN\n  Device is not enrolled and connected to a "
                        "domain!\n") +
                  kAfter);
}

TEST_F(E2E, ManagerGoesAwayAndComesBack) {
    if (g_config.under_wine()) {
        GTEST_SKIP() << "wine reports no unreachable port, so a lost manager shows only after "
                        "30 s of silence";
    }
    auto sim = start_sim();
    auto cli = start_cli();
    connect(*cli);
    size_t mark = cli->out_size();
    sim.reset(); // killed: the next keepalive meets a closed port
    std::optional<size_t> gone =
        cli->wait_out("  State = DISCONNECTED\n", mark, milliseconds(8000));
    ASSERT_TRUE(gone) << cli->out().substr(mark);

    sim = start_sim();
    std::optional<size_t> back = cli->wait_out("  State = CONNECTED\n", *gone, milliseconds(8000));
    ASSERT_TRUE(back) << cli->out().substr(mark);
    EXPECT_TRUE(cli->wait_out("  Channel Count = 8\n", *back, milliseconds(2000)));
    cli->settle(milliseconds(200), milliseconds(5000));
    EXPECT_EQ(type(*cli, "channelcount=4"),
              kCompleted + event("0x80=CHANNEL_COUNT\n  Channel Count = 4\n") + kAfter);
}

TEST_F(E2E, ExitEndsAtOnceWithStatusOne) {
    auto sim = start_sim();
    auto cli = start_cli({"-channelcount=16", "-exit", "-lockstatus"});
    EXPECT_EQ(cli->wait_exit(scaled(5000)), 1);
    // The set command completed before the exit; nothing after it ran.
    std::string out = cli->out();
    EXPECT_NE(out.find(kCompleted + event("0x80=CHANNEL_COUNT\n  Channel Count = 16\n")),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find(kPrompt), std::string::npos) << out;
    EXPECT_EQ(out.find("Device Lock Status"), std::string::npos) << out;
}

TEST_F(E2E, InterruptEndsWithStatusZero) {
    {
        // While connecting it only clears the flag: once connected, the arguments run and the
        // program ends without prompting.
        auto cli = start_cli({"-lockstatus"});
        ASSERT_TRUE(cli->wait_out("API Version = 1.0.0.0\n", 0, scaled(5000)));
        std::this_thread::sleep_for(scaled(300)); // the handler follows the version line
        cli->signal(SIGINT);
        std::this_thread::sleep_for(scaled(300));
        EXPECT_FALSE(cli->wait_exit(milliseconds(0)));
        auto sim = start_sim();
        EXPECT_EQ(cli->wait_exit(scaled(8000)), 0) << cli->out();
        std::string out = cli->out();
        size_t connected = out.find("Connected, listening for events\n");
        ASSERT_NE(connected, std::string::npos) << out;
        EXPECT_NE(out.find("  Device Lock Status= 0\n", connected), std::string::npos) << out;
        EXPECT_EQ(out.find(kPrompt), std::string::npos) << out;
    }
    auto sim = start_sim();
    {
        // At the prompt: the read returns first, its line runs, then the loop ends.
        auto cli = start_cli();
        connect(*cli);
        size_t mark = cli->out_size();
        cli->signal(SIGINT);
        std::this_thread::sleep_for(milliseconds(100));
        cli->write("lockstatus\n");
        EXPECT_EQ(cli->wait_exit(scaled(5000)), 0) << cli->out();
        EXPECT_EQ(cli->out().substr(mark), "  Device Lock Status= 0\n");
    }
    {
        // While a set command waits for an answer that never comes.
        auto cli = start_cli();
        connect(*cli);
        sim_command(*sim, "silent on", "silent on");
        size_t mark = cli->out_size();
        cli->write("channelcount=16\n");
        std::this_thread::sleep_for(scaled(500));
        EXPECT_EQ(cli->out_size(), mark);
        cli->signal(SIGINT);
        EXPECT_EQ(cli->wait_exit(scaled(3000)), 0) << cli->out();
        EXPECT_EQ(cli->out().find(kPrompt, mark), std::string::npos);
        sim_command(*sim, "silent off", "silent off");
    }
    {
        // End of input: prompts keep coming, one per 100 ms, until the interrupt.
        auto cli = start_cli();
        connect(*cli);
        size_t mark = cli->out_size();
        cli->close_stdin();
        EXPECT_TRUE(cli->wait_out(kAfter, mark, scaled(3000), 5));
        cli->signal(SIGINT);
        EXPECT_EQ(cli->wait_exit(scaled(3000)), 0);
        std::string tail = cli->out().substr(mark);
        EXPECT_EQ(tail.find_first_not_of(kAfter), std::string::npos) << tail;
    }
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

TEST_F(E2E, OverlongInputIsDroppedInBoundedMemory) {
    auto sim = start_sim();
    auto cli = start_cli();
    connect(*cli);
    const long before = peak_rss_kib(cli->pid());

    // A 1 MiB folder word keeps what fits the folder buffer (here: the folder and slashes); a
    // line of many MiB is refused by its cut keyword, and the command after it runs.
    std::string folder = g_config.temp.string();
    if (g_config.under_wine()) {
        folder = "Z:" + folder;
    }
    std::string word = folder + std::string(1 << 20, '/');
    // (Smaller under wine, whose console input is slow; memory is measured natively only.)
    const size_t mib = g_config.under_wine() ? 4 : 64;
    std::string huge(mib << 20, 'x');
    size_t mark = cli->out_size();
    cli->write("log\n" + word + " " + huge + "\nversion\n");
    ASSERT_TRUE(cli->wait_out("  NYX Version = 4.2.1.37\n", mark, scaled(20000))) << cli->err();
    std::string out = cli->out().substr(mark);
    EXPECT_NE(out.find("\"" + word.substr(0, 259) + "\" for the log file named"),
              std::string::npos);
    // The blank after the folder word starts the next line.
    EXPECT_NE(out.find("' " + std::string(4095, 'x') + "' unknown command\nUsage: "),
              std::string::npos);

    // A line that does not end, like /dev/zero: memory stays flat. An interrupt takes effect
    // once the read returns.
    const std::string zeros(1 << 20, '\0');
    for (size_t i = 0; i < mib; ++i) {
        cli->write(zeros);
    }
    if (!g_config.under_wine() && before > 0) {
        EXPECT_LT(peak_rss_kib(cli->pid()) - before, 16 * 1024);
    }
    cli->signal(SIGINT);
    cli->write("\n");
    EXPECT_EQ(cli->wait_exit(scaled(5000)), 0);
    EXPECT_EQ(cli->err(), "");
}

TEST_F(E2E, LogDialogue) {
    auto sim = start_sim();
    auto cli = start_cli();
    connect(*cli);
    fs::path folder = g_config.temp / "logs";
    fs::create_directories(folder);
    std::string typed = folder.string();
    if (g_config.under_wine()) {
        typed = "Z:" + typed;
        std::replace(typed.begin(), typed.end(), '/', '\\');
    }

    // One word is read; the rest of its line is the next command.
    size_t mark = cli->out_size();
    cli->write("log\n");
    ASSERT_TRUE(cli->wait_out("Input log folder path:", mark, scaled(5000)));
    cli->write("  " + typed + " extra words\n");
    std::optional<size_t> rest =
        cli->wait_out("' extra words' unknown command\n", mark, scaled(5000));
    ASSERT_TRUE(rest) << cli->out();
    ASSERT_TRUE(cli->wait_out(kPrompt, *rest, scaled(5000)));
    std::string out = cli->out().substr(mark);
    static const std::regex line("^Input log folder path:Preparing logs\\.\\. Check the folder "
                                 "\"([^\"]*)\" for the log file named: \"(nyx-log-\\d{4}-\\d\\d-"
                                 "\\d\\d-\\d\\d-\\d\\d-\\d\\d\\.zip)\"\n\nInput a command: '");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(out, match, line)) << out;
    EXPECT_EQ(match[1].str(), typed);
    fs::path archive = folder / match[2].str();
    const Clock::time_point deadline = Clock::now() + scaled(5000);
    while (!fs::exists(archive) && Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(50));
    }
    EXPECT_TRUE(fs::exists(archive)) << archive;

    // The line end left unread gives an empty command: two prompts in a row.
    mark = cli->out_size();
    cli->write("log\n" + typed + "\n");
    ASSERT_TRUE(cli->wait_out(kPrompt, mark, scaled(5000), 2)) << cli->out().substr(mark);
    EXPECT_TRUE(cli->out().substr(mark).ends_with("\"\n" + kAfter + kAfter)) << cli->out();
    EXPECT_EQ(cli->err(), "");
}

} // namespace
