// nyxctl's parts that need no manager: values, typed changes, apply plans, event lines and
// the metrics text.
#include "ctl/commands.h"

#include <gtest/gtest.h>

namespace {

using namespace nyxctl;

Snapshot connected() {
    Snapshot s;
    s.state = NYXAPI_STATE_CONNECTED;
    s.status = 0x0011;
    s.interface = {"Ethernet 2", {0x00, 0x1d, 0xc1, 0x5a, 0x30, 0x01}};
    s.available_interfaces = {s.interface,
                              {"WLAN-Ger\xc3\xa4t", {0x3c, 0x22, 0xfb, 0x84, 0x7e, 0x12}}};
    s.channel_count = 8;
    s.available_channel_counts = {2, 4, 8, 16};
    s.audio_interface = NYXAPI_AUDIO_INTERFACE_ASIO;
    s.available_audio_interfaces = {NYXAPI_AUDIO_INTERFACE_WDM, NYXAPI_AUDIO_INTERFACE_ASIO};
    s.asio_buffer_size = 256;
    s.available_asio_buffer_sizes = {128, 256, 512};
    s.asio_encoding = 24;
    s.available_asio_encodings = {16, 24};
    s.asio_latency_ms = 5;
    s.available_asio_latencies_ms = {1, 5};
    s.corvo_latency_ms = 1;
    s.available_corvo_latencies_ms = {1, 2};
    s.link_up = true;
    s.link_speed = 1000;
    s.ip_address = {192, 168, 1, 42};
    s.device_name = "Studio \"A\"";
    s.domain.config_allowed = true;
    s.manager_version = {4, 2, 1, 37};
    return s;
}

std::string fields_of(const std::vector<Change> &plan) {
    std::string out;
    for (const Change &c : plan) {
        out += (out.empty() ? "" : " ") + c.field + "=" + c.shown;
    }
    return out;
}

TEST(CtlValues, TextAndJsonOfEveryKindOfField) {
    Snapshot s = connected();
    EXPECT_EQ(field_text(s, "status"),
              std::vector<std::string>{"status=0x0011 (Manager isn't active)"});
    EXPECT_EQ(field_text(s, "available_interfaces"),
              std::vector<std::string>{"available_interfaces=Ethernet 2 (00:1d:c1:5a:30:01),"
                                       "WLAN-Ger\xc3\xa4t (3c:22:fb:84:7e:12)"});
    EXPECT_EQ(field_text(s, "domain"),
              (std::vector<std::string>{"domain.enrolled=false", "domain.connected=false",
                                        "domain.name=", "domain.config_allowed=true"}));
    EXPECT_EQ(field_text(s, "available_audio_interfaces"),
              std::vector<std::string>{"available_audio_interfaces=WDM,ASIO"});
    EXPECT_EQ(field_json(s, "manager_version"), "4.2.1.37");

    // Unknown while disconnected: no version, no address.
    Snapshot away;
    EXPECT_TRUE(field_json(away, "manager_version").is_null());
    EXPECT_TRUE(field_json(away, "ip_address").is_null());
    EXPECT_EQ(field_text(away, "ip_address"), std::vector<std::string>{"ip_address="});

    json all = snapshot_json(s);
    ASSERT_EQ(all.size(), all_fields().size());
    EXPECT_EQ(all.begin().key(), "state");
    EXPECT_EQ(all["interface"], json::parse(R"({"name":"Ethernet 2","mac":"00:1d:c1:5a:30:01"})"));
}

TEST(CtlValues, Utf16NamesBecomeUtf8) {
    const uint16_t name[] = {'W', 0x00e4, 0x20ac, 0xd83c, 0xdfb5, 0xdc00, 0, 'x'};
    EXPECT_EQ(utf16_to_utf8(name, 8), "W\xc3\xa4\xe2\x82\xac\xf0\x9f\x8e\xb5\xef\xbf\xbd");
    EXPECT_EQ(utf16_to_utf8(name, 1), "W");
    EXPECT_EQ(change_names(NYXAPI_CHANGE_STATE | NYXAPI_CHANGE_DEVICE_LOCK_STATUS | (1ull << 16)),
              (std::vector<std::string>{"STATE", "BIT16", "DEVICE_LOCK_STATUS"}));
}

TEST(CtlChanges, AssignmentsAreCheckedAgainstTypeAndChoices) {
    Snapshot s = connected();
    std::vector<std::string> errors;
    auto one = [&](const std::string &text) {
        errors.clear();
        std::optional<Change> c = parse_assignment(s, text, errors);
        return c ? c->field + "=" + c->shown : (errors.empty() ? "?" : errors.front());
    };
    EXPECT_EQ(one("channel_count=16"), "channel_count=16");
    EXPECT_EQ(one("channel_count=7"), "channel_count: 7 is not offered (choices: 2,4,8,16)");
    EXPECT_EQ(one("channel_count=-2"), "channel_count: expected a number, got \"-2\"");
    EXPECT_EQ(one("channel_count=99999999999999999999"),
              "channel_count: expected a number, got \"99999999999999999999\"");
    EXPECT_EQ(one("channel_count=4294967312"),
              "channel_count: expected a whole number, got 4294967312");
    EXPECT_EQ(one("running=on"), "running=true");
    EXPECT_EQ(one("running=maybe"), "running: expected true or false, got \"maybe\"");
    EXPECT_EQ(one("audio_interface=wdm"), "audio_interface=WDM");
    EXPECT_EQ(one("interface=3C-22-FB-84-7E-12"),
              "interface=WLAN-Ger\xc3\xa4t (3c:22:fb:84:7e:12)");
    EXPECT_EQ(one("interface=Ethernet 2 (00:1d:c1:5a:30:01)"),
              "interface=Ethernet 2 (00:1d:c1:5a:30:01)");
    EXPECT_EQ(one("interface=eth0"),
              "interface: \"eth0\" is not offered (choices: Ethernet 2 (00:1d:c1:5a:30:01),"
              "WLAN-Ger\xc3\xa4t (3c:22:fb:84:7e:12))");
    EXPECT_EQ(one("link_up=true").rfind("link_up: not settable (settable: running,", 0), 0u);
    EXPECT_EQ(one("volume=3"), "volume: unknown field");
    EXPECT_EQ(one("channel_count"), "channel_count: expected FIELD=VALUE");
    EXPECT_EQ(one("=3"), "=3: expected FIELD=VALUE");

    s.available_asio_buffer_sizes.clear();
    EXPECT_EQ(one("asio_buffer_size=256"), "asio_buffer_size: 256 is not offered (choices: none)");
}

TEST(CtlChanges, ApplyPlansOnlyWhatDiffersInAnOrderTheSettersTake) {
    Snapshot s = connected();
    std::vector<std::string> errors;
    auto plan = [&](const Snapshot &from, const json &document) {
        errors.clear();
        std::optional<std::vector<Change>> p = plan_apply(from, document, errors);
        return p ? fields_of(*p) : "error";
    };
    json same = snapshot_json(s);
    EXPECT_EQ(plan(s, same), "");
    same["state"] = "DISCONNECTED"; // read-only fields are not compared
    same["link_up"] = false;
    EXPECT_EQ(plan(s, same), "");

    json to_wdm = snapshot_json(s);
    to_wdm["audio_interface"] = "WDM";
    to_wdm["channel_count"] = 16;
    to_wdm["interface"] = "WLAN-Ger\xc3\xa4t";
    EXPECT_EQ(
        plan(s, to_wdm),
        "interface=WLAN-Ger\xc3\xa4t (3c:22:fb:84:7e:12) channel_count=16 audio_interface=WDM");

    Snapshot wdm = s;
    wdm.audio_interface = NYXAPI_AUDIO_INTERFACE_WDM;
    json to_asio = snapshot_json(s);
    to_asio["asio_buffer_size"] = 512;
    EXPECT_EQ(plan(wdm, to_asio), "audio_interface=ASIO asio_buffer_size=512");

    Snapshot running = s;
    running.running = true;
    json more = snapshot_json(running);
    more["channel_count"] = 4;
    more["asio_latency_ms"] = 1;
    EXPECT_EQ(plan(running, more), "running=false channel_count=4 asio_latency_ms=1 running=true");
    more = snapshot_json(running);
    more["asio_latency_ms"] = 1; // taken while running
    EXPECT_EQ(plan(running, more), "asio_latency_ms=1");
    more["running"] = false;
    EXPECT_EQ(plan(running, more), "asio_latency_ms=1 running=false");
    EXPECT_EQ(plan(s, json{{"running", true}}), "running=true");

    json bad = {{"channel_count", "16"}, {"colour", 1}, {"asio_encoding", 20}};
    EXPECT_EQ(plan(s, bad), "error");
    EXPECT_EQ(errors,
              (std::vector<std::string>{"channel_count: expected a whole number, got \"16\"",
                                        "colour: unknown field",
                                        "asio_encoding: 20 is not offered (choices: 16,24)"}));
    EXPECT_EQ(plan(s, json::array()), "error");
}

TEST(CtlMonitor, EventLinesCarryTimeFlagsAndNewValues) {
    Event e;
    e.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123));
    e.changes = NYXAPI_CHANGE_NETWORK_STATUS | NYXAPI_CHANGE_INFO;
    e.values = connected();
    EXPECT_EQ(event_line(e, false),
              "2023-11-14T22:13:20.123Z NETWORK_STATUS,INFO link_up=true link_speed=1000 "
              "ip_address=192.168.1.42 manager_version=4.2.1.37");
    EXPECT_EQ(json::parse(event_line(e, true)),
              json::parse(R"({"timestamp":"2023-11-14T22:13:20.123Z",
                  "changes":["NETWORK_STATUS","INFO"],
                  "values":{"link_up":true,"link_speed":1000,"ip_address":"192.168.1.42",
                            "manager_version":"4.2.1.37"}})"));
    e.changes = NYXAPI_CHANGE_REQUEST_COMPLETED;
    e.result = NYXAPI_INVALID_DATA;
    EXPECT_EQ(json::parse(event_line(e, true))["result"], "INVALID_DATA");
}

