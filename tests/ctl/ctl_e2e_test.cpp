// nyxctl as a process against nyx-sim on 127.0.0.1:8899 (run in a private network namespace),
// and its exporter scraped by curl and by a real Prometheus server. The program under test is
// NYX_CTL, started through NYX_E2E_WINE when that is set; the simulator is NYX_E2E_SIM.
#include "tests/e2e/harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

namespace {

using namespace e2e;
using json = nlohmann::json;
namespace fs = std::filesystem;

struct Config {
    std::string ctl, wine, sim;
    fs::path temp;
    bool under_wine() const { return !wine.empty(); }
} g_config;

milliseconds scaled(int ms) {
    return milliseconds(g_config.under_wine() ? ms * 6 : ms);
}

class Environment : public ::testing::Environment {
  public:
    void SetUp() override {
        g_config.ctl = env_or("NYX_CTL", "");
        g_config.wine = env_or("NYX_E2E_WINE", "");
        g_config.sim = env_or("NYX_E2E_SIM", "");
        char pattern[] = "/tmp/nyxctl-e2e-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            g_config.temp = pattern;
        }
        if (g_config.under_wine()) {
            kill_wineserver(g_config.wine);
            Process({g_config.wine, "wineboot", "-i"}).wait_exit(milliseconds(180000));
        }
    }
    void TearDown() override {
        if (g_config.under_wine()) {
            kill_wineserver(g_config.wine);
        }
        std::error_code ignored;
        fs::remove_all(g_config.temp, ignored);
    }
};

const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new Environment);

struct Outcome {
    int status = -1000;
    std::string out, err;
};

std::unique_ptr<Process> start_ctl(const std::vector<std::string> &args) {
    std::vector<std::string> argv;
    if (g_config.under_wine()) {
        argv.push_back(g_config.wine);
    }
    argv.push_back(g_config.ctl);
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Process>(argv);
}

Outcome ctl(const std::vector<std::string> &args, const std::string &input = "") {
    std::unique_ptr<Process> p = start_ctl(args);
    if (!input.empty()) {
        p->write(input);
    }
    p->close_stdin();
    Outcome r;
    r.status = p->wait_exit(scaled(20000)).value_or(-1000);
    r.out = p->out();
    r.err = p->err();
    return r;
}

// A build without cpp-httplib has no `metrics` command.
bool has_metrics() {
    static const bool has = ctl({"--help"}).out.find("\n  metrics ") != std::string::npos;
    return has;
}

std::string show(const Outcome &r) {
    return "status " + std::to_string(r.status) + "\nstdout:\n" + r.out + "stderr:\n" + r.err;
}

// A plain HTTP exchange over loopback: what was sent and what came back before the close.
std::string http_exchange(int port, const std::string &request, milliseconds timeout) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{long(timeout.count() / 1000), long(timeout.count() % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char chunk[4096];
        ssize_t n;
        while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0) {
            reply.append(chunk, size_t(n));
        }
        if (n < 0) {
            reply += "<timeout>";
        }
    }
    close(fd);
    return reply;
}

class Ctl : public ::testing::Test {
  protected:
    void SetUp() override {
        if (g_config.ctl.empty() || g_config.sim.empty()) {
            GTEST_SKIP() << "NYX_CTL and NYX_E2E_SIM name the programs";
        }
    }

    static std::unique_ptr<Process> start_sim(const std::vector<std::string> &args = {}) {
        return e2e::start_sim(g_config.sim, args);
    }

    static size_t client_count(Process &sim) {
        size_t mark = sim.out_size();
        sim.write("clients\n");
        std::optional<size_t> at = sim.wait_out(" client(s)", mark, milliseconds(5000));
        std::string out = sim.out();
        size_t start = out.rfind('\n', at.value_or(mark));
        return at ? std::stoul(out.substr(start == std::string::npos ? 0 : start + 1)) : 0;
    }

