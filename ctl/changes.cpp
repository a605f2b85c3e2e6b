// Turning typed assignments and JSON documents into setter calls, checked against the
// manager's current choices before anything is sent.
#include "ctl/nyxctl.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace nyxctl {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string settable_names() {
    std::string out;
    for (const Field &f : all_fields()) {
        if (f.settable) {
            out += (out.empty() ? "" : ", ") + std::string(f.name);
        }
    }
    return out;
}

const std::vector<uint32_t> *number_choices(const Snapshot &s, const std::string &field) {
    if (field == "channel_count")
        return &s.available_channel_counts;
    if (field == "asio_buffer_size")
        return &s.available_asio_buffer_sizes;
    if (field == "asio_encoding")
        return &s.available_asio_encodings;
    if (field == "asio_latency_ms")
        return &s.available_asio_latencies_ms;
    if (field == "corvo_latency_ms")
        return &s.available_corvo_latencies_ms;
    return nullptr;
}

// "FIELD: VALUE is not offered (choices: ...)", the choices as get prints them.
std::string offered(const Snapshot &s, const std::string &field, const std::string &shown) {
    static const std::pair<const char *, const char *> lists[] = {
        {"interface", "available_interfaces"},
        {"channel_count", "available_channel_counts"},
        {"audio_interface", "available_audio_interfaces"},
        {"asio_buffer_size", "available_asio_buffer_sizes"},
        {"asio_encoding", "available_asio_encodings"},
        {"asio_latency_ms", "available_asio_latencies_ms"},
        {"corvo_latency_ms", "available_corvo_latencies_ms"}};
    std::string list;
    for (const auto &[name, list_field] : lists) {
        if (field == name) {
            std::string line = field_text(s, list_field).front();
            list = line.substr(line.find('=') + 1);
        }
    }
    return field + ": " + shown + " is not offered (choices: " + (list.empty() ? "none" : list) +
           ")";
}

bool parse_mac(const std::string &text, std::array<uint8_t, 6> &mac) {
    if (text.size() != 17) {
        return false;
    }
    for (size_t i = 0; i < 6; ++i) {
        if (!std::isxdigit((unsigned char)text[i * 3]) ||
            !std::isxdigit((unsigned char)text[i * 3 + 1]) ||
            (i < 5 && text[i * 3 + 2] != ':' && text[i * 3 + 2] != '-')) {
            return false;
        }
        mac[i] = uint8_t(std::strtoul(text.substr(i * 3, 2).c_str(), nullptr, 16));
    }
    return true;
}

// The interface named by a name, a MAC address or "name (mac)" as get prints it.
const Interface *find_interface(const Snapshot &s, const std::string &text) {
    std::array<uint8_t, 6> mac{};
    bool is_mac = parse_mac(text, mac);
    for (const Interface &i : s.available_interfaces) {
        if ((is_mac && i.mac == mac) || i.name == text ||
            i.name + " (" + mac_text(i.mac) + ")" == text) {
            return &i;
        }
    }
    return nullptr;
}

// Typed text to the JSON type the field takes, so that both ways share one check.
std::optional<json> typed_value(const std::string &field, const std::string &text,
                                std::vector<std::string> &errors) {
    if (field == "running") {
        std::string t = lower(text);
        if (t == "true" || t == "1" || t == "on" || t == "yes")
            return json(true);
        if (t == "false" || t == "0" || t == "off" || t == "no")
            return json(false);
        errors.push_back(field + ": expected true or false, got \"" + text + "\"");
        return std::nullopt;
    }
    if (field == "interface" || field == "audio_interface") {
        return json(text);
    }
    if (text.empty() || !std::isdigit((unsigned char)text[0])) {
        errors.push_back(field + ": expected a number, got \"" + text + "\"");
        return std::nullopt;
    }
    errno = 0;
    char *end = nullptr;
    unsigned long long n = std::strtoull(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE) {
        errors.push_back(field + ": expected a number, got \"" + text + "\"");
        return std::nullopt;
    }
    return json(n);
}

} // namespace

std::optional<Change> change_from_json(const Snapshot &s, const std::string &field,
                                       const json &value, std::vector<std::string> &errors) {
    const Field *f = find_field(field);
    if (f == nullptr) {
        errors.push_back(field + ": unknown field");
        return std::nullopt;
    }
    if (!f->settable) {
        errors.push_back(field + ": not settable (settable: " + settable_names() + ")");
        return std::nullopt;
    }
    Change change;
    change.field = field;
    if (field == "running") {
        if (!value.is_boolean()) {
            errors.push_back(field + ": expected true or false, got " + value.dump());
            return std::nullopt;
        }
        change.value = value.get<bool>() ? 1 : 0;
        change.shown = value.get<bool>() ? "true" : "false";
        return change;
    }
    if (field == "interface") {
        std::string wanted;
        if (value.is_string()) {
            wanted = value.get<std::string>();
        } else if (value.is_object() && value.contains("mac") && value["mac"].is_string()) {
            wanted = value["mac"].get<std::string>();
        } else {
            errors.push_back(field +
                             ": expected a name, a MAC address or {\"name\", \"mac\"}, got " +
                             value.dump());
            return std::nullopt;
        }
        const Interface *i = find_interface(s, wanted);
        if (i == nullptr) {
            errors.push_back(offered(s, field, "\"" + wanted + "\""));
            return std::nullopt;
        }
        change.mac = i->mac;
        change.shown = i->name + " (" + mac_text(i->mac) + ")";
        return change;
    }
    if (field == "audio_interface") {
        std::string name = value.is_string() ? lower(value.get<std::string>()) : "";
        uint32_t audio = name == "asio"  ? NYXAPI_AUDIO_INTERFACE_ASIO
                         : name == "wdm" ? NYXAPI_AUDIO_INTERFACE_WDM
                                         : 0;
        if (!value.is_string()) {
            errors.push_back(field + ": expected ASIO or WDM, got " + value.dump());
            return std::nullopt;
        }
        const std::vector<uint32_t> &list = s.available_audio_interfaces;
        if (audio == 0 || std::find(list.begin(), list.end(), audio) == list.end()) {
            errors.push_back(offered(s, field, "\"" + value.get<std::string>() + "\""));
            return std::nullopt;
        }
        change.value = audio;
        change.shown = audio == NYXAPI_AUDIO_INTERFACE_ASIO ? "ASIO" : "WDM";
        return change;
    }
    // A document parsed from text holds unsigned numbers, one built in code signed ones.
    bool whole =
        value.is_number_unsigned() || (value.is_number_integer() && value.get<int64_t>() >= 0);
    if (!whole || value.get<uint64_t>() > UINT32_MAX) {
        errors.push_back(field + ": expected a whole number, got " + value.dump());
        return std::nullopt;
    }
    change.value = value.get<uint32_t>();
    change.shown = std::to_string(change.value);
    const std::vector<uint32_t> &list = *number_choices(s, field);
    if (std::find(list.begin(), list.end(), change.value) == list.end()) {
        errors.push_back(offered(s, field, change.shown));
        return std::nullopt;
    }
    return change;
}

