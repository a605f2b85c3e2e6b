// nyxcli as a process against nyx-sim, both on 127.0.0.1:8899 (run in a private network
// namespace). The program under test is NYX_E2E_CLI, started through NYX_E2E_WINE when that
// is set; the simulator is NYX_E2E_SIM.
#include "tests/e2e/process.h"

#include <gtest/gtest.h>

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

struct Config {
    std::string cli;
    std::string wine;
    std::string sim;
    fs::path temp;
    bool under_wine() const { return !wine.empty(); }
};

Config &config() {
    static Config c;
    return c;
}

// Wine starts a process in seconds, not milliseconds.
milliseconds scaled(int ms) {
    return milliseconds(config().under_wine() ? ms * 6 : ms);
}

std::string env_or(const char *name, const char *fallback) {
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

int run_and_wait(const std::vector<std::string> &argv, int timeout_ms) {
    Process p(argv);
    std::optional<int> status = p.wait_exit(milliseconds(timeout_ms));
    return status ? *status : -1000;
}

void write_file(const fs::path &path, const std::string &text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// The log-collection script the service would install: "-s -f NAME [-d FOLDER]", it writes
// the named file into the folder.
const char kShellScript[] = R"(name=; folder=.
while [ $# -gt 0 ]; do
  case "$1" in
    -f) name=$2; shift ;;
    -d) folder=$2; shift ;;
  esac
  shift
done
{ echo "nyx logs" > "$folder/$name"; } 2>/dev/null
)";

const char kBatchScript[] = "@echo off\r\n"
                            "rem -s -f NAME -d FOLDER\r\n"
                            "echo nyx logs> \"%5\\%3\"\r\n";

class Environment : public ::testing::Environment {
  public:
    void SetUp() override {
        Config &c = config();
        c.cli = env_or("NYX_E2E_CLI", "");
        c.wine = env_or("NYX_E2E_WINE", "");
        c.sim = env_or("NYX_E2E_SIM", "");
        char pattern[] = "/tmp/nyx-e2e-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            c.temp = pattern;
        }
        if (!c.under_wine()) {
            fs::path tools = c.temp / "pf" / "Vantorel" / "Sonavel" / "Tools";
            write_file(tools / "collect-logs.bat", kShellScript);
            setenv("NYX_PROGRAM_FILES_X86", (c.temp / "pf").c_str(), 1);
            return;
        }
        // A wineserver left from an earlier run may live in another network namespace, and
        // the sockets it makes would be there: start a fresh one in ours.
        run_and_wait({wineserver(), "-k"}, 10000);
        run_and_wait({c.wine, "wineboot", "-i"}, 180000);
        fs::path prefix =
            env_or("WINEPREFIX", (std::string(env_or("HOME", "/root")) + "/.wine").c_str());
        write_file(prefix / "drive_c" / "Program Files (x86)" / "Vantorel" / "Sonavel" / "Tools" /
                       "collect-logs.bat",
                   kBatchScript);
    }
    void TearDown() override {
        if (config().under_wine()) {
            run_and_wait({wineserver(), "-k"}, 10000);
        }
        std::error_code ignored;
        fs::remove_all(config().temp, ignored);
    }

  private:
    static std::string wineserver() {
        fs::path beside = fs::path(config().wine).parent_path() / "wineserver";
        return fs::exists(beside) ? beside.string() : "/usr/bin/wineserver";
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
        if (config().cli.empty() || config().sim.empty()) {
            GTEST_SKIP() << "NYX_E2E_CLI and NYX_E2E_SIM name the programs";
        }
    }

    std::unique_ptr<Process> start_sim(const std::string &state = "") {
        std::vector<std::string> argv = {config().sim};
        if (!state.empty()) {
            fs::path file = config().temp / "state.conf";
            write_file(file, state);
            argv.push_back("--state");
            argv.push_back(file.string());
        }
        auto sim = std::make_unique<Process>(argv);
        EXPECT_TRUE(sim->wait_out("nyx-sim: listening on 127.0.0.1:8899\n", 0, milliseconds(5000)))
            << sim->err();
        return sim;
    }

    std::unique_ptr<Process> start_cli(const std::vector<std::string> &args = {}) {
        std::vector<std::string> argv;
        if (config().under_wine()) {
            argv.push_back(config().wine);
        }
        argv.push_back(config().cli);
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<Process>(argv);
    }

    // Sends a simulator command and waits for its answer.
    void sim_command(Process &sim, const std::string &line, const std::string &reply) {
        size_t mark = sim.out_size();
        sim.write(line + "\n");
        ASSERT_TRUE(sim.wait_out(reply, mark, milliseconds(5000))) << line << "\n" << sim.err();
    }

    // Waits for the connection, the first prompt and the end of the connection's events.
    void connect(Process &cli) {
        ASSERT_TRUE(cli.wait_out("Connected, listening for events\n", 0, scaled(5000)))
            << cli.out();
        ASSERT_TRUE(cli.wait_out("  State = CONNECTED\n", 0, scaled(5000))) << cli.out();
        ASSERT_TRUE(cli.wait_out(kPrompt, 0, scaled(5000))) << cli.out();
        cli.settle(scaled(200), scaled(5000));
        ASSERT_TRUE(cli.out().ends_with(kPrompt)) << cli.out();
    }

    // Types one line and returns everything printed up to and including the next prompt.
    std::string type(Process &cli, const std::string &line) {
        size_t mark = cli.out_size();
        cli.write(line + "\n");
        std::optional<size_t> at = cli.wait_out(kPrompt, mark, scaled(5000));
        EXPECT_TRUE(at) << "no prompt after " << line << ":\n" << cli.out().substr(mark);
        if (!at) {
            return cli.out().substr(mark);
        }
        return cli.out().substr(mark, *at + kPrompt.size() - mark);
    }

    std::string program_name(Process &cli) {
        std::smatch match;
        std::string out = cli.out();
        static const std::regex usage("Usage: ([^\n]*) \\[ACTION\\]\n");
        return std::regex_search(out, match, usage) ? match[1].str() : "";
    }
};