    static size_t count(const std::string &text, const std::string &what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++n;
        }
        return n;
    }

    // Starts `nyxctl metrics` on any free port and returns that port.
    static int start_exporter(std::unique_ptr<Process> &exporter,
                              const std::vector<std::string> &extra = {}) {
        std::vector<std::string> args{"metrics", "--listen", "127.0.0.1:0"};
        args.insert(args.end(), extra.begin(), extra.end());
        exporter = start_ctl(args);
        std::optional<size_t> at = exporter->wait_out("/metrics\n", 0, scaled(5000));
        EXPECT_TRUE(at) << exporter->err();
        std::smatch m;
        std::string out = exporter->out();
        if (!at || !std::regex_search(out, m, std::regex("127\\.0\\.0\\.1:([0-9]+)/metrics"))) {
            return 0;
        }
        return std::stoi(m[1]);
    }
};

TEST_F(Ctl, GetSetAndVersionAgainstTheSimulator) {
    auto sim = start_sim();
    Outcome get = ctl({"get"});
    ASSERT_EQ(get.status, 0) << show(get);
    for (const char *line :
         {"state=CONNECTED\n", "channel_count=8\n", "available_channel_counts=2,4,8,16,32,64\n",
          "interface=Ethernet 2 (00:1d:c1:5a:30:01)\n", "status=0x0011 (Manager isn't active)\n",
          "domain.enrolled=false\n", "manager_version=4.2.1.37\n", "ip_address=192.168.1.42\n"}) {
        EXPECT_NE(get.out.find(line), std::string::npos) << line << "\n" << get.out;
    }
    EXPECT_EQ(get.out.rfind("state=", 0), 0u) << "fields come in their fixed order";

    Outcome set = ctl({"set", "channel_count=16", "interface=WLAN-Gerät", "asio_buffer_size=512"});
    ASSERT_EQ(set.status, 0) << show(set);
    EXPECT_EQ(set.out, "channel_count=16\ninterface=WLAN-Gerät (3c:22:fb:84:7e:12)\n"
                       "asio_buffer_size=512\n");

    Outcome json_get = ctl({"get", "--json", "channel_count", "interface", "domain", "running"});
    ASSERT_EQ(json_get.status, 0) << show(json_get);
    json values = json::parse(json_get.out);
    EXPECT_EQ(values["channel_count"], 16);
    EXPECT_EQ(values["interface"]["mac"], "3c:22:fb:84:7e:12");
    EXPECT_EQ(values["domain"]["config_allowed"], true);
    EXPECT_EQ(values["running"], false);

    Outcome version = ctl({"--json", "version"});
    ASSERT_EQ(version.status, 0) << show(version);
    EXPECT_EQ(json::parse(version.out),
              json::parse(R"({"api_version":"1.0.0.0","manager_version":"4.2.1.37"})"));
}

TEST_F(Ctl, ApplyMakesTheDocumentTrueAndSendsNothingTheSecondTime) {
    auto sim = start_sim({"-v"});
    Outcome dump = ctl({"dump"});
    ASSERT_EQ(dump.status, 0) << show(dump);
    json document = json::parse(dump.out);
    EXPECT_EQ(document["state"], "CONNECTED");
    document["channel_count"] = 32;
    document["running"] = true;
    document["asio_latency_ms"] = 10;
    fs::path file = g_config.temp / "wanted.json";
    write_file(file, document.dump(2));

    Outcome first = ctl({"apply", file.string()});
    ASSERT_EQ(first.status, 0) << show(first);
    // The channel count needs a stopped card, so the start comes last.
    EXPECT_EQ(first.out, "channel_count=32\nasio_latency_ms=10\nrunning=true\n");

    sim->settle(milliseconds(100), milliseconds(1000));
    size_t sent = count(sim->err(), "SET_CONFIG(0x0110) Request");
    EXPECT_EQ(sent, 3u);
    Outcome second = ctl({"apply", "-"}, document.dump());
    EXPECT_EQ(second.status, 0) << show(second);
    EXPECT_EQ(second.out, "");
    sim->settle(milliseconds(100), milliseconds(1000));
    EXPECT_EQ(count(sim->err(), "SET_CONFIG(0x0110) Request"), sent);

    // A running card takes a channel count only between a stop and a start.
    document["channel_count"] = 4;
    Outcome third = ctl({"--json", "apply", "-"}, document.dump());
    EXPECT_EQ(third.status, 0) << show(third);
    EXPECT_EQ(json::parse(third.out), json::parse(R"({"running":"true","channel_count":"4"})"));
    Outcome now = ctl({"get", "channel_count", "running"});
    EXPECT_EQ(now.out, "channel_count=4\nrunning=true\n");

    // Nothing is sent when any part of the document is wrong, and every problem is named.
    sim->settle(milliseconds(100), milliseconds(1000));
    sent = count(sim->err(), "SET_CONFIG(0x0110) Request");
    Outcome bad =
        ctl({"apply", "-"},
            R"({"channel_count": 7, "colour": "red", "running": "yes", "asio_encoding": 24})");
    EXPECT_EQ(bad.status, 2) << show(bad);
    EXPECT_NE(bad.err.find("nyxctl: channel_count: 7 is not offered (choices: 2,4,8,16,32,64)\n"),
              std::string::npos)
        << bad.err;
    EXPECT_NE(bad.err.find("nyxctl: colour: unknown field\n"), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("nyxctl: running: expected true or false"), std::string::npos);
    EXPECT_EQ(ctl({"apply", "-"}, "{not json").status, 2);
    sim->settle(milliseconds(100), milliseconds(1000));
    EXPECT_EQ(count(sim->err(), "SET_CONFIG(0x0110) Request"), sent);
}

