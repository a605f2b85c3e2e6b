// The field names shared by text and JSON output, and how each value is written.
#include "ctl/nyxctl.h"

#include "api/nyx_api_names.h"

#include <cstdio>

namespace nyxctl {

const std::vector<Field> &all_fields() {
    static const std::vector<Field> fields = {
        {"state", NYXAPI_CHANGE_STATE, false},
        {"status", NYXAPI_CHANGE_STATUS, false},
        {"running", NYXAPI_CHANGE_RUNNING, true},
        {"interface", NYXAPI_CHANGE_INTERFACE, true},
        {"available_interfaces", NYXAPI_CHANGE_AVAILABLE_INTERFACES, false},
        {"channel_count", NYXAPI_CHANGE_CHANNEL_COUNT, true},
        {"available_channel_counts", NYXAPI_CHANGE_AVAILABLE_CHANNEL_COUNTS, false},
        {"audio_interface", NYXAPI_CHANGE_AUDIO_INTERFACE, true},
        {"available_audio_interfaces", NYXAPI_CHANGE_AVAILABLE_AUDIO_INTERFACES, false},
        {"asio_buffer_size", NYXAPI_CHANGE_ASIO_PARAMETER, true},
        {"available_asio_buffer_sizes", NYXAPI_CHANGE_AVAILABLE_ASIO_PARAMETERS, false},
        {"asio_encoding", NYXAPI_CHANGE_ASIO_PARAMETER, true},
        {"available_asio_encodings", NYXAPI_CHANGE_AVAILABLE_ASIO_PARAMETERS, false},
        {"asio_latency_ms", NYXAPI_CHANGE_ASIO_PARAMETER, true},
        {"available_asio_latencies_ms", NYXAPI_CHANGE_AVAILABLE_ASIO_PARAMETERS, false},
        {"corvo_latency_ms", NYXAPI_CHANGE_CORVO_LATENCY, true},
        {"available_corvo_latencies_ms", NYXAPI_CHANGE_AVAILABLE_CORVO_LATENCIES, false},
        {"link_up", NYXAPI_CHANGE_NETWORK_STATUS, false},
        {"link_speed", NYXAPI_CHANGE_NETWORK_STATUS, false},
        {"ip_address", NYXAPI_CHANGE_NETWORK_STATUS, false},
        {"device_name", NYXAPI_CHANGE_DEVICE_NAME, false},
        {"domain", NYXAPI_CHANGE_DOMAIN, false},
        {"device_lock_status", NYXAPI_CHANGE_DEVICE_LOCK_STATUS, false},
        {"manager_version", NYXAPI_CHANGE_INFO, false},
    };
    return fields;
}

const Field *find_field(const std::string &name) {
    for (const Field &f : all_fields()) {
        if (name == f.name) {
            return &f;
        }
    }
    return nullptr;
}

std::vector<std::string> change_names(NyxApiChanges changes) {
    std::vector<std::string> out;
    for (unsigned bit = 0; bit < 64; ++bit) {
        if ((changes >> bit) & 1) {
            const char *name = nyx_api_change_name(bit);
            out.push_back(name ? name : "BIT" + std::to_string(bit));
        }
    }
    return out;
}

const char *result_name(NyxApiResult result) {
    const char *name = nyx_api_result_name(result);
    return name ? name : "UNKNOWN";
}

const char *state_name(NyxApiState state) {
    const char *name = nyx_api_state_name(state);
    return name ? name : "UNKNOWN";
}

std::string mac_text(const std::array<uint8_t, 6> &mac) {
    char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return text;
}

std::string version_text(const NyxApiVersion &v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch) +
           "." + std::to_string(v.build);
}

std::string utf16_to_utf8(const uint16_t *text, size_t max_units) {
    std::string out;
    for (size_t i = 0; i < max_units && text[i] != 0; ++i) {
        uint32_t c = text[i];
        if (c >= 0xd800 && c < 0xdc00 && i + 1 < max_units && text[i + 1] >= 0xdc00 &&
            text[i + 1] < 0xe000) {
            c = 0x10000 + ((c - 0xd800) << 10) + (text[++i] - 0xdc00);
        } else if (c >= 0xd800 && c < 0xe000) {
            c = 0xfffd; // a lone surrogate
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xc0 | (c >> 6));
            out += char(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            out += char(0xe0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3f));
            out += char(0x80 | (c & 0x3f));
        } else {
            out += char(0xf0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3f));
            out += char(0x80 | ((c >> 6) & 0x3f));
            out += char(0x80 | (c & 0x3f));
        }
    }
    return out;
}