TEST(CtlMetrics, UpAndDownExpositions) {
    Counters counters{7, 2};
    std::string up = metrics_text(connected(), counters);
    for (const char *line :
         {"# TYPE nyx_up gauge\nnyx_up 1\n", "nyx_events_total 7\n",
          "# TYPE nyx_connection_losses_total counter\nnyx_connection_losses_total 2\n",
          "nyx_asio_latency_seconds 0.005\n", "nyx_corvo_latency_seconds 0.001\n",
          "nyx_link_speed_bytes_per_second 125000000\n",
          "nyx_status_info{code=\"0x0011\",description=\"Manager isn't active\"} 1\n",
          "device_name=\"Studio \\\"A\\\"\""}) {
        EXPECT_NE(up.find(line), std::string::npos) << line << "\n" << up;
    }
    // Every sample has its HELP and TYPE lines.
    size_t samples = 0, helps = 0, types = 0;
    for (size_t at = 0; at < up.size(); at = up.find('\n', at) + 1) {
        helps += up.compare(at, 7, "# HELP ") == 0;
        types += up.compare(at, 7, "# TYPE ") == 0;
        samples += up[at] != '#';
    }
    EXPECT_EQ(helps, samples);
    EXPECT_EQ(types, samples);

    Snapshot away = connected();
    away.state = NYXAPI_STATE_DISCONNECTED;
    std::string down = metrics_text(away, counters);
    EXPECT_NE(down.find("nyx_up 0\n"), std::string::npos);
    EXPECT_NE(down.find("nyx_connection_losses_total 2\n"), std::string::npos);
    EXPECT_EQ(down.find("nyx_channels"), std::string::npos);
}

TEST(CtlMetrics, ListenAddresses) {
    auto text = [](const std::string &in) {
        std::optional<Listen> l = parse_listen(in);
        return l ? l->host + " " + std::to_string(l->port) : "error";
    };
    EXPECT_EQ(text("127.0.0.1:9899"), "127.0.0.1 9899");
    EXPECT_EQ(text("0.0.0.0:0"), "0.0.0.0 0");
    EXPECT_EQ(text("[::1]:9899"), "::1 9899");
    for (const char *bad : {"::1:9899", "9899", ":9899", "127.0.0.1:", "127.0.0.1:65536",
                            "127.0.0.1:12a", "127.0.0.1:-1", "[]:80"}) {
        EXPECT_EQ(text(bad), "error") << bad;
    }
}

} // namespace
