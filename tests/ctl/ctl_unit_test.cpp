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
    EXPECT_EQ(field_text(s, "domain"),
              (std::vector<std::string>{"domain.enrolled=false", "domain.connected=false",
                                        "domain.name=", "domain.config_allowed=true"}));
    // Unknown while disconnected: no version, no address.
    Snapshot away;
    EXPECT_TRUE(field_json(away, "manager_version").is_null());
    EXPECT_EQ(field_text(away, "ip_address"), std::vector<std::string>{"ip_address="});
    EXPECT_EQ(snapshot_json(s)["interface"],
              json::parse(R"({"name":"Ethernet 2","mac":"00:1d:c1:5a:30:01"})"));

    const uint16_t name[] = {'W', 0x00e4, 0xd83c, 0xdfb5, 0xdc00, 0, 'x'};
    EXPECT_EQ(utf16_to_utf8(name, 7), "W\xc3\xa4\xf0\x9f\x8e\xb5\xef\xbf\xbd");
    EXPECT_EQ(change_names(NYXAPI_CHANGE_STATE | (1ull << 16)),
              (std::vector<std::string>{"STATE", "BIT16"}));
}

TEST(CtlChanges, AssignmentsAreCheckedAgainstTypeAndChoices) {
    Snapshot s = connected();
    std::vector<std::string> errors;
    const std::pair<const char *, const char *> cases[] = {
        {"channel_count=7", "channel_count: 7 is not offered (choices: 2,4,8,16)"},
        {"channel_count=-2", "channel_count: expected a number, got \"-2\""},
        {"channel_count=4294967312", "channel_count: expected a whole number, got 4294967312"},
        {"running=on", "running=true"},
        {"audio_interface=wdm", "audio_interface=WDM"},
        {"interface=3C-22-FB-84-7E-12", "interface=WLAN-Ger\xc3\xa4t (3c:22:fb:84:7e:12)"},
        {"volume=3", "volume: unknown field"},
        {"=3", "=3: expected FIELD=VALUE"}};
    for (const auto &[text, wanted] : cases) {
        errors.clear();
        std::optional<Change> c = parse_assignment(s, text, errors);
        EXPECT_EQ(c ? c->field + "=" + c->shown : errors.at(0), wanted);
    }
}

TEST(CtlChanges, ApplyPlansOnlyWhatDiffersInAnOrderTheSettersTake) {
    Snapshot s = connected();
    std::vector<std::string> errors;
    auto plan = [&](const Snapshot &from, const json &document) {
        errors.clear();
        std::optional<std::vector<Change>> p = plan_apply(from, document, errors);
        return p ? fields_of(*p) : "error";
    };
    json to_wdm = snapshot_json(s);
    to_wdm["audio_interface"] = "WDM";
    to_wdm["channel_count"] = 16;
    EXPECT_EQ(plan(s, to_wdm), "channel_count=16 audio_interface=WDM");
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
}

TEST(CtlMonitor, EventLinesCarryTimeFlagsAndNewValues) {
    Event e;
    e.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123));
    e.changes = NYXAPI_CHANGE_NETWORK_STATUS | NYXAPI_CHANGE_INFO;
    e.values = connected();
    EXPECT_EQ(event_line(e, false),
              "2023-11-14T22:13:20.123Z NETWORK_STATUS,INFO link_up=true link_speed=1000 "
              "ip_address=192.168.1.42 manager_version=4.2.1.37");
    EXPECT_EQ(json::parse(event_line(e, true))["timestamp"], "2023-11-14T22:13:20.123Z");
}

TEST(CtlMetrics, UpAndDownExpositions) {
    Counters counters{7, 2};
    std::string up = metrics_text(connected(), counters);
    for (const char *line :
         {"# TYPE nyx_connection_losses_total counter\nnyx_connection_losses_total 2\n",
          "nyx_asio_latency_seconds 0.005\n", "nyx_link_speed_bytes_per_second 125000000\n",
          "nyx_status_info{code=\"0x0011\",description=\"Manager isn't active\"} 1\n",
          "device_name=\"Studio \\\"A\\\"\""}) {
        EXPECT_NE(up.find(line), std::string::npos) << line << "\n" << up;
    }
    Snapshot away = connected();
    away.state = NYXAPI_STATE_DISCONNECTED;
    std::string down = metrics_text(away, counters);
    EXPECT_NE(down.find("nyx_up 0\n"), std::string::npos);
    EXPECT_NE(down.find("nyx_connection_losses_total 2\n"), std::string::npos);
    EXPECT_EQ(down.find("nyx_channels"), std::string::npos);
}

} // namespace