namespace {

const char *audio_name(uint32_t audio) {
    return audio == NYXAPI_AUDIO_INTERFACE_ASIO  ? "ASIO"
           : audio == NYXAPI_AUDIO_INTERFACE_WDM ? "WDM"
                                                 : "NONE";
}

json interface_json(const Interface &i) {
    return json{{"name", i.name}, {"mac", mac_text(i.mac)}};
}

json ip_json(const std::array<uint8_t, 4> &ip) {
    if (ip == std::array<uint8_t, 4>{}) {
        return nullptr;
    }
    return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
           std::to_string(ip[3]);
}

// Text of one value: an interface reads "name (mac)", lists are comma-separated, a missing
// value is empty.
std::string value_text(const json &v) {
    if (v.is_null()) {
        return "";
    }
    if (v.is_string()) {
        return v.get<std::string>();
    }
    if (v.is_object() && v.contains("mac")) {
        return v["name"].get<std::string>() + " (" + v["mac"].get<std::string>() + ")";
    }
    if (v.is_array()) {
        std::string out;
        for (const json &e : v) {
            out += (out.empty() ? "" : ",") + value_text(e);
        }
        return out;
    }
    return v.dump();
}

} // namespace

json field_json(const Snapshot &s, const std::string &name) {
    auto numbers = [](const std::vector<uint32_t> &list) { return json(list); };
    if (name == "state")
        return state_name(s.state);
    if (name == "status")
        return s.status;
    if (name == "running")
        return s.running;
    if (name == "interface")
        return interface_json(s.interface);
    if (name == "available_interfaces") {
        json list = json::array();
        for (const Interface &i : s.available_interfaces) {
            list.push_back(interface_json(i));
        }
        return list;
    }
    if (name == "channel_count")
        return s.channel_count;
    if (name == "available_channel_counts")
        return numbers(s.available_channel_counts);
    if (name == "audio_interface")
        return audio_name(s.audio_interface);
    if (name == "available_audio_interfaces") {
        json list = json::array();
        for (uint32_t a : s.available_audio_interfaces) {
            list.push_back(audio_name(a));
        }
        return list;
    }
    if (name == "asio_buffer_size")
        return s.asio_buffer_size;
    if (name == "available_asio_buffer_sizes")
        return numbers(s.available_asio_buffer_sizes);
    if (name == "asio_encoding")
        return s.asio_encoding;
    if (name == "available_asio_encodings")
        return numbers(s.available_asio_encodings);
    if (name == "asio_latency_ms")
        return s.asio_latency_ms;
    if (name == "available_asio_latencies_ms")
        return numbers(s.available_asio_latencies_ms);
    if (name == "corvo_latency_ms")
        return s.corvo_latency_ms;
    if (name == "available_corvo_latencies_ms")
        return numbers(s.available_corvo_latencies_ms);
    if (name == "link_up")
        return s.link_up;
    if (name == "link_speed")
        return s.link_speed;
    if (name == "ip_address")
        return ip_json(s.ip_address);
    if (name == "device_name")
        return s.device_name;
    if (name == "domain")
        return json{{"enrolled", s.domain.enrolled},
                    {"connected", s.domain.connected},
                    {"name", s.domain.name},
                    {"config_allowed", s.domain.config_allowed}};
    if (name == "device_lock_status")
        return s.device_lock_status;
    if (name == "manager_version") {
        const NyxApiVersion &v = s.manager_version;
        if (v.major == 0 && v.minor == 0 && v.patch == 0 && v.build == 0) {
            return nullptr; // not known while disconnected
        }
        return version_text(v);
    }
    return nullptr;
}

json snapshot_json(const Snapshot &s) {
    json out = json::object();
    for (const Field &f : all_fields()) {
        out[f.name] = field_json(s, f.name);
    }
    return out;
}

std::vector<std::string> field_text(const Snapshot &s, const std::string &name) {
    json v = field_json(s, name);
    if (name == "status") {
        char code[8];
        snprintf(code, sizeof code, "0x%04x", unsigned(s.status & 0xffff));
        const char *description = NyxApiStatusGetDescription(uint16_t(s.status));
        return {name + "=" + code + (description ? std::string(" (") + description + ")" : "")};
    }
    if (name == "domain") {
        std::vector<std::string> lines;
        for (auto it = v.begin(); it != v.end(); ++it) {
            lines.push_back(name + "." + it.key() + "=" + value_text(it.value()));
        }
        return lines;
    }
    return {name + "=" + value_text(v)};
}

} // namespace nyxctl
