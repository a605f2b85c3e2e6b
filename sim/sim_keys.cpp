// The state file keys. One table entry per key says how a value is read into the model and
// how the model's value is written out, so the reader and the dump cannot drift apart.
#include "sim/sim_model.h"
#include "sim/sim_text.h"
#include "vtr/vtr_text.h"

#include <functional>
#include <memory>
#include <type_traits>
#include <vector>

namespace {

const char *const SPACES = " \t\r\n";

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(SPACES);
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(SPACES);
    return s.substr(b, e - b + 1);
}

std::vector<std::string> split_list(const std::string &value) {
    std::vector<std::string> items;
    std::string v = trim(value);
    if (v.empty())
        return items;
    size_t start = 0;
    for (;;) {
        size_t comma = v.find(',', start);
        items.push_back(trim(v.substr(start, comma == std::string::npos ? comma : comma - start)));
        if (comma == std::string::npos)
            return items;
        start = comma + 1;
    }
}

// Decimal, or hexadecimal after "0x"; no sign, nothing after the digits.
bool parse_uint(const std::string &text, uint64_t max, uint64_t *out) {
    std::string t = trim(text);
    return vtr_parse_uint_strict(t.data(), t.size(), max, VTR_PARSE_HEX_PREFIX, out);
}

bool parse_mac(const std::string &text, uint8_t mac[6]) {
    std::string t = trim(text);
    if (t.size() != 17)
        return false;
    for (int i = 0; i < 6; ++i) {
        if (i > 0 && t[size_t(i) * 3 - 1] != ':' && t[size_t(i) * 3 - 1] != '-')
            return false;
        uint64_t v = 0;
        std::string pair = "0x" + t.substr(size_t(i) * 3, 2);
        if (!parse_uint(pair, 255, &v) || pair.find_first_of(" \t") != std::string::npos)
            return false;
        mac[i] = uint8_t(v);
    }
    return true;
}

// Four dot-separated decimal parts, each within its maximum.
bool parse_dotted(const std::string &text, const uint64_t max[4], size_t max_digits,
                  uint64_t part[4]) {
    std::string t = trim(text);
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        size_t dot = t.find('.', start);
        if ((i < 3) != (dot != std::string::npos))
            return false;
        std::string p = t.substr(start, dot == std::string::npos ? dot : dot - start);
        if (p.empty() || p.size() > max_digits ||
            p.find_first_not_of("0123456789") != std::string::npos ||
            !parse_uint(p, max[i], &part[i]))
            return false;
        start = dot + 1;
    }
    return true;
}

bool parse_ipv4(const std::string &text, uint8_t ip[4]) {
    const uint64_t max[4] = {255, 255, 255, 255};
    uint64_t part[4] = {};
    if (!parse_dotted(text, max, 3, part))
        return false;
    for (int i = 0; i < 4; ++i)
        ip[i] = uint8_t(part[i]);
    return true;
}

bool parse_version(const std::string &text, nyx_server_version *version) {
    const uint64_t max[4] = {255, 255, 65535, 65535};
    uint64_t part[4] = {};
    if (!parse_dotted(text, max, std::string::npos, part))
        return false;
    version->major = uint8_t(part[0]);
    version->minor = uint8_t(part[1]);
    version->patch = uint16_t(part[2]);
    version->build = uint16_t(part[3]);
    return true;
}

// "name @ value", split at the last '@'.
bool split_at(const std::string &entry, std::string *name, std::string *value) {
    size_t at = entry.rfind('@');
    if (at == std::string::npos)
        return false;
    *name = trim(entry.substr(0, at));
    *value = trim(entry.substr(at + 1));
    return true;
}

// Readers of one value; each says why it refuses in *why.
bool read_number(const std::string &value, uint64_t max, uint64_t *n, std::string *why) {
    if (parse_uint(value, max, n))
        return true;
    *why = "\"" + value + "\" is not a number up to " + std::to_string(max);
    return false;
}

bool read_bool(const std::string &value, uint32_t *out, std::string *why) {
    std::string t = trim(value);
    for (const char *yes : {"1", "true", "yes", "on", "up"})
        if (t == yes) {
            *out = 1;
            return true;
        }
    for (const char *no : {"0", "false", "no", "off", "down"})
        if (t == no) {
            *out = 0;
            return true;
        }
    *why = "\"" + value + "\" is not 0 or 1";
    return false;
}

