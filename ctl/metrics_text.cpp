// The Prometheus text exposition of the API's cache: base units, _total counters and
// _info gauges whose labels carry the texts.
#include "ctl/nyxctl.h"

#include <cstdio>

namespace nyxctl {

namespace {

std::string label_value(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

class Writer {
  public:
    void metric(const char *name, const char *type, const char *help, const std::string &value,
                const std::string &labels = "") {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type +
                "\n" + name + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
    }
    void gauge(const char *name, const char *help, uint64_t value) {
        metric(name, "gauge", help, std::to_string(value));
    }
    std::string text;
};

std::string seconds_from_ms(uint32_t ms) {
    char text[24];
    snprintf(text, sizeof text, "%u.%03u", ms / 1000, ms % 1000);
    return text;
}

} // namespace

std::string metrics_text(const Snapshot &s, const Counters &counters) {
    Writer w;
    bool up = s.state == NYXAPI_STATE_CONNECTED;
    w.gauge("nyx_up", "Whether the manager service is reachable (1) or not (0).", up ? 1 : 0);
    w.metric("nyx_events_total", "counter", "Events the API raised since the exporter started.",
             std::to_string(counters.events));
    w.metric("nyx_connection_losses_total", "counter",
             "Connections to the manager service lost since the exporter started.",
             std::to_string(counters.connection_losses));
    if (!up) {
        return w.text; // the cached values are stale or empty
    }
    w.gauge("nyx_running", "Whether the soundcard runs (1) or is stopped (0).", s.running);
    w.gauge("nyx_status_code", "The service's status code (1 running, 0x0011 stopped).", s.status);
    char code[8];
    snprintf(code, sizeof code, "0x%04x", unsigned(s.status & 0xffff));
    const char *description = NyxApiStatusGetDescription(uint16_t(s.status));
    w.metric("nyx_status_info", "gauge", "The service's status code and its description.", "1",
             std::string("code=\"") + code + "\",description=\"" +
                 label_value(description ? description : "") + "\"");
    w.gauge("nyx_link_up", "Whether the network link is up (1) or down (0).", s.link_up);
    w.gauge("nyx_link_speed_bytes_per_second", "The network link's speed.",
            uint64_t(s.link_speed) * 125000);
    w.gauge("nyx_channels", "The soundcard's channel count.", s.channel_count);
    w.gauge("nyx_asio_buffer_samples", "The ASIO buffer size in samples.", s.asio_buffer_size);
    w.gauge("nyx_asio_encoding", "The ASIO encoding in bits per sample.", s.asio_encoding);
    w.metric("nyx_asio_latency_seconds", "gauge", "The ASIO latency.",
             seconds_from_ms(s.asio_latency_ms));
    w.metric("nyx_corvo_latency_seconds", "gauge", "The network audio latency.",
             seconds_from_ms(s.corvo_latency_ms));
    w.gauge("nyx_domain_enrolled", "Whether the device is enrolled in a domain.",
            s.domain.enrolled);
    w.gauge("nyx_domain_connected", "Whether the domain server is reachable.", s.domain.connected);
    bool domain_locked = s.domain.enrolled && s.domain.connected && !s.domain.config_allowed;
    w.gauge("nyx_domain_locked", "Whether the domain forbids local configuration.", domain_locked);
    w.gauge("nyx_device_lock_status", "The device lock status (0 unlocked).", s.device_lock_status);
    const std::string ip = field_text(s, "ip_address").front().substr(sizeof "ip_address");
    w.metric("nyx_info", "gauge",
             "The manager version, device name, interface, audio interface and IP address.", "1",
             "manager_version=\"" + version_text(s.manager_version) + "\",device_name=\"" +
                 label_value(s.device_name) + "\",interface=\"" + label_value(s.interface.name) +
                 "\",audio_interface=\"" + field_json(s, "audio_interface").get<std::string>() +
                 "\",ip_address=\"" + ip + "\"");
    return w.text;
}

std::optional<Listen> parse_listen(const std::string &text) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) {
        return std::nullopt;
    }
    Listen l;
    l.host = text.substr(0, colon);
    if (l.host.size() >= 2 && l.host.front() == '[' && l.host.back() == ']') {
        l.host = l.host.substr(1, l.host.size() - 2);
    } else if (l.host.find(':') != std::string::npos) {
        return std::nullopt; // an IPv6 address needs its brackets
    }
    if (l.host.empty()) {
        return std::nullopt;
    }
    std::string port = text.substr(colon + 1);
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(port) > 65535) {
        return std::nullopt;
    }
    l.port = int(std::stoul(port));
    return l;
}

} // namespace nyxctl
