// nyxctl as a process against nyx-sim on 127.0.0.1:8899 (run in a private network namespace),
// and its exporter scraped by curl and by a real Prometheus server. The program under test is
// NYX_CTL.
#include "tests/e2e/harness.h"

#include <nlohmann/json.hpp>

#include <csignal>

namespace {

using namespace e2e;
using json = nlohmann::json;
namespace fs = std::filesystem;

const bool kEnvironment = (add_environment("NYX_CTL"), true);

struct Outcome {
    int status = -1000;
    std::string out, err;
};

// The exporter's port: the network namespace is the test's own.
const int kPort = 9899;

Outcome finish(Process &p, const std::string &input = "") {
    p.write(input);
    p.close_stdin();
    int status = p.wait_exit(scaled(20000)).value_or(-1000);
    return {status, p.out(), p.err()};
}

Outcome ctl(const std::vector<std::string> &args, const std::string &input = "") {
    return finish(*start_program(args), input);
}

// Runs curl, or bash as a raw client of the exporter that sends `text` and then reads until
// the server closes (status 124 when it has not after 5 s, 20 s under wine).
Outcome curl(std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/curl", "-s", "--max-time", "10"});
    Process p(args);
    return finish(p);
}
Outcome raw_client(const std::string &text) {
    Process p({"/bin/bash", "-c",
               "exec 3<>/dev/tcp/127.0.0.1/$0; printf %s \"$1\" >&3; timeout $2 cat <&3",
               std::to_string(kPort), text, g_config.under_wine() ? "20" : "5"});
    return finish(p);
}

std::string show(const Outcome &r) {
    return "status " + std::to_string(r.status) + "\nstdout:\n" + r.out + "stderr:\n" + r.err;
}

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// A build without cpp-httplib has no `metrics` command.
bool has_metrics() {
    static const bool has = ctl({"--help"}).out.find("\n  metrics ") != std::string::npos;
    return has;
}

// Starts `nyxctl metrics` on kPort.
std::unique_ptr<Process> start_exporter(const std::vector<std::string> &extra = {}) {
    std::vector<std::string> args{"metrics", "--listen", "127.0.0.1:" + std::to_string(kPort)};
    args.insert(args.end(), extra.begin(), extra.end());
    auto exporter = start_program(args);
    EXPECT_TRUE(exporter->wait_out("/metrics\n", 0, scaled(5000))) << exporter->err();
    return exporter;
}

using Ctl = ::testing::Test;

TEST_F(Ctl, GetSetAndVersionAgainstTheSimulator) {
    auto sim = start_sim();
    Outcome get = ctl({"get"});
    ASSERT_EQ(get.status, 0) << show(get);
    EXPECT_TRUE(get.out.starts_with("state=CONNECTED\n")) << "fields come in their fixed order";
    EXPECT_NE(get.out.find("\nstatus=0x0011 (Manager isn't active)\n"), std::string::npos);

    Outcome set = ctl({"set", "channel_count=16", "interface=WLAN-Gerät", "asio_buffer_size=512"});
    ASSERT_EQ(set.status, 0) << show(set);
    EXPECT_EQ(set.out, "channel_count=16\ninterface=WLAN-Gerät (3c:22:fb:84:7e:12)\n"
                       "asio_buffer_size=512\n");
    Outcome version = ctl({"--json", "version"});
    EXPECT_EQ(json::parse(version.out),
              json::parse(R"({"api_version":"1.0.0.0","manager_version":"4.2.1.37"})"));
}

TEST_F(Ctl, ApplyMakesTheDocumentTrueAndSendsNothingTheSecondTime) {
    auto sim = start_sim({"-v"});
    Outcome dump = ctl({"dump"});
    ASSERT_EQ(dump.status, 0) << show(dump);
    json document = json::parse(dump.out);
    document["channel_count"] = 32;
    document["running"] = true;
    fs::path file = g_config.temp / "wanted.json";
    write_file(file, document.dump(2));
    auto sent = [&] {
        sim->settle(milliseconds(100), milliseconds(1000));
        return count(sim->err(), "SET_CONFIG(0x0110) Request");
    };

    Outcome first = ctl({"apply", file.string()});
    ASSERT_EQ(first.status, 0) << show(first);
    // The channel count needs a stopped card, so the start comes last.
    EXPECT_EQ(first.out, "channel_count=32\nrunning=true\n");
    EXPECT_EQ(sent(), 2u);
    Outcome second = ctl({"apply", "-"}, document.dump());
    EXPECT_EQ(second.status, 0) << show(second);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(sent(), 2u);

    // Nothing is sent when any part of the document is wrong, and every problem is named.
    Outcome bad = ctl({"apply", "-"}, R"({"channel_count": 7, "colour": "red", "running": 1})");
    EXPECT_EQ(bad.status, 2) << show(bad);
    EXPECT_EQ(count(bad.err, "\n"), 3u) << bad.err;
    EXPECT_NE(bad.err.find("nyxctl: channel_count: 7 is not offered (choices: 2,4,8,16,32,64)\n"),
              std::string::npos)
        << bad.err;
    EXPECT_EQ(sent(), 2u);
}

TEST_F(Ctl, ExitStatuses) {
    auto expect = [](const std::vector<std::string> &args, int status, const std::string &err) {
        Outcome r = ctl(args);
        EXPECT_EQ(r.status, status) << show(r);
        EXPECT_EQ(r.err, err.empty() ? r.err : "nyxctl: " + err);
        EXPECT_EQ(count(r.err, "\n"), 1u) << "one line: " << r.err;
    };
    expect({"--timeout", "0.3", "get"}, 8, "manager: not reachable within 0.3 s\n");
    EXPECT_EQ(ctl({"--timeout", "0.3", "version"}).out, "api_version=1.0.0.0\n");
    // Usage errors are found before connecting.
    expect({"frobnicate"}, 2, "");
    expect({"set", "state=x"}, 2, "");
    if (has_metrics()) { // an unexpected failure: an address the exporter cannot serve on
        expect({"metrics", "--listen", "192.0.2.1:9899"}, 1,
               "metrics: cannot listen on 192.0.2.1:9899\n");
        expect({"metrics", "--listen", "9899"}, 2, "");
    }

    auto sim = start_sim({"-v"});
    expect({"set", "asio_buffer_size=300"}, 2,
           "asio_buffer_size: 300 is not offered (choices: 32,64,128,256,512,1024,2048)\n");
    sim_command(*sim, "lock 2", "");
    expect({"set", "asio_buffer_size=512"}, 5,
           "asio_buffer_size: refused before sending: ACCESS_DENIED (device locked (lock status "
           "2))\n");
    sim_command(*sim, "lock 0", "");
    sim_command(*sim, "noreply on", "");
    expect({"--timeout", "0.5", "set", "channel_count=16"}, 3,
           "channel_count: no completion within 0.5 s\n");
    sim_command(*sim, "noreply off", "");

    // The manager refuses. The forced status goes to the next reply, so it is set once nyxctl
    // is connected and before it reads the document that makes it send.
    size_t mark = sim->err().size();
    auto apply = start_program({"apply", "-"});
    ASSERT_TRUE(sim->wait_err("connect(0x0001) Response", mark, scaled(5000))) << sim->err();
    sim_command(*sim, "status 0x0101", "next reply gets status");
    apply->write(R"({"channel_count": 64})");
    apply->close_stdin();
    EXPECT_EQ(apply->wait_exit(scaled(10000)), 4) << apply->out() << apply->err();
    EXPECT_EQ(apply->err(), "nyxctl: channel_count: refused by the manager: INVALID_DATA\n");
}

TEST_F(Ctl, MonitorSurvivesAManagerRestart) {
    auto sim = start_sim();
    auto monitor = start_program({"--json", "monitor"});
    ASSERT_TRUE(monitor->wait_out("\"state\":\"CONNECTED\"", 0, scaled(5000))) << monitor->err();
    size_t mark = monitor->out_size();
    sim_command(*sim, "link down", "pushed state");
    ASSERT_TRUE(monitor->wait_out("\n", mark, scaled(5000)));
    json line = json::parse(monitor->out().substr(mark, monitor->out().find('\n', mark) - mark));
    EXPECT_EQ(line["changes"], json::parse(R"(["NETWORK_STATUS"])"));
    EXPECT_EQ(line["values"],
              json::parse(R"({"link_up":false,"link_speed":1000,"ip_address":"192.168.1.42"})"));

    // The manager goes away (Linux reports the closed port at the next keepalive, wine only
    // after 30 s of silence) and a new one, whose link is up, comes up.
    mark = monitor->out_size();
    sim.reset();
    ASSERT_TRUE(monitor->wait_out("\"state\":\"DISCONNECTED\"", mark,
                                  milliseconds(g_config.under_wine() ? 40000 : 5000)))
        << monitor->out().substr(mark);
    sim = start_sim();
    ASSERT_TRUE(monitor->wait_out("\"state\":\"CONNECTED\"", mark, scaled(10000)))
        << monitor->out().substr(mark);
    EXPECT_NE(monitor->out().find("\"link_up\":true", mark), std::string::npos);
    if (!g_config.under_wine()) {
        monitor->signal(SIGINT);
        EXPECT_EQ(monitor->wait_exit(milliseconds(3000)), 0);
        EXPECT_EQ(monitor->err(), "");
    }
}

TEST_F(Ctl, ExporterAnswersScrapesAndRefusesTheRest) {
    if (!has_metrics()) {
        GTEST_SKIP() << "built without cpp-httplib";
    }
    auto sim = start_sim();
    auto exporter = start_exporter({"--read-timeout", g_config.under_wine() ? "3" : "0.5"});
    const std::string url = "http://127.0.0.1:" + std::to_string(kPort);

    // A scrape passes promtool's checks, with the values of the cache.
    std::string metrics = curl({url + "/metrics"}).out;
    EXPECT_NE(metrics.find("nyx_up 1\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("nyx_info{manager_version=\"4.2.1.37\",device_name=\"Studio-PC-Nyx\","
                           "interface=\"Ethernet 2\",audio_interface=\"ASIO\","
                           "ip_address=\"192.168.1.42\"} 1\n"),
              std::string::npos);
    Process promtool({"/usr/bin/promtool", "check", "metrics"});
    Outcome check = finish(promtool, metrics);
    EXPECT_EQ(check.status, 0) << show(check);
    EXPECT_EQ(curl({"-o", "/dev/null", "-w", "%{http_code}", url + "/nothing"}).out, "404");
    EXPECT_EQ(curl({"-o", "/dev/null", "-w", "%{http_code}", "-d", "x", url + "/metrics"}).out,
              "405");

    // A request larger than the budget is cut off rather than read on, and a client that stops
    // half-way is dropped after the read timeout.
    std::string big = "GET /metrics HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 400; ++i) {
        big += "X-Filler-" + std::to_string(i) + ": " + std::string(100, 'a') + "\r\n";
    }
    for (const std::string &text : {big + "\r\n", std::string("GET /metrics HTTP/1.1\r\n")}) {
        Outcome r = raw_client(text);
        EXPECT_NE(r.status, 124) << "still held open";
        EXPECT_EQ(r.err.find("/dev/tcp"), std::string::npos) << r.err; // it did connect
        EXPECT_EQ(r.out.find(" 200 OK"), std::string::npos) << r.out.substr(0, 200);
    }

    // Several scrapers at once, while a slow client holds a connection.
    Process slow({"/bin/bash", "-c",
                  "exec 3<>/dev/tcp/127.0.0.1/$0; printf 'GET /met' >&3; sleep 3",
                  std::to_string(kPort)});
    std::vector<std::string> args{"--parallel", "--parallel-max", "6"};
    args.resize(args.size() + 30, url + "/metrics");
    EXPECT_EQ(count(curl(args).out, "\nnyx_up 1\n"), 30u);
}

// A Prometheus server from Debian's package, with its own configuration and data in a
// temporary folder, scrapes the exporter every second.
TEST_F(Ctl, PrometheusScrapesTheExporter) {
    const std::string prometheus = env_or("NYX_PROMETHEUS", "/usr/bin/prometheus");
    if (!has_metrics() || !fs::exists(prometheus)) {
        GTEST_SKIP() << "built without cpp-httplib, or no " << prometheus;
    }
    auto sim = start_sim();
    auto exporter = start_exporter();
    fs::path dir = g_config.temp / "prometheus";
    write_file(dir / "prometheus.yml", "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                                       "scrape_configs:\n  - job_name: nyx\n"
                                       "    static_configs:\n      - targets: ['127.0.0.1:" +
                                           std::to_string(kPort) + "']\n");
    Process server({prometheus, "--config.file=" + (dir / "prometheus.yml").string(),
                    "--storage.tsdb.path=" + (dir / "data").string(),
                    "--web.listen-address=127.0.0.1:19090"});

    // Waits until an instant query gives `wanted`; returns the last value ("" for none).
    auto wait_value = [&](const std::string &expr, const std::string &wanted) {
        std::string v;
        for (auto until = Clock::now() + scaled(30000); v != wanted && Clock::now() < until;) {
            std::this_thread::sleep_for(milliseconds(250));
            json j = json::parse(curl({"http://127.0.0.1:19090/api/v1/query?query=" + expr}).out,
                                 nullptr, false);
            v = j.is_object() ? j.value("/data/result/0/value/1"_json_pointer, "") : "";
        }
        return v;
    };
    EXPECT_EQ(wait_value("nyx_up", "1"), "1") << server.err().substr(0, 2000);
    EXPECT_EQ(wait_value("nyx_channels", "8"), "8");
    EXPECT_EQ(wait_value("nyx_link_up", "1"), "1");
    sim_command(*sim, "link down", "pushed state");
    EXPECT_EQ(wait_value("nyx_link_up", "0"), "0");
    server.signal(SIGTERM);
    server.wait_exit(milliseconds(10000));
}

} // namespace