bool read_wide(const std::string &value, char16_t (&field)[64], std::string *why) {
    char16_t buf[64];
    if (!nyxsim_utf8_to_utf16(value, buf, 64)) {
        *why = "not UTF-8 of at most 63 units";
        return false;
    }
    memcpy(field, buf, sizeof buf);
    return true;
}

// A list replaces the old one whole, or not at all.
template <typename T, typename ReadItem>
bool read_list(const std::string &value, T *entries, uint16_t *count, ReadItem read_item,
               std::string *why) {
    std::vector<std::string> items = split_list(value);
    if (items.size() > NYX_LIST_MAX) {
        *why = "more than 16 entries";
        return false;
    }
    T parsed[NYX_LIST_MAX] = {};
    for (size_t i = 0; i < items.size(); ++i)
        if (!read_item(items[i], &parsed[i], why))
            return false;
    memcpy(entries, parsed, sizeof parsed);
    *count = uint16_t(items.size());
    return true;
}

bool read_interface(const std::string &item, nyx_interface *out, std::string *why) {
    std::string name, mac_text;
    char16_t wide[64];
    uint8_t mac[6];
    if (!split_at(item, &name, &mac_text) || !parse_mac(mac_text, mac)) {
        *why = "\"" + item + "\" is not NAME @ MAC";
        return false;
    }
    if (!nyxsim_utf8_to_utf16(name, wide, 64)) {
        *why = "interface name \"" + name + "\" is not UTF-8 of at most 63 units";
        return false;
    }
    nyxsim_interface_set(out, wide, mac);
    return true;
}

bool read_sample_rate(const std::string &item, nyx_sample_rate_option *out, std::string *why) {
    std::string rate, max;
    uint64_t r = 0, c = 0;
    if (!split_at(item, &rate, &max) || !parse_uint(rate, UINT32_MAX, &r) ||
        !parse_uint(max, UINT16_MAX, &c)) {
        *why = "\"" + item + "\" is not RATE @ MAX_CHANNELS";
        return false;
    }
    out->rate = uint32_t(r);
    out->max_channels = uint16_t(c);
    return true;
}

bool read_latency(const std::string &item, nyx_latency_option *out, std::string *why) {
    std::string name, us;
    uint64_t v = 0;
    if (!split_at(item, &name, &us) || !parse_uint(us, UINT32_MAX, &v) ||
        !nyxsim_field_set(out->name, name)) {
        *why = "\"" + item + "\" is not NAME @ MICROSECONDS (name up to 31 bytes)";
        return false;
    }
    out->us = uint32_t(v);
    return true;
}

std::string decimal(uint32_t v) {
    return std::to_string(v);
}

// One state file key. `apply` gets the value trimmed and explains a refusal in *why (without
// the key, which the caller adds); on a refusal the model may be half changed.
struct state_key {
    const char *name;
    std::function<bool(nyxsim_model &, const std::string &, std::string *)> apply;
    std::function<std::string(const nyxsim_model &)> print;
};

// The builders below take `field`, a generic lambda that finds the field in a model, const or
// not.

template <typename Field>
state_key number_key(const char *name, uint64_t max, Field field,
                     std::string (*print)(uint32_t) = decimal) {
    return {name,
            [max, field](nyxsim_model &m, const std::string &value, std::string *why) {
                uint64_t n = 0;
                if (!read_number(value, max, &n, why))
                    return false;
                auto &f = field(m);
                f = std::remove_reference_t<decltype(f)>(n);
                return true;
            },
            [field, print](const nyxsim_model &m) { return print(uint32_t(field(m))); }};
}

template <typename Field> state_key bool_key(const char *name, Field field) {
    return {name,
            [field](nyxsim_model &m, const std::string &value, std::string *why) {
                return read_bool(value, &field(m), why);
            },
            [field](const nyxsim_model &m) { return std::to_string(field(m)); }};
}