std::optional<std::pair<std::string, json>>
parse_assignment_value(const std::string &text, std::vector<std::string> &errors) {
    size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) {
        errors.push_back(text + ": expected FIELD=VALUE");
        return std::nullopt;
    }
    std::string field = text.substr(0, eq);
    const Field *f = find_field(field);
    if (f == nullptr || !f->settable) {
        change_from_json(Snapshot{}, field, nullptr, errors); // names the problem
        return std::nullopt;
    }
    std::optional<json> value = typed_value(field, text.substr(eq + 1), errors);
    if (!value) {
        return std::nullopt;
    }
    return std::make_pair(field, *value);
}

std::optional<Change> parse_assignment(const Snapshot &s, const std::string &text,
                                       std::vector<std::string> &errors) {
    auto typed = parse_assignment_value(text, errors);
    if (!typed) {
        return std::nullopt;
    }
    return change_from_json(s, typed->first, typed->second, errors);
}

namespace {

// Whether a change would leave the field as it is.
bool unchanged(const Snapshot &s, const Change &c) {
    if (c.field == "running")
        return s.running == (c.value != 0);
    if (c.field == "interface")
        return s.interface.mac == c.mac;
    if (c.field == "channel_count")
        return s.channel_count == c.value;
    if (c.field == "audio_interface")
        return s.audio_interface == c.value;
    if (c.field == "asio_buffer_size")
        return s.asio_buffer_size == c.value;
    if (c.field == "asio_encoding")
        return s.asio_encoding == c.value;
    if (c.field == "asio_latency_ms")
        return s.asio_latency_ms == c.value;
    return s.corvo_latency_ms == c.value; // corvo_latency_ms
}

} // namespace

std::optional<std::vector<Change>> plan_apply(const Snapshot &s, const json &document,
                                              std::vector<std::string> &errors) {
    if (!document.is_object()) {
        errors.push_back("document: expected a JSON object as dump writes it");
        return std::nullopt;
    }
    std::vector<Change> wanted;
    size_t errors_before = errors.size();
    for (auto it = document.begin(); it != document.end(); ++it) {
        const Field *f = find_field(it.key());
        if (f == nullptr) {
            errors.push_back(it.key() + ": unknown field");
        } else if (f->settable) {
            if (std::optional<Change> c = change_from_json(s, it.key(), it.value(), errors)) {
                wanted.push_back(*c);
            }
        }
        // Read-only fields, which dump writes too, are left alone.
    }
    if (errors.size() != errors_before) {
        return std::nullopt;
    }

    auto find = [&](const char *field) -> const Change * {
        for (const Change &c : wanted) {
            if (c.field == field && !unchanged(s, c)) {
                return &c;
            }
        }
        return nullptr;
    };
    static const char *const stopped_only[] = {"interface", "corvo_latency_ms"};
    static const char *const asio_only[] = {"channel_count", "asio_buffer_size", "asio_encoding",
                                            "asio_latency_ms"};
    const Change *run = find("running");
    const Change *audio = find("audio_interface");
    bool needs_stop = audio || find("channel_count");
    for (const char *f : stopped_only) {
        needs_stop = needs_stop || find(f);
    }
    bool end_running = run ? run->value != 0 : s.running;

    std::vector<Change> plan;
    if (s.running && needs_stop) {
        plan.push_back(Change{"running", 0, {}, "false"});
    }
    for (const char *f : stopped_only) {
        if (const Change *c = find(f)) {
            plan.push_back(*c);
        }
    }
    // The ASIO settings are taken only while ASIO is selected.
    bool to_asio = audio && audio->value == NYXAPI_AUDIO_INTERFACE_ASIO;
    if (audio && to_asio) {
        plan.push_back(*audio);
    }
    for (const char *f : asio_only) {
        if (const Change *c = find(f)) {
            plan.push_back(*c);
        }
    }
    if (audio && !to_asio) {
        plan.push_back(*audio);
    }
    if (end_running && (!s.running || needs_stop)) {
        plan.push_back(Change{"running", 1, {}, "true"});
    } else if (!end_running && s.running && !needs_stop) {
        plan.push_back(Change{"running", 0, {}, "false"});
    }
    return plan;
}

} // namespace nyxctl