const std::string kAfter = "\n" + kPrompt;

TEST_F(E2E, WithoutManagerOnlyTheVersionLine) {
    auto cli = start_cli({"-version"});
    ASSERT_TRUE(cli->wait_out("API Version = 1.0.0.0\n", 0, scaled(5000))) << cli->err();
    // No connected line, no command and no prompt while the manager is missing. The handle
    // does leave IDLE once its first connect fails (refused at once where the platform
    // reports the closed port, after the 2 s connect timeout elsewhere), and the event report
    // prints that one change.
    std::this_thread::sleep_for(milliseconds(config().under_wine() ? 4000 : 2500));
    std::string out = cli->out();
    const std::string disconnected =
        "\nGot a NyxApi event, changes are 0x1=STATE\n  State = DISCONNECTED\n";
    if (out.size() > 22 && out.substr(22) == disconnected)
        out.resize(22);
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
    size_t connected = out.find("Connected, listening for events\n");
    size_t lock = out.find("  Device Lock Status= 0\n");
    size_t unknown = out.find("'Start' unknown command\nUsage: ");
    size_t prompt = out.find(kAfter);
    ASSERT_NE(lock, std::string::npos) << out;
    ASSERT_NE(unknown, std::string::npos) << out;
    // The arguments run in order, with no prompt between them, before the first prompt.
    EXPECT_LT(connected, lock);
    EXPECT_LT(lock, unknown);
    EXPECT_LT(unknown, prompt);
    EXPECT_EQ(out.find(kPrompt), prompt + 1);
    EXPECT_NE(out.find("-exit\t\t\texit from the application\n", unknown), std::string::npos);
    // The channel count is already 8: the request completes with no change event.
    EXPECT_NE(out.find(kCompleted), std::string::npos) << out;
    EXPECT_EQ(out.find("CHANNEL_COUNT\n"), std::string::npos) << out;
    EXPECT_EQ(cli->err(), "");

    std::string name = program_name(*cli);
    EXPECT_TRUE(name.ends_with("nyxcli") || name.ends_with("nyxcli.exe")) << name;
    // The connection event reports the whole model.
    for (const char *line : {"  Interface = Ethernet 2 (00:1D:C1:5A:30:01)\n",
                             "  Status = Manager isn't active\n", "  NYX Version = 4.2.1.37\n",
                             "  Audio Interface = ASIO\n", "  Device Name = Studio-PC-Nyx\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line;
    }

    // An empty line: a fresh empty line and prompt, nothing else.
    EXPECT_EQ(type(*cli, ""), kAfter);
    EXPECT_EQ(type(*cli, "-"), kAfter);
}

TEST_F(E2E, PrintCommands) {
    auto sim = start_sim();
    auto cli = start_cli();
    connect(*cli);
    const std::pair<const char *, const char *> cases[] = {
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
        {"lockstatus", "  Device Lock Status= 0\n"},
    };
    for (const auto &[command, expected] : cases) {
        EXPECT_EQ(type(*cli, command), expected + kAfter) << command;
    }

    const std::string usage_start = "Usage: " + program_name(*cli) + " [ACTION]\nActions:\n";
    std::string help = type(*cli, "help");
    EXPECT_TRUE(help.starts_with("Usage: ")) << help;
    EXPECT_TRUE(help.ends_with("-exit\t\t\texit from the application\n" + kAfter)) << help;
    EXPECT_EQ(type(*cli, "-foo=bar"), "'foo' unknown command\n" + help);
    EXPECT_EQ(type(*cli, "audio=ASIO"), help);
    EXPECT_EQ(cli->err(), "");
}

TEST_F(E2E, SetCommands) {
    auto sim = start_sim();
    auto cli = start_cli();
    connect(*cli);
    auto changed = [](const std::string &text) { return kCompleted + event(text) + kAfter; };

    EXPECT_EQ(type(*cli, "channelcount=16"), changed("0x80=CHANNEL_COUNT\n  Channel Count = 16\n"));
    EXPECT_EQ(type(*cli, "asiobuffersize=512"),
              changed("0x800=ASIO_PARAMETER\n  ASIO Buffer Size = 512\n  ASIO Encoding = 24\n"
                      "  ASIO Latency = 5 ms\n"));
    EXPECT_EQ(type(*cli, "-asioencoding=65568"),
              changed("0x800=ASIO_PARAMETER\n  ASIO Buffer Size = 512\n  ASIO Encoding = 32\n"
                      "  ASIO Latency = 5 ms\n"));
    EXPECT_EQ(type(*cli, "asiolatency=10"),
              changed("0x800=ASIO_PARAMETER\n  ASIO Buffer Size = 512\n  ASIO Encoding = 32\n"
                      "  ASIO Latency = 10 ms\n"));
    EXPECT_EQ(type(*cli, "corvolatency=2"),
              changed("0x2000=CORVO_LATENCY\n  Corvo Latency = 2 ms\n"));
    EXPECT_EQ(type(*cli, "interface=vEthernet (Default Switch)"),
              changed("0x20=INTERFACE\n  Interface = vEthernet (Default Switch) "
                      "(02:15:5D:A3:4C:07)\n"));
    EXPECT_EQ(type(*cli, "interface=\"3c:22:fb:84:7e:12\""),
              changed("0x20=INTERFACE\n  Interface = WLAN-Ger\xC3\xA4t (3C:22:FB:84:7E:12)\n"));
    EXPECT_EQ(type(*cli, "audio=wdm"), changed("0x200=AUDIO_INTERFACE\n  Audio Interface = WDM\n"));
    EXPECT_EQ(type(*cli, "audio=asio"),
              changed("0x200=AUDIO_INTERFACE\n  Audio Interface = ASIO\n"));
    EXPECT_EQ(type(*cli, "start"),
              changed("0xc=RUNNING,STATUS\n  Running = true\n  Status = System is running\n"));
    EXPECT_EQ(type(*cli, "stop=now"),
              changed("0xc=RUNNING,STATUS\n  Running = false\n  Status = Manager isn't active\n"));
    // Nothing to clear: the request completes and nothing changes.
    EXPECT_EQ(type(*cli, "cleardomain"), kCompleted + kAfter);
    EXPECT_EQ(cli->err(), "");

    // The simulator saw what the commands asked for.
    sim_command(*sim, "show", "channels = 16\n");
    std::string shown = sim->out();
    for (const char *key : {"asio_buffer_size = 512\n", "asio_encoding = 32\n",
                            "asio_latency_us = 10000\n", "latency = 2 ms\n"}) {
        EXPECT_NE(shown.find(key), std::string::npos) << key << shown;
    }
}

TEST_F(E2E, RefusedRequestsAndBadArguments) {
    auto sim = start_sim();
    auto cli = start_cli();
    connect(*cli);
    struct Case {
        const char *command;
        const char *err;
    } cases[] = {
        {"channelcount=7", "NyxApiSetChannelCount(7) failed, result=INVALID_DATA\n"},
        {"channelcount=abc", "NyxApiSetChannelCount(0) failed, result=INVALID_DATA\n"},
        {"corvolatency=3", "NyxApiSetCorvoLatencyMs(3) failed, result=INVALID_DATA\n"},
        {"asiobuffersize=-1", "NyxApiSetASIOBufferSize(4294967295) failed, result=INVALID_DATA\n"},
        {"interface=00:11:22:33:44:55",
         "NyxApiSetInterface(00:11:22:33:44:55) failed, result=INVALID_DATA\n"},
        {"interface=00:1D:C1:0A:FF", "Invalid interface: 00:1D:C1:0A:FF\n"},
        {"interface=00:1D:ZZ:0A:FF:03",
         "Invalid interface:invalid stoi argument\nInvalid interface: 00:1D:ZZ:0A:FF:03\n"},
        {"interface=1:2:3:4:5:FFFFFFFFF",
         "Invalid interface:stoi argument out of range\nInvalid interface: 1:2:3:4:5:FFFFFFFFF\n"},
        // Only plain ASCII names can match; this one falls through to the address form.
        {"interface=WLAN-Ger\xC3\xA4t", "Invalid interface: WLAN-Ger\xC3\xA4t\n"},
    };
    for (const Case &c : cases) {
        size_t mark = cli->err().size();
        EXPECT_EQ(type(*cli, c.command), kAfter) << c.command;
        EXPECT_EQ(cli->err().substr(mark), c.err) << c.command;
    }

    // The manager refuses a configuration that the options allow.
    sim_command(*sim, "status 0x0101", "next reply gets status");
    EXPECT_EQ(type(*cli, "channelcount=32"),
              event("0x2=REQUEST_COMPLETED\n  Last Request Result = INVALID_DATA\n") + kAfter);
    EXPECT_EQ(type(*cli, "channelcount"), "  Channel Count = 8\n" + kAfter);

    // WDM forbids the channel count; a running soundcard forbids the interface.
    type(*cli, "audio=wdm");
    size_t mark = cli->err().size();
    type(*cli, "channelcount=16");
    type(*cli, "audio=asio");
    type(*cli, "start");
    type(*cli, "interface=Ethernet 2");
    type(*cli, "stop");
    EXPECT_EQ(cli->err().substr(mark),
              "NyxApiSetChannelCount(16) failed, result=INVALID_STATE\n"
              "NyxApiSetInterface(00:1D:C1:5A:30:01) failed, result=INVALID_STATE\n");

    // A device lock and a locking domain refuse start and the ASIO values.
    mark = cli->out_size();
    sim_command(*sim, "lock 1", "");
    ASSERT_TRUE(cli->wait_out(event("0x80000=???\n"), mark, scaled(5000))) << cli->out();
    EXPECT_EQ(type(*cli, "lockstatus"), "  Device Lock Status= 1\n" + kAfter);
    mark = cli->err().size();
    type(*cli, "start");
    sim_command(*sim, "lock 0", "");
    sim_command(*sim, "domain Corp locked", "");
    ASSERT_TRUE(cli->wait_out("  Configuration of this device is prevented\n  Domain name = Corp\n",
                              0, scaled(5000)));
    type(*cli, "asiobuffersize=64");
    EXPECT_EQ(cli->err().substr(mark),
              "NyxApiSetRunning(1) failed, result=ACCESS_DENIED\n"
              "NyxApiSetASIOBufferSize(64) failed, result=ACCESS_DENIED\n");
    // Clearing the credentials is still allowed, and the domain goes.
    EXPECT_EQ(type(*cli, "cleardomain"),
              kCompleted +
                  event("0x20000=DOMAIN\n  Device is not enrolled and connected to a "
                        "domain!\n") +
                  kAfter);
}

TEST_F(E2E, EventsWhileThePromptWaits) {
    auto sim = start_sim();
    auto cli = start_cli();
    connect(*cli);
    // The report's leading line end ends the prompt's line; the prompt is not repeated.
    ASSERT_TRUE(cli->out().ends_with(kPrompt));
    auto pushed = [&](const std::string &command, const std::string &report) {
        size_t mark = cli->out_size();
        sim->write(command + "\n");
        EXPECT_TRUE(cli->wait_out(report, mark, scaled(5000))) << command << "\n"
                                                               << cli->out().substr(mark);
        cli->settle(scaled(100), scaled(2000));
        EXPECT_EQ(cli->out().substr(mark), report) << command;
    };
    pushed("link down", event("0x4000=NETWORK_STATUS\n  Network Status = N/A\n"));
    pushed(
        "link up 2500",
        event("0x4000=NETWORK_STATUS\n  Network Status = 2 Gbps\n  IP Address = 192.168.1.42\n"));
    pushed(
        "speed 999",
        event("0x4000=NETWORK_STATUS\n  Network Status = 999 Mbps\n  IP Address = 192.168.1.42\n"));
    pushed(
        "address 0.0.0.0",
        event("0x4000=NETWORK_STATUS\n  Network Status = 999 Mbps\n  IP Address = No Address\n"));
    pushed("name Booth-3", event("0x8000=DEVICE_NAME\n  Device Name = Booth-3\n"));
    pushed("error 0x0301", event("0x8=STATUS\n  Status = Can't find PTP program\n"));
    pushed("error 0x0002", event("0x8=STATUS\n  Status = Unknown status 0x0002\n"));
    pushed("domain Studio offline", event("0x20000=DOMAIN\n  Device is unable to contact the "
                                          "domain server\n  Domain name = Studio\n"));
    pushed("domain Studio", event("0x20000=DOMAIN\n  Device is enrolled and connected to a "
                                  "domain\n  Configuration of this device is allowed\n"
                                  "  Domain name = Studio\n"));
    pushed("set channels = 32", event("0x80=CHANNEL_COUNT\n  Channel Count = 32\n"));
    // The prompt still waits for its line.
    EXPECT_EQ(type(*cli, "channelcount"), "  Channel Count = 32\n" + kAfter);
    EXPECT_EQ(cli->err(), "");
}

TEST_F(E2E, ManagerGoesAwayAndComesBack) {
    if (config().under_wine()) {
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
    // Everything known is forgotten; the rest of the event's block may still be on its way.
    EXPECT_TRUE(cli->wait_out("  AvailableInterfaces = \n", *gone, milliseconds(2000)));
    EXPECT_TRUE(cli->wait_out("  Network Status = N/A\n", *gone, milliseconds(2000)));

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
    std::optional<int> status = cli->wait_exit(scaled(5000));
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 1);
    cli->settle(milliseconds(100), milliseconds(1000));
    std::string out = cli->out();
    // The set command completed before the exit; nothing after it ran.
    EXPECT_NE(out.find(kCompleted + event("0x80=CHANNEL_COUNT\n  Channel Count = 16\n")),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find(kPrompt), std::string::npos) << out;
    EXPECT_EQ(out.find("Device Lock Status"), std::string::npos) << out;

    auto typed = start_cli();
    connect(*typed);
    typed->write("exit\nversion\n");
    status = typed->wait_exit(scaled(5000));
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 1);
    EXPECT_TRUE(typed->out().ends_with(kPrompt)) << typed->out();
}