template <typename Field> state_key text_key(const char *name, Field field) {
    return {name,
            [field](nyxsim_model &m, const std::string &value, std::string *why) {
                auto &f = field(m);
                if (nyxsim_field_set(f, value))
                    return true;
                *why = "longer than " + std::to_string(sizeof f - 1) + " bytes";
                return false;
            },
            [field](const nyxsim_model &m) { return nyxsim_field_text(field(m)); }};
}

// `list` finds the entries and their count: {entries, &count}.
template <typename List, typename ReadItem, typename ItemText>
state_key list_key(const char *name, List list, ReadItem read_item, ItemText item_text) {
    return {name,
            [list, read_item](nyxsim_model &m, const std::string &value, std::string *why) {
                auto [entries, count] = list(m);
                return read_list(value, entries, count, read_item, why);
            },
            [list, item_text](const nyxsim_model &m) {
                auto [entries, count] = list(m);
                return nyxsim_join(entries, *count, ", ", item_text);
            }};
}

template <typename List> state_key number_list_key(const char *name, uint64_t max, List list) {
    return list_key(
        name, list,
        [max](const std::string &item, auto *out, std::string *why) {
            uint64_t n = 0;
            if (!read_number(item, max, &n, why))
                return false;
            *out = std::remove_pointer_t<decltype(out)>(n);
            return true;
        },
        [](auto v) { return std::to_string(v); });
}

template <typename T, typename C> std::pair<T *, C *> list_of(T *entries, C &count) {
    return {entries, &count};
}

state_key interfaces_key() {
    state_key key = list_key(
        "interfaces",
        [](auto &m) { return list_of(m.options.interfaces, m.options.num_interfaces); },
        read_interface,
        [](const nyx_interface &i) {
            return nyxsim_utf16_to_utf8(i.name, 64) + " @ " + nyxsim_mac_text(i.mac);
        });
    key.apply = [apply = key.apply](nyxsim_model &m, const std::string &value, std::string *why) {
        if (!apply(m, value, why))
            return false;
        nyxsim_model_reselect_interface(&m);
        return true;
    };
    return key;
}

bool apply_version(nyxsim_model &m, const std::string &value, std::string *why) {
    if (parse_version(value, &m.version))
        return true;
    *why = "\"" + value + "\" is not MAJOR.MINOR.PATCH.BUILD";
    return false;
}

std::string print_version(const nyxsim_model &m) {
    const nyx_server_version &v = m.version;
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch) +
           "." + std::to_string(v.build);
}

bool apply_interface(nyxsim_model &m, const std::string &value, std::string *why) {
    uint8_t mac[6];
    if (!parse_mac(value, mac)) {
        *why = "\"" + value + "\" is not a MAC address";
        return false;
    }
    const nyx_interface *found = nyxsim_model_find_interface(&m, mac);
    if (!found) {
        *why = nyxsim_mac_text(mac) + " is not among the interfaces";
        return false;
    }
    m.state.config.interface = *found;
    return true;
}

bool apply_want_to_run(nyxsim_model &m, const std::string &value, std::string *why) {
    uint32_t run = 0;
    if (!read_bool(value, &run, why))
        return false;
    nyxsim_model_set_running(&m, run);
    return true;
}

bool apply_audio_interface(nyxsim_model &m, const std::string &value, std::string *why) {
    uint32_t &ai = m.state.config.asio.audio_interface;
    if (value == "ASIO" || value == "asio" || value == "0")
        ai = NYX_AUDIO_INTERFACE_ASIO;
    else if (value == "WDM" || value == "wdm" || value == "1")
        ai = NYX_AUDIO_INTERFACE_WDM;
    else {
        *why = "\"" + value + "\" is not ASIO or WDM";
        return false;
    }
    return true;
}

bool apply_ip_address(nyxsim_model &m, const std::string &value, std::string *why) {
    if (parse_ipv4(value, m.state.ip_address))
        return true;
    *why = "\"" + value + "\" is not an IPv4 address";
    return false;
}