TEST_F(Ctl, ExitStatuses) {
    // 8: no manager within the timeout.
    Outcome missing = ctl({"--timeout", "0.3", "get"});
    EXPECT_EQ(missing.status, 8) << show(missing);
    EXPECT_EQ(missing.err, "nyxctl: manager: not reachable within 0.3 s\n");
    // version still tells its own.
    Outcome version = ctl({"--timeout", "0.3", "version"});
    EXPECT_EQ(version.status, 0) << show(version);
    EXPECT_EQ(version.out, "api_version=1.0.0.0\n");

    // 2: usage and invalid values, found before connecting where the choices are not needed.
    for (const std::vector<std::string> &args : {std::vector<std::string>{},
                                                 {"frobnicate"},
                                                 {"set"},
                                                 {"--timeout", "-1", "get"},
                                                 {"get", "volume"},
                                                 {"set", "channel_count=many"},
                                                 {"set", "state=CONNECTED"}}) {
        Outcome r = ctl(args);
        EXPECT_EQ(r.status, 2) << show(r);
        EXPECT_EQ(count(r.err, "\n"), 1u) << "one line: " << r.err;
    }

    auto sim = start_sim();
    Outcome invalid = ctl({"set", "asio_buffer_size=300"});
    EXPECT_EQ(invalid.status, 2) << show(invalid);
    EXPECT_EQ(invalid.err, "nyxctl: asio_buffer_size: 300 is not offered "
                           "(choices: 32,64,128,256,512,1024,2048)\n");
    Outcome audio = ctl({"set", "audio_interface=MME"});
    EXPECT_EQ(audio.status, 2) << show(audio);
    EXPECT_EQ(audio.err, "nyxctl: audio_interface: \"MME\" is not offered (choices: WDM,ASIO)\n");

    // 5: the API refuses before sending: a locked device, a running card.
    sim_command(*sim, "lock 2", "pushed state");
    Outcome locked = ctl({"set", "asio_buffer_size=512"});
    EXPECT_EQ(locked.status, 5) << show(locked);
    EXPECT_EQ(locked.err, "nyxctl: asio_buffer_size: refused before sending: ACCESS_DENIED "
                          "(device locked (lock status 2))\n");
    sim_command(*sim, "lock 0", "pushed state");
    ASSERT_EQ(ctl({"set", "running=true"}).status, 0);
    Outcome running = ctl({"set", "asio_buffer_size=64", "channel_count=16", "asio_encoding=16"});
    EXPECT_EQ(running.status, 5) << show(running);
    EXPECT_EQ(running.out, "asio_buffer_size=64\n") << "changes before the failure stay made";
    EXPECT_EQ(running.err, "nyxctl: channel_count: refused before sending: INVALID_STATE "
                           "(the soundcard is running)\n");
    ASSERT_EQ(ctl({"set", "running=false"}).status, 0);

    // 4: the manager refuses. The forced status goes to the next reply, so it is set once
    // nyxctl is connected and before it reads the document that makes it send.
    size_t before = client_count(*sim);
    auto apply = start_ctl({"apply", "-"});
    for (auto until = Clock::now() + scaled(5000);
         client_count(*sim) == before && Clock::now() < until;) {
        std::this_thread::sleep_for(milliseconds(20));
    }
    sim_command(*sim, "status 0x0101", "next reply gets status");
    apply->write(R"({"channel_count": 64})");
    apply->close_stdin();
    std::optional<int> refused = apply->wait_exit(scaled(10000));
    EXPECT_EQ(refused, 4) << apply->out() << apply->err();
    EXPECT_EQ(apply->err(), "nyxctl: channel_count: refused by the manager: INVALID_DATA\n");

    // 3: no completion within the timeout.
    sim_command(*sim, "noreply on", "noreply");
    Outcome timeout = ctl({"--timeout", "0.5", "set", "channel_count=16"});
    EXPECT_EQ(timeout.status, 3) << show(timeout);
    EXPECT_EQ(timeout.err, "nyxctl: channel_count: no completion within 0.5 s\n");
    sim_command(*sim, "noreply off", "noreply");

    // 1: an unexpected failure, here an address the exporter cannot serve on.
    if (has_metrics()) {
        Outcome bind = ctl({"metrics", "--listen", "192.0.2.1:9899"});
        EXPECT_EQ(bind.status, 1) << show(bind);
        EXPECT_EQ(bind.err, "nyxctl: metrics: cannot listen on 192.0.2.1:9899\n");
        EXPECT_EQ(ctl({"metrics", "--listen", "localhost"}).status, 2);
    }

    // 0 and the documentation of the statuses.
    Outcome help = ctl({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char *status : {"  0  success", "  3  timed out", "  8  the manager"}) {
        EXPECT_NE(help.out.find(status), std::string::npos) << status;
    }
}

TEST_F(Ctl, MonitorSurvivesAManagerRestart) {
    auto sim = start_sim();
    auto monitor = start_ctl({"--json", "monitor"});
    ASSERT_TRUE(monitor->wait_out("\"state\":\"CONNECTED\"", 0, scaled(5000))) << monitor->err();
    size_t mark = monitor->out_size();
    sim_command(*sim, "link down", "pushed state");
    ASSERT_TRUE(monitor->wait_out("\n", mark, scaled(5000)));
    json line = json::parse(monitor->out().substr(mark, monitor->out().find('\n', mark) - mark));
    EXPECT_EQ(line["changes"], json::parse(R"(["NETWORK_STATUS"])"));
    EXPECT_EQ(line["values"],
              json::parse(R"({"link_up":false,"link_speed":1000,"ip_address":"192.168.1.42"})"));
    EXPECT_TRUE(std::regex_match(line["timestamp"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));

    // The manager goes away (Linux reports the closed port at the next keepalive, wine only
    // after 30 s of silence) and a new one comes up.
    mark = monitor->out_size();
    sim.reset();
    ASSERT_TRUE(monitor->wait_out("\"state\":\"DISCONNECTED\"", mark,
                                  milliseconds(g_config.under_wine() ? 40000 : 5000)))
        << monitor->out().substr(mark);
    sim = start_sim();
    ASSERT_TRUE(monitor->wait_out("\"state\":\"CONNECTED\"", mark, scaled(10000)))
        << monitor->out().substr(mark);
    // The new manager's link is up again.
    EXPECT_NE(monitor->out().find("\"link_up\":true", mark), std::string::npos);

    if (!g_config.under_wine()) {
        monitor->signal(SIGINT);
        EXPECT_EQ(monitor->wait_exit(milliseconds(3000)), 0);
        EXPECT_EQ(monitor->err(), "");
    }

    // Text lines carry the same.
    auto text = start_ctl({"monitor"});
    ASSERT_TRUE(text->wait_out(" state=CONNECTED ", 0, scaled(5000))) << text->err();
    mark = text->out_size();
    sim_command(*sim, "name Stage-Right", "pushed state");
    ASSERT_TRUE(text->wait_out("\n", mark, scaled(5000)));
    EXPECT_NE(text->out().find(" DEVICE_NAME device_name=Stage-Right\n", mark), std::string::npos)
        << text->out().substr(mark);
}

TEST_F(Ctl, ExporterAnswersScrapesAndRefusesTheRest) {
    if (!has_metrics()) {
        GTEST_SKIP() << "built without cpp-httplib";
    }
    auto sim = start_sim();
    std::unique_ptr<Process> exporter;
    const std::string read_timeout = g_config.under_wine() ? "3" : "0.5";
    int port = start_exporter(exporter, {"--read-timeout", read_timeout});
    ASSERT_NE(port, 0);
    const std::string base = "http://127.0.0.1:" + std::to_string(port);

    // A scrape by curl passes promtool's checks, with the values of the cache.
    Process curl({"/usr/bin/curl", "-sS", "--max-time", "10", base + "/metrics"});
    ASSERT_EQ(curl.wait_exit(scaled(10000)), 0) << curl.err();
    std::string metrics = curl.out();
    for (const char *line :
         {"nyx_up 1\n", "nyx_channels 8\n", "nyx_link_up 1\n", "nyx_asio_latency_seconds 0.005\n",
          "nyx_connection_losses_total 0\n", "# TYPE nyx_events_total counter\n",
          "nyx_info{manager_version=\"4.2.1.37\",device_name=\"Studio-PC-Nyx\","
          "interface=\"Ethernet 2\",audio_interface=\"ASIO\","
          "ip_address=\"192.168.1.42\"} 1\n"}) {
        EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;
    }
    Process promtool({"/usr/bin/promtool", "check", "metrics"});
    promtool.write(metrics);
    promtool.close_stdin();
    EXPECT_EQ(promtool.wait_exit(milliseconds(10000)), 0) << promtool.out() << promtool.err();

    auto status_of = [&](const std::vector<std::string> &args) {
        std::vector<std::string> argv{"/usr/bin/curl", "-s",         "-o", "/dev/null", "-w",
                                      "%{http_code}",  "--max-time", "10"};
        argv.insert(argv.end(), args.begin(), args.end());
        Process p(argv);
        p.wait_exit(scaled(10000));
        return p.out();
    };
    EXPECT_EQ(status_of({base + "/"}), "200");
    EXPECT_EQ(status_of({base + "/nothing"}), "404");
    EXPECT_EQ(status_of({"-X", "POST", base + "/nothing"}), "404");
    EXPECT_EQ(status_of({"-X", "POST", "-d", "x=1", base + "/metrics"}), "405");
    EXPECT_EQ(status_of({"-X", "DELETE", base + "/"}), "405");

    // A request larger than the budget is cut off rather than read on.
    std::string big = "GET /metrics HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 400; ++i) {
        big += "X-Filler-" + std::to_string(i) + ": " + std::string(100, 'a') + "\r\n";
    }
    std::string reply = http_exchange(port, big + "\r\n", scaled(3000));
    EXPECT_EQ(reply.find("200 OK"), std::string::npos) << reply.substr(0, 200);
    EXPECT_EQ(reply.find("<timeout>"), std::string::npos);

    // A client that stops half-way is dropped after the read timeout.
    auto start = Clock::now();
    reply = http_exchange(port, "GET /metrics HTTP/1.1\r\nHost: x\r\n", scaled(5000));
    EXPECT_EQ(reply.find("<timeout>"), std::string::npos) << "still held open";
    EXPECT_LT(Clock::now() - start, scaled(3000));

    // Several scrapers at once, while a slow client holds a connection.
    std::thread slow([&] { http_exchange(port, "GET /met", scaled(3000)); });
    std::atomic<int> good{0};
    std::vector<std::thread> scrapers;
    for (int i = 0; i < 6; ++i) {
        scrapers.emplace_back([&] {
            for (int j = 0; j < 5; ++j) {
                std::string r = http_exchange(
                    port, "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                    scaled(5000));
                good += r.find("200 OK") != std::string::npos &&
                        r.find("nyx_up 1\n") != std::string::npos;
            }
        });
    }
    for (std::thread &t : scrapers) {
        t.join();
    }
    slow.join();
    EXPECT_EQ(good, 30);

    // The manager goes away: the exporter keeps serving with nyx_up 0.
    sim.reset();
    if (!g_config.under_wine()) {
        // Linux reports the closed port at the next keepalive.
        std::string r;
        for (auto until = Clock::now() + milliseconds(10000); Clock::now() < until;) {
            r = http_exchange(port, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", milliseconds(2000));
            if (r.find("nyx_up 0\n") != std::string::npos) {
                break;
            }
            std::this_thread::sleep_for(milliseconds(200));
        }
        EXPECT_NE(r.find("nyx_up 0\n"), std::string::npos) << r;
        EXPECT_NE(r.find("nyx_connection_losses_total 1\n"), std::string::npos) << r;
        EXPECT_EQ(r.find("nyx_channels"), std::string::npos) << "no stale values";
        exporter->signal(SIGTERM);
        EXPECT_EQ(exporter->wait_exit(milliseconds(3000)), 0) << exporter->err();
    }
}

// A Prometheus server from Debian's package, with its own configuration and data in a
// temporary folder, scrapes the exporter every second.
TEST_F(Ctl, PrometheusScrapesTheExporter) {
    if (!has_metrics()) {
        GTEST_SKIP() << "built without cpp-httplib";
    }
    const std::string prometheus = env_or("NYX_PROMETHEUS", "/usr/bin/prometheus");
    if (!fs::exists(prometheus)) {
        GTEST_SKIP() << "no " << prometheus;
    }
    auto sim = start_sim();
    std::unique_ptr<Process> exporter;
    int port = start_exporter(exporter);
    ASSERT_NE(port, 0);

    fs::path dir = g_config.temp / "prometheus";
    fs::create_directories(dir / "data");
    write_file(dir / "prometheus.yml", "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                                       "scrape_configs:\n  - job_name: nyx\n"
                                       "    static_configs:\n      - targets: ['127.0.0.1:" +
                                           std::to_string(port) + "']\n");
    const int prometheus_port = 19090;
    Process server({prometheus, "--config.file=" + (dir / "prometheus.yml").string(),
                    "--storage.tsdb.path=" + (dir / "data").string(),
                    "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port)});

    // The value of an instant query, or "" while Prometheus has none.
    auto query = [&](const std::string &expr) -> std::string {
        std::string r = http_exchange(prometheus_port,
                                      "GET /api/v1/query?query=" + expr +
                                          " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                                      milliseconds(2000));
        size_t body = r.find("\r\n\r\n");
        if (body == std::string::npos) {
            return "";
        }
        json j = json::parse(r.substr(body + 4), nullptr, false);
        if (j.is_discarded() || !j.contains("data") || j["data"]["result"].empty()) {
            return "";
        }
        return j["data"]["result"][0]["value"][1].get<std::string>();
    };
    auto wait_value = [&](const std::string &expr, const std::string &wanted) {
        std::string v;
        for (auto until = Clock::now() + scaled(30000); Clock::now() < until;) {
            if ((v = query(expr)) == wanted) {
                break;
            }
            std::this_thread::sleep_for(milliseconds(250));
        }
        return v;
    };
    EXPECT_EQ(wait_value("nyx_up", "1"), "1") << server.err().substr(0, 2000);
    EXPECT_EQ(wait_value("nyx_channels", "8"), "8");
    EXPECT_EQ(wait_value("nyx_link_up", "1"), "1");

    sim_command(*sim, "link down", "pushed state");
    EXPECT_EQ(wait_value("nyx_link_up", "0"), "0");
    EXPECT_EQ(query("nyx_link_speed_bytes_per_second"), "125000000");
    server.signal(SIGTERM);
    server.wait_exit(milliseconds(10000));
}

} // namespace