TEST_F(E2E, InterruptEndsWithStatusZero) {
    auto sim = start_sim();
    {
        // At the prompt: the read returns first, its line runs, then the loop ends.
        auto cli = start_cli();
        connect(*cli);
        size_t mark = cli->out_size();
        cli->signal(SIGINT);
        std::this_thread::sleep_for(milliseconds(100));
        cli->write("lockstatus\n");
        std::optional<int> status = cli->wait_exit(scaled(5000));
        ASSERT_TRUE(status) << cli->out();
        EXPECT_EQ(*status, 0);
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
        std::optional<int> status = cli->wait_exit(scaled(3000));
        ASSERT_TRUE(status) << cli->out();
        EXPECT_EQ(*status, 0);
        EXPECT_EQ(cli->out().find(kPrompt, mark), std::string::npos);
        sim_command(*sim, "silent off", "silent off");
    }
    {
        // End of input: prompts keep coming, one per 100 ms, until the interrupt.
        auto cli = start_cli();
        connect(*cli);
        size_t mark = cli->out_size();
        cli->close_stdin();
        EXPECT_TRUE(cli->wait_out_count(kAfter, mark, 5, scaled(3000)));
        cli->signal(SIGINT);
        std::optional<int> status = cli->wait_exit(scaled(3000));
        ASSERT_TRUE(status);
        EXPECT_EQ(*status, 0);
        std::string tail = cli->out().substr(mark);
        EXPECT_EQ(tail.find_first_not_of(kAfter), std::string::npos) << tail;
    }
}