// In dump order.
const std::vector<state_key> &state_keys() {
    static const std::vector<state_key> keys = {
        // Version and name.
        {"version", apply_version, print_version},
        text_key(
            "version_text", [](auto &m) -> auto & { return m.version.text; }),
        text_key(
            "name", [](auto &m) -> auto & { return m.name.name; }),

        // Options.
        number_list_key("channel_counts", UINT16_MAX,
                        [](auto &m) {
                            return list_of(m.options.channel_counts, m.options.num_channel_counts);
                        }),
        interfaces_key(),
        list_key(
            "sample_rates",
            [](auto &m) { return list_of(m.options.sample_rates, m.options.num_sample_rates); },
            read_sample_rate,
            [](const nyx_sample_rate_option &r) {
                return std::to_string(r.rate) + " @ " + std::to_string(r.max_channels);
            }),
        number_list_key("sample_formats", UINT16_MAX,
                        [](auto &m) {
                            return list_of(m.options.sample_formats, m.options.num_sample_formats);
                        }),
        list_key(
            "latencies",
            [](auto &m) { return list_of(m.options.latencies, m.options.num_latencies); },
            read_latency,
            [](const nyx_latency_option &l) {
                return nyxsim_field_text(l.name) + " @ " + std::to_string(l.us);
            }),
        number_list_key("asio_buffer_sizes", UINT32_MAX,
                        [](auto &m) {
                            return list_of(m.options.asio.asio_buffer_sizes,
                                           m.options.asio.num_asio_buffer_sizes);
                        }),
        number_list_key("asio_encodings", UINT16_MAX,
                        [](auto &m) {
                            return list_of(m.options.asio.asio_encodings,
                                           m.options.asio.num_asio_encodings);
                        }),
        number_list_key("asio_latencies", UINT32_MAX,
                        [](auto &m) {
                            return list_of(m.options.asio.asio_latencies,
                                           m.options.asio.num_asio_latencies);
                        }),

        // Configuration in force.
        number_key(
            "channels", UINT16_MAX, [](auto &m) -> auto & { return m.state.config.channels; }),
        {"interface", apply_interface,
         [](const nyxsim_model &m) { return nyxsim_mac_text(m.state.config.interface.mac); }},
        number_key(
            "sample_rate", UINT32_MAX,
            [](auto &m) -> auto & { return m.state.config.sample_rate; }),
        number_key(
            "sample_format", UINT16_MAX,
            [](auto &m) -> auto & { return m.state.config.sample_format; }),
        number_key(
            "pullup", UINT16_MAX, [](auto &m) -> auto & { return m.state.config.pullup; }),
        text_key(
            "latency", [](auto &m) -> auto & { return m.state.config.latency; }),
        {"want_to_run", apply_want_to_run,
         [](const nyxsim_model &m) { return std::to_string(m.state.config.want_to_run); }},
        {"audio_interface", apply_audio_interface,
         [](const nyxsim_model &m) {
             return std::string(
                 m.state.config.asio.audio_interface == NYX_AUDIO_INTERFACE_WDM ? "WDM" : "ASIO");
         }},
        number_key(
            "asio_buffer_size", UINT32_MAX,
            [](auto &m) -> auto & { return m.state.config.asio.asio_buffer_size; }),
        number_key(
            "asio_encoding", UINT16_MAX,
            [](auto &m) -> auto & { return m.state.config.asio.asio_encoding; }),
        number_key(
            "asio_latency_us", UINT32_MAX,
            [](auto &m) -> auto & { return m.state.config.asio.asio_latency_us; }),

        // State. Fields that travel as 16-bit immediates are limited to 16 bits.
        number_key(
            "config_lock_flags", UINT16_MAX,
            [](auto &m) -> auto & { return m.state.config_lock_flags; }, nyxsim_hex16),
        number_key(
            "system_error", UINT16_MAX, [](auto &m) -> auto & { return m.state.system_error; },
            nyxsim_hex16),
        number_key(
            "slot7_value", UINT16_MAX, [](auto &m) -> auto & { return m.state.slot7_value; }),
        bool_key(
            "link_up", [](auto &m) -> auto & { return m.state.link_up; }),
        number_key(
            "link_speed", UINT32_MAX, [](auto &m) -> auto & { return m.state.link_speed; }),
        {"ip_address", apply_ip_address,
         [](const nyxsim_model &m) { return nyxsim_ip_text(m.state.ip_address); }},
        text_key(
            "device_name", [](auto &m) -> auto & { return m.state.device_name; }),
        {"dll_process_name",
         [](nyxsim_model &m, const std::string &value, std::string *why) {
             return read_wide(value, m.state.dll_process_name, why);
         },
         [](const nyxsim_model &m) { return nyxsim_utf16_to_utf8(m.state.dll_process_name, 64); }},
        number_key(
            "device_lock_status", UINT16_MAX,
            [](auto &m) -> auto & { return m.state.device_lock_status; }),

        // Domain.
        bool_key(
            "domain_enrolled", [](auto &m) -> auto & { return m.state.domain.enrolled; }),
        bool_key(
            "domain_connected", [](auto &m) -> auto & { return m.state.domain.connected; }),
        bool_key(
            "domain_config_allowed",
            [](auto &m) -> auto & { return m.state.domain.config_allowed; }),
        text_key(
            "domain_name", [](auto &m) -> auto & { return m.state.domain.domain_name; }),
        text_key(
            "domain_text", [](auto &m) -> auto & { return m.state.domain.domain_text; }),
        number_key(
            "domain_value", UINT32_MAX,
            [](auto &m) -> auto & { return m.state.domain.domain_value; }),
    };
    return keys;
}

const state_key *find_key(const std::string &name) {
    for (const state_key &k : state_keys())
        if (name == k.name)
            return &k;
    return nullptr;
}

const char *const UNKNOWN_KEY = "unknown key";

bool apply_key(nyxsim_model *m, const std::string &name, const std::string &value,
               std::string *why) {
    const state_key *key = find_key(name);
    if (!key) {
        *why = UNKNOWN_KEY;
        return false;
    }
    return key->apply(*m, trim(value), why);
}

} // namespace

vtr_error nyxsim_model_set(nyxsim_model *model, const std::string &key, const std::string &value,
                           std::string *message) {
    if (!model)
        return VTR_INVALIDPARAMETER;
    auto work = std::make_unique<nyxsim_model>(*model);
    std::string why;
    std::string k = trim(key);
    if (!apply_key(work.get(), k, value, &why)) {
        if (message)
            *message = k + ": " + why;
        return why == UNKNOWN_KEY ? VTR_NOTFOUND : VTR_INVALIDDATA;
    }
    if (nyxsim_model_check_size(work.get(), &why) != VTR_SUCCESS) {
        if (message)
            *message = k + ": " + why;
        return VTR_MSGSIZE;
    }
    *model = *work;
    return VTR_SUCCESS;
}

vtr_error nyxsim_model_load_text(nyxsim_model *model, const std::string &text,
                                 std::string *message) {
    if (!model)
        return VTR_INVALIDPARAMETER;
    struct line {
        size_t number;
        std::string key, value;
    };
    std::vector<line> lines, deferred;
    size_t number = 0, start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string l = text.substr(start, end == std::string::npos ? end : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        ++number;
        std::string t = trim(l);
        if (t.empty() || t[0] == '#')
            continue;
        size_t eq = t.find('=');
        if (eq == std::string::npos) {
            if (message)
                *message = "line " + std::to_string(number) + ": not \"key = value\"";
            return VTR_INVALIDDATA;
        }
        line entry{number, trim(t.substr(0, eq)), t.substr(eq + 1)};
        (entry.key == "interface" ? deferred : lines).push_back(entry);
    }
    lines.insert(lines.end(), deferred.begin(), deferred.end());

    auto work = std::make_unique<nyxsim_model>(*model);
    for (const line &l : lines) {
        std::string why;
        if (!apply_key(work.get(), l.key, l.value, &why)) {
            if (message)
                *message = "line " + std::to_string(l.number) + ": " + l.key + ": " + why;
            return VTR_INVALIDDATA;
        }
    }
    std::string why;
    if (nyxsim_model_check_size(work.get(), &why) != VTR_SUCCESS) {
        if (message)
            *message = why;
        return VTR_MSGSIZE;
    }
    *model = *work;
    return VTR_SUCCESS;
}

std::string nyxsim_model_dump(const nyxsim_model *m) {
    std::string out;
    for (const state_key &k : state_keys()) {
        out += k.name;
        out += " = ";
        out += k.print(*m);
        out += '\n';
    }
    return out;
}