TEST_F(E2E, InterruptWhileConnecting) {
    auto cli = start_cli({"-lockstatus"});
    ASSERT_TRUE(cli->wait_out("API Version = 1.0.0.0\n", 0, scaled(5000)));
    // The handler is installed right after the version line.
    std::this_thread::sleep_for(scaled(300));
    cli->signal(SIGINT);
    std::this_thread::sleep_for(scaled(300));
    EXPECT_FALSE(cli->wait_exit(milliseconds(0)));
    // The wait goes on until the manager answers; then the arguments run and it ends.
    auto sim = start_sim();
    std::optional<int> status = cli->wait_exit(scaled(8000));
    ASSERT_TRUE(status) << cli->out();
    EXPECT_EQ(*status, 0);
    std::string out = cli->out();
    size_t lock = out.find("Connected, listening for events\n");
    EXPECT_NE(lock, std::string::npos) << out;
    EXPECT_NE(out.find("  Device Lock Status= 0\n", lock), std::string::npos) << out;
    EXPECT_EQ(out.find(kPrompt), std::string::npos) << out;
}

std::string windows_path(const fs::path &path) {
    std::string text = "Z:" + path.string();
    for (char &c : text) {
        if (c == '/') {
            c = '\\';
        }
    }
    return text;
}

TEST_F(E2E, LogDialogue) {
    auto sim = start_sim();
    auto cli = start_cli();
    connect(*cli);
    fs::path folder = config().temp / "logs";
    fs::create_directories(folder);
    const std::string typed_folder = config().under_wine() ? windows_path(folder) : folder.string();

    size_t mark = cli->out_size();
    cli->write("log\n");
    ASSERT_TRUE(cli->wait_out("Input log folder path:", mark, scaled(5000)));
    cli->write("  " + typed_folder + " extra words\n");
    // The rest of the line is the next command.
    ASSERT_TRUE(cli->wait_out("' extra words' unknown command\n", mark, scaled(5000)))
        << cli->out();
    ASSERT_TRUE(cli->wait_out(kPrompt, cli->out().find("' extra words'", mark), scaled(5000)));
    std::string out = cli->out().substr(mark);
    static const std::regex line("^Input log folder path:Preparing logs\\.\\. Check the folder "
                                 "\"([^\"]*)\" for the log file named: \"(nyx-log-\\d{4}-\\d\\d-"
                                 "\\d\\d-\\d\\d-\\d\\d-\\d\\d\\.zip)\"\n\nInput a command: '");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(out, match, line)) << out;
    EXPECT_EQ(match[1].str(), typed_folder);
    fs::path archive = folder / match[2].str();
    const Clock::time_point deadline = Clock::now() + scaled(5000);
    while (!fs::exists(archive) && Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(50));
    }
    EXPECT_TRUE(fs::exists(archive)) << archive;

    // The line end left unread gives an empty command: two prompts in a row.
    mark = cli->out_size();
    cli->write("log\n" + typed_folder + "\n");
    ASSERT_TRUE(cli->wait_out_count(kPrompt, mark, 2, scaled(5000))) << cli->out().substr(mark);
    out = cli->out().substr(mark);
    EXPECT_TRUE(out.ends_with("\"\n" + kAfter + kAfter)) << out;

    // A word longer than the folder buffer is cut to 259 bytes.
    std::string long_word(300, 'd');
    mark = cli->out_size();
    cli->write("log\n" + long_word + "\n\n");
    ASSERT_TRUE(cli->wait_out_count(kPrompt, mark, 2, scaled(5000))) << cli->out().substr(mark);
    out = cli->out().substr(mark);
    EXPECT_NE(out.find("Check the folder \"" + long_word.substr(0, 259) + "\" for"),
              std::string::npos)
        << out;
    EXPECT_EQ(cli->err(), "");
}

TEST_F(E2E, LogDialogueWithoutScript) {
    if (config().under_wine()) {
        GTEST_SKIP() << "the program files folder of the wine prefix is shared by all cases";
    }
    auto sim = start_sim();
    setenv("NYX_PROGRAM_FILES_X86", (config().temp / "missing").c_str(), 1);
    auto cli = start_cli({"-log"});
    setenv("NYX_PROGRAM_FILES_X86", (config().temp / "pf").c_str(), 1);
    cli->write("/tmp\n");
    ASSERT_TRUE(cli->wait_err("NyxApiCollectLogs failed, result=OTHER\n", 0, milliseconds(5000)))
        << cli->out() << cli->err();
    connect(*cli);
    EXPECT_NE(cli->out().find("Input log folder path:"), std::string::npos);
    EXPECT_EQ(cli->out().find("Preparing logs"), std::string::npos);
}

} // namespace
