#include "sim/sim_model.h"

#include "sbcp2/sbcp2_message.h"
#include "sim/sim_bodies.h"
#include "vtr/vtr_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
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

bool parse_bool(const std::string &text, uint32_t *out) {
    std::string t = trim(text);
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
    return false;
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

bool parse_ipv4(const std::string &text, uint8_t ip[4]) {
    std::string t = trim(text);
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        size_t dot = t.find('.', start);
        if ((i < 3) != (dot != std::string::npos))
            return false;
        std::string part = t.substr(start, dot == std::string::npos ? dot : dot - start);
        uint64_t v = 0;
        if (part.empty() || part.size() > 3 ||
            part.find_first_not_of("0123456789") != std::string::npos || !parse_uint(part, 255, &v))
            return false;
        ip[i] = uint8_t(v);
        start = dot + 1;
    }
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

template <size_t N> bool set_text(char (&field)[N], const std::string &text) {
    if (text.size() >= N || text.find('\0') != std::string::npos)
        return false;
    memset(field, 0, N);
    memcpy(field, text.data(), text.size());
    return true;
}

std::string mac_text(const uint8_t mac[6]) {
    char buf[18];
    snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return buf;
}

std::string ip_text(const uint8_t ip[4]) {
    char buf[16];
    snprintf(buf, sizeof buf, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    return buf;
}

std::string hex16(uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%04x", v);
    return buf;
}

template <size_t N> std::string field_text(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

const nyx_interface *find_interface(const nyx_system_options *options, const uint8_t mac[6]) {
    for (uint16_t i = 0; i < options->num_interfaces && i < NYX_LIST_MAX; ++i)
        if (memcmp(options->interfaces[i].mac, mac, 6) == 0)
            return &options->interfaces[i];
    return nullptr;
}

// After the interface list changes the selected interface follows its MAC, or falls back to
// the first one, so that the state never names an interface the manager does not have.
void reselect_interface(nyxsim_model *m) {
    nyx_interface &selected = m->state.config.interface;
    if (const nyx_interface *found = find_interface(&m->options, selected.mac))
        selected = *found;
    else if (m->options.num_interfaces > 0)
        selected = m->options.interfaces[0];
    else
        selected = nyx_interface{};
}

void set_running(nyxsim_model *m, uint32_t run) {
    if (m->state.config.want_to_run != run)
        m->state.system_error = run ? NYXSIM_ERROR_RUNNING : NYXSIM_ERROR_STOPPED;
    m->state.config.want_to_run = run;
}

void set_interface(nyx_interface *interface, const char16_t *name, const uint8_t mac[6]) {
    *interface = nyx_interface{};
    size_t n = 0;
    while (name[n] && n < 63) {
        interface->name[n] = name[n];
        ++n;
    }
    memcpy(interface->mac, mac, 6);
}

// Lists of plain numbers.
template <typename T>
bool set_number_list(const std::string &value, uint64_t max, T *entries, uint16_t *count,
                     std::string *why) {
    std::vector<std::string> items = split_list(value);
    if (items.size() > NYX_LIST_MAX) {
        *why = "more than 16 entries";
        return false;
    }
    T parsed[NYX_LIST_MAX] = {};
    for (size_t i = 0; i < items.size(); ++i) {
        uint64_t v = 0;
        if (!parse_uint(items[i], max, &v)) {
            *why = "\"" + items[i] + "\" is not a number up to " + std::to_string(max);
            return false;
        }
        parsed[i] = T(v);
    }
    for (size_t i = 0; i < NYX_LIST_MAX; ++i)
        entries[i] = parsed[i];
    *count = uint16_t(items.size());
    return true;
}

bool set_interfaces(nyxsim_model *m, const std::string &value, std::string *why) {
    std::vector<std::string> items = split_list(value);
    if (items.size() > NYX_LIST_MAX) {
        *why = "more than 16 entries";
        return false;
    }
    nyx_interface parsed[NYX_LIST_MAX] = {};
    for (size_t i = 0; i < items.size(); ++i) {
        std::string name, mac_text;
        char16_t wide[64];
        uint8_t mac[6];
        if (!split_at(items[i], &name, &mac_text) || !parse_mac(mac_text, mac)) {
            *why = "\"" + items[i] + "\" is not NAME @ MAC";
            return false;
        }
        if (!nyxsim_utf8_to_utf16(name, wide, 64)) {
            *why = "interface name \"" + name + "\" is not UTF-8 of at most 63 units";
            return false;
        }
        set_interface(&parsed[i], wide, mac);
    }
    memcpy(m->options.interfaces, parsed, sizeof parsed);
    m->options.num_interfaces = uint16_t(items.size());
    reselect_interface(m);
    return true;
}

bool set_sample_rates(nyxsim_model *m, const std::string &value, std::string *why) {
    std::vector<std::string> items = split_list(value);
    if (items.size() > NYX_LIST_MAX) {
        *why = "more than 16 entries";
        return false;
    }
    nyx_sample_rate_option parsed[NYX_LIST_MAX] = {};
    for (size_t i = 0; i < items.size(); ++i) {
        std::string rate, max;
        uint64_t r = 0, c = 0;
        if (!split_at(items[i], &rate, &max) || !parse_uint(rate, UINT32_MAX, &r) ||
            !parse_uint(max, UINT16_MAX, &c)) {
            *why = "\"" + items[i] + "\" is not RATE @ MAX_CHANNELS";
            return false;
        }
        parsed[i].rate = uint32_t(r);
        parsed[i].max_channels = uint16_t(c);
    }
    memcpy(m->options.sample_rates, parsed, sizeof parsed);
    m->options.num_sample_rates = uint16_t(items.size());
    return true;
}

bool set_latencies(nyxsim_model *m, const std::string &value, std::string *why) {
    std::vector<std::string> items = split_list(value);
    if (items.size() > NYX_LIST_MAX) {
        *why = "more than 16 entries";
        return false;
    }
    nyx_latency_option parsed[NYX_LIST_MAX] = {};
    for (size_t i = 0; i < items.size(); ++i) {
        std::string name, us;
        uint64_t v = 0;
        if (!split_at(items[i], &name, &us) || !parse_uint(us, UINT32_MAX, &v) ||
            !set_text(parsed[i].name, name)) {
            *why = "\"" + items[i] + "\" is not NAME @ MICROSECONDS (name up to 31 bytes)";
            return false;
        }
        parsed[i].us = uint32_t(v);
    }
    memcpy(m->options.latencies, parsed, sizeof parsed);
    m->options.num_latencies = uint16_t(items.size());
    return true;
}

bool set_version(nyx_server_version *version, const std::string &value) {
    uint64_t part[4] = {};
    const uint64_t max[4] = {255, 255, 65535, 65535};
    std::string t = trim(value);
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        size_t dot = t.find('.', start);
        if ((i < 3) != (dot != std::string::npos))
            return false;
        std::string p = t.substr(start, dot == std::string::npos ? dot : dot - start);
        if (p.find_first_not_of("0123456789") != std::string::npos ||
            !parse_uint(p, max[i], &part[i]))
            return false;
        start = dot + 1;
    }
    version->major = uint8_t(part[0]);
    version->minor = uint8_t(part[1]);
    version->patch = uint16_t(part[2]);
    version->build = uint16_t(part[3]);
    return true;
}

// Applies one key to m; *why explains a refusal (without the key, which the caller adds).
bool apply_key(nyxsim_model *m, const std::string &key, const std::string &raw, std::string *why) {
    const std::string value = trim(raw);
    nyx_system_config &c = m->state.config;
    nyx_system_state &s = m->state;
    uint64_t n = 0;
    uint32_t b = 0;
    auto number = [&](uint64_t max) {
        if (parse_uint(value, max, &n))
            return true;
        *why = "\"" + value + "\" is not a number up to " + std::to_string(max);
        return false;
    };
    auto boolean = [&]() {
        if (parse_bool(value, &b))
            return true;
        *why = "\"" + value + "\" is not 0 or 1";
        return false;
    };
    auto text = [&](auto &field) {
        if (set_text(field, value))
            return true;
        *why = "longer than " + std::to_string(sizeof field - 1) + " bytes";
        return false;
    };
    auto wide = [&](char16_t *field) {
        char16_t buf[64];
        if (!nyxsim_utf8_to_utf16(value, buf, 64)) {
            *why = "not UTF-8 of at most 63 units";
            return false;
        }
        memcpy(field, buf, sizeof buf);
        return true;
    };

    // Version and name.
    if (key == "version") {
        if (set_version(&m->version, value))
            return true;
        *why = "\"" + value + "\" is not MAJOR.MINOR.PATCH.BUILD";
        return false;
    }
    if (key == "version_text")
        return text(m->version.text);
    if (key == "name")
        return text(m->name.name);

    // Options.
    nyx_system_options &o = m->options;
    if (key == "channel_counts")
        return set_number_list(value, UINT16_MAX, o.channel_counts, &o.num_channel_counts, why);
    if (key == "interfaces")
        return set_interfaces(m, value, why);
    if (key == "sample_rates")
        return set_sample_rates(m, value, why);
    if (key == "sample_formats")
        return set_number_list(value, UINT16_MAX, o.sample_formats, &o.num_sample_formats, why);
    if (key == "latencies")
        return set_latencies(m, value, why);
    if (key == "asio_buffer_sizes")
        return set_number_list(value, UINT32_MAX, o.asio.asio_buffer_sizes,
                               &o.asio.num_asio_buffer_sizes, why);
    if (key == "asio_encodings")
        return set_number_list(value, UINT16_MAX, o.asio.asio_encodings, &o.asio.num_asio_encodings,
                               why);
    if (key == "asio_latencies")
        return set_number_list(value, UINT32_MAX, o.asio.asio_latencies, &o.asio.num_asio_latencies,
                               why);

    // Configuration in force.
    if (key == "channels") {
        if (!number(UINT16_MAX))
            return false;
        c.channels = uint16_t(n);
        return true;
    }
    if (key == "interface") {
        uint8_t mac[6];
        if (!parse_mac(value, mac)) {
            *why = "\"" + value + "\" is not a MAC address";
            return false;
        }
        const nyx_interface *found = find_interface(&o, mac);
        if (!found) {
            *why = mac_text(mac) + " is not among the interfaces";
            return false;
        }
        c.interface = *found;
        return true;
    }
    if (key == "sample_rate") {
        if (!number(UINT32_MAX))
            return false;
        c.sample_rate = uint32_t(n);
        return true;
    }
    if (key == "sample_format") {
        if (!number(UINT16_MAX))
            return false;
        c.sample_format = uint16_t(n);
        return true;
    }
    if (key == "pullup") {
        if (!number(UINT16_MAX))
            return false;
        c.pullup = uint16_t(n);
        return true;
    }
    if (key == "latency")
        return text(c.latency);
    if (key == "want_to_run") {
        if (!boolean())
            return false;
        set_running(m, b);
        return true;
    }
    if (key == "audio_interface") {
        if (value == "ASIO" || value == "asio" || value == "0")
            c.asio.audio_interface = NYX_AUDIO_INTERFACE_ASIO;
        else if (value == "WDM" || value == "wdm" || value == "1")
            c.asio.audio_interface = NYX_AUDIO_INTERFACE_WDM;
        else {
            *why = "\"" + value + "\" is not ASIO or WDM";
            return false;
        }
        return true;
    }
    if (key == "asio_buffer_size") {
        if (!number(UINT32_MAX))
            return false;
        c.asio.asio_buffer_size = uint32_t(n);
        return true;
    }
    if (key == "asio_encoding") {
        if (!number(UINT16_MAX))
            return false;
        c.asio.asio_encoding = uint16_t(n);
        return true;
    }
    if (key == "asio_latency_us") {
        if (!number(UINT32_MAX))
            return false;
        c.asio.asio_latency_us = uint32_t(n);
        return true;
    }

    // State. Fields that travel as 16-bit immediates are limited to 16 bits.
    if (key == "config_lock_flags") {
        if (!number(UINT16_MAX))
            return false;
        s.config_lock_flags = uint16_t(n);
        return true;
    }
    if (key == "system_error") {
        if (!number(UINT16_MAX))
            return false;
        s.system_error = uint16_t(n);
        return true;
    }
    if (key == "slot7_value") {
        if (!number(UINT16_MAX))
            return false;
        s.slot7_value = uint32_t(n);
        return true;
    }
    if (key == "link_up") {
        if (!boolean())
            return false;
        s.link_up = b;
        return true;
    }
    if (key == "link_speed") {
        if (!number(UINT32_MAX))
            return false;
        s.link_speed = uint32_t(n);
        return true;
    }
    if (key == "ip_address") {
        if (parse_ipv4(value, s.ip_address))
            return true;
        *why = "\"" + value + "\" is not an IPv4 address";
        return false;
    }
    if (key == "device_name")
        return text(s.device_name);
    if (key == "dll_process_name")
        return wide(s.dll_process_name);
    if (key == "device_lock_status") {
        if (!number(UINT16_MAX))
            return false;
        s.device_lock_status = uint32_t(n);
        return true;
    }

    // Domain.
    nyx_domain_info &d = s.domain;
    if (key == "domain_enrolled" || key == "domain_connected" || key == "domain_config_allowed") {
        if (!boolean())
            return false;
        (key == "domain_enrolled"    ? d.enrolled
         : key == "domain_connected" ? d.connected
                                     : d.config_allowed) = b;
        return true;
    }
    if (key == "domain_name")
        return text(d.domain_name);
    if (key == "domain_text")
        return text(d.domain_text);
    if (key == "domain_value") {
        if (!number(UINT32_MAX))
            return false;
        d.domain_value = uint32_t(n);
        return true;
    }
    *why = "unknown key";
    return false;
}

template <typename T>
std::string join_numbers(const T *v, uint16_t count, const char *separator = ", ") {
    std::string out;
    for (uint16_t i = 0; i < count && i < NYX_LIST_MAX; ++i) {
        if (i)
            out += separator;
        out += std::to_string(v[i]);
    }
    return out;
}

} // namespace

bool nyxsim_utf8_to_utf16(const std::string &text, char16_t *out, size_t capacity) {
    size_t units = vtr_utf8_to_utf16_strict(text.data(), text.size(), out, capacity);
    if (units == 0) {
        return false;
    }
    std::fill(out + units, out + capacity, u'\0');
    return true;
}

std::string nyxsim_utf16_to_utf8(const char16_t *text, size_t capacity) {
    std::string out;
    vtr_utf16_to_utf8_string(text, capacity, VTR_UTF16_REPLACE, &out);
    return out;
}

void nyxsim_model_defaults(nyxsim_model *m) {
    // Records are compared as wholes, padding included.
    memset(static_cast<void *>(m), 0, sizeof *m);
    nyx_system_options &o = m->options;

    const uint16_t channels[] = {2, 4, 8, 16, 32, 64};
    for (uint16_t c : channels)
        o.channel_counts[o.num_channel_counts++] = c;

    struct {
        const char16_t *name;
        uint8_t mac[6];
    } const interfaces[] = {
        {u"Ethernet 2", {0x00, 0x1d, 0xc1, 0x5a, 0x30, 0x01}},
        {u"WLAN-Ger\u00e4t", {0x3c, 0x22, 0xfb, 0x84, 0x7e, 0x12}},
        {u"vEthernet (Default Switch)", {0x02, 0x15, 0x5d, 0xa3, 0x4c, 0x07}},
    };
    for (const auto &i : interfaces)
        set_interface(&o.interfaces[o.num_interfaces++], i.name, i.mac);

    const nyx_sample_rate_option rates[] = {{44100, 64}, {48000, 64},  {88200, 32},
                                            {96000, 32}, {176400, 16}, {192000, 16}};
    for (const auto &r : rates)
        o.sample_rates[o.num_sample_rates++] = r;

    const uint16_t formats[] = {24, 32};
    for (uint16_t f : formats)
        o.sample_formats[o.num_sample_formats++] = f;

    const nyx_latency_option latencies[] = {
        {"1 ms", 1000}, {"2 ms", 2000}, {"5 ms", 5000}, {"10 ms", 10000}, {"20 ms", 20000}};
    for (const auto &l : latencies)
        o.latencies[o.num_latencies++] = l;

    const uint32_t buffers[] = {32, 64, 128, 256, 512, 1024, 2048};
    for (uint32_t b : buffers)
        o.asio.asio_buffer_sizes[o.asio.num_asio_buffer_sizes++] = b;
    const uint16_t encodings[] = {16, 24, 32};
    for (uint16_t e : encodings)
        o.asio.asio_encodings[o.asio.num_asio_encodings++] = e;
    const uint32_t asio_latencies[] = {1000, 2000, 5000, 10000, 20000};
    for (uint32_t l : asio_latencies)
        o.asio.asio_latencies[o.asio.num_asio_latencies++] = l;

    nyx_system_config &c = m->state.config;
    c.channels = 8;
    c.interface = o.interfaces[0];
    c.sample_rate = 48000;
    c.sample_format = 24;
    c.pullup = NYX_PULLUP_NONE;
    set_text(c.latency, "1 ms");
    c.want_to_run = 0;
    c.asio.audio_interface = NYX_AUDIO_INTERFACE_ASIO;
    c.asio.asio_buffer_size = 256;
    c.asio.asio_encoding = 24;
    c.asio.asio_latency_us = 5000;

    nyx_system_state &s = m->state;
    s.system_error = NYXSIM_ERROR_STOPPED;
    s.link_up = 1;
    s.link_speed = 1000;
    const uint8_t ip[4] = {192, 168, 1, 42};
    memcpy(s.ip_address, ip, 4);
    set_text(s.device_name, "Studio-PC-Nyx");
    s.domain.config_allowed = 1;

    m->version.major = 4;
    m->version.minor = 2;
    m->version.patch = 1;
    m->version.build = 37;
    set_text(m->version.text, "4.2.1");
    set_text(m->name.name, "Studio-PC-Nyx");
}

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
        return why == "unknown key" ? VTR_NOTFOUND : VTR_INVALIDDATA;
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

uint16_t nyxsim_model_check_config(const nyxsim_model *m, const nyx_system_config *config) {
    if (!m || !config || !nyx_system_config_is_valid(config, &m->options))
        return 0x0101;
    const nyx_system_config &now = m->state.config;
    // What the program itself refuses while the soundcard runs. A request that also stops it
    // is let through.
    if (now.want_to_run && config->want_to_run &&
        (memcmp(now.interface.mac, config->interface.mac, 6) != 0 ||
         now.channels != config->channels ||
         now.asio.audio_interface != config->asio.audio_interface ||
         strncmp(now.latency, config->latency, sizeof now.latency) != 0))
        return 0x0102;
    // And what it refuses on a locked device.
    const nyx_domain_info &d = m->state.domain;
    bool locked =
        m->state.device_lock_status != 0 || (d.enrolled && d.connected && !d.config_allowed);
    if (locked && (now.want_to_run != config->want_to_run ||
                   now.asio.asio_buffer_size != config->asio.asio_buffer_size ||
                   now.asio.asio_encoding != config->asio.asio_encoding ||
                   now.asio.asio_latency_us != config->asio.asio_latency_us))
        return 0x0102;
    return 1;
}

void nyxsim_model_apply_config(nyxsim_model *m, const nyx_system_config *config) {
    uint32_t run = config->want_to_run;
    nyx_system_config next = *config;
    next.want_to_run = m->state.config.want_to_run;
    // The manager names its interfaces itself.
    if (const nyx_interface *found = find_interface(&m->options, config->interface.mac))
        next.interface = *found;
    m->state.config = next;
    set_running(m, run);
}

void nyxsim_model_clear_error(nyxsim_model *m) {
    m->state.system_error =
        m->state.config.want_to_run ? NYXSIM_ERROR_RUNNING : NYXSIM_ERROR_STOPPED;
}

void nyxsim_model_clear_domain(nyxsim_model *m) {
    m->state.domain = nyx_domain_info{};
    m->state.domain.config_allowed = 1;
}

vtr_error nyxsim_model_check_size(const nyxsim_model *m, std::string *message) {
    auto msg = std::make_unique<sbcp2_message>();
    sbcp2_message_init_record(msg.get());
    sbcp2_message_init_head(msg.get(), 0x1400, 0x0100);
    vtr_error e = nyxsim_encode_system_options(msg.get(), &m->options);
    if (e != VTR_SUCCESS) {
        if (message)
            *message = "the options do not fit into one datagram";
        return e;
    }
    sbcp2_message_init_head(msg.get(), 0x1400, 0x0102);
    e = nyxsim_encode_system_state(msg.get(), &m->state);
    if (e != VTR_SUCCESS && message)
        *message = "the state does not fit into one datagram";
    return e;
}

std::string nyxsim_describe_config(const nyx_system_config *c) {
    char buf[160];
    snprintf(buf, sizeof buf,
             "run=%u ch=%u rate=%u fmt=%u lat=\"%s\" pullup=%u %s buf=%u enc=%u asio_lat=%uus",
             c->want_to_run, c->channels, c->sample_rate, c->sample_format,
             field_text(c->latency).c_str(), c->pullup,
             nyx_audio_interface_name(c->asio.audio_interface), c->asio.asio_buffer_size,
             c->asio.asio_encoding, c->asio.asio_latency_us);
    return std::string(buf) + " if=\"" + nyxsim_utf16_to_utf8(c->interface.name, 64) + "\"/" +
           mac_text(c->interface.mac);
}

std::string nyxsim_describe_state(const nyx_system_state *s) {
    const char *error = nyx_system_error_name(s->system_error);
    std::string out = nyxsim_describe_config(&s->config);
    out += " err=" + hex16(s->system_error) + "(" + (error ? error : "?") + ")";
    out += " link=" + std::string(s->link_up ? "up/" + std::to_string(s->link_speed) + "M"
                                             : std::string("down"));
    out += " ip=" + ip_text(s->ip_address);
    out += " dev=\"" + field_text(s->device_name) + "\"";
    out += " lock=" + std::to_string(s->device_lock_status);
    if (s->config_lock_flags)
        out += " lock_flags=" + hex16(s->config_lock_flags);
    const nyx_domain_info &d = s->domain;
    if (d.enrolled)
        out += " domain=\"" + field_text(d.domain_name) + "\"(" +
               (d.connected ? "connected" : "offline") + "," +
               (d.config_allowed ? "open" : "locked") + ")";
    else
        out += " domain=none";
    return out;
}

std::string nyxsim_describe_options(const nyx_system_options *o) {
    std::string out = "channels=" + join_numbers(o->channel_counts, o->num_channel_counts, ",");
    out += " ifs=";
    // Piece by piece: g++ 12 at -O3 mistakes `"literal" + std::string&&` for an overlapping copy.
    for (uint16_t i = 0; i < o->num_interfaces && i < NYX_LIST_MAX; ++i) {
        out += i ? ",\"" : "\"";
        out += nyxsim_utf16_to_utf8(o->interfaces[i].name, 64);
        out += '"';
    }
    out += " rates=";
    for (uint16_t i = 0; i < o->num_sample_rates && i < NYX_LIST_MAX; ++i) {
        out += i ? "," : "";
        out += std::to_string(o->sample_rates[i].rate);
        out += '@';
        out += std::to_string(o->sample_rates[i].max_channels);
    }
    out += " fmts=" + join_numbers(o->sample_formats, o->num_sample_formats, ",");
    out += " lats=";
    for (uint16_t i = 0; i < o->num_latencies && i < NYX_LIST_MAX; ++i) {
        out += i ? ",\"" : "\"";
        out += field_text(o->latencies[i].name);
        out += "\"@";
        out += std::to_string(o->latencies[i].us);
    }
    out +=
        " asio_buf=" + join_numbers(o->asio.asio_buffer_sizes, o->asio.num_asio_buffer_sizes, ",");
    out += " asio_enc=" + join_numbers(o->asio.asio_encodings, o->asio.num_asio_encodings, ",");
    out += " asio_lat=" + join_numbers(o->asio.asio_latencies, o->asio.num_asio_latencies, ",");
    return out;
}

std::string nyxsim_describe_version(const nyx_server_version *v) {
    char buf[64];
    snprintf(buf, sizeof buf, "%u.%u.%u.%u \"%s\"", v->major, v->minor, v->patch, v->build,
             field_text(v->text).c_str());
    return buf;
}

std::string nyxsim_model_dump(const nyxsim_model *m) {
    const nyx_system_options &o = m->options;
    const nyx_system_state &s = m->state;
    const nyx_system_config &c = s.config;
    std::string out;
    auto put = [&](const char *key, const std::string &value) {
        out += key;
        out += " = ";
        out += value;
        out += '\n';
    };
    put("version", std::to_string(m->version.major) + "." + std::to_string(m->version.minor) + "." +
                       std::to_string(m->version.patch) + "." + std::to_string(m->version.build));
    put("version_text", field_text(m->version.text));
    put("name", field_text(m->name.name));

    put("channel_counts", join_numbers(o.channel_counts, o.num_channel_counts));
    std::string list;
    for (uint16_t i = 0; i < o.num_interfaces && i < NYX_LIST_MAX; ++i)
        list += (i ? ", " : "") + nyxsim_utf16_to_utf8(o.interfaces[i].name, 64) + " @ " +
                mac_text(o.interfaces[i].mac);
    put("interfaces", list);
    list.clear();
    for (uint16_t i = 0; i < o.num_sample_rates && i < NYX_LIST_MAX; ++i)
        list += (i ? ", " : "") + std::to_string(o.sample_rates[i].rate) + " @ " +
                std::to_string(o.sample_rates[i].max_channels);
    put("sample_rates", list);
    put("sample_formats", join_numbers(o.sample_formats, o.num_sample_formats));
    list.clear();
    for (uint16_t i = 0; i < o.num_latencies && i < NYX_LIST_MAX; ++i)
        list += (i ? ", " : "") + field_text(o.latencies[i].name) + " @ " +
                std::to_string(o.latencies[i].us);
    put("latencies", list);
    put("asio_buffer_sizes", join_numbers(o.asio.asio_buffer_sizes, o.asio.num_asio_buffer_sizes));
    put("asio_encodings", join_numbers(o.asio.asio_encodings, o.asio.num_asio_encodings));
    put("asio_latencies", join_numbers(o.asio.asio_latencies, o.asio.num_asio_latencies));

    put("channels", std::to_string(c.channels));
    put("interface", mac_text(c.interface.mac));
    put("sample_rate", std::to_string(c.sample_rate));
    put("sample_format", std::to_string(c.sample_format));
    put("pullup", std::to_string(c.pullup));
    put("latency", field_text(c.latency));
    put("want_to_run", std::to_string(c.want_to_run));
    put("audio_interface", c.asio.audio_interface == NYX_AUDIO_INTERFACE_WDM ? "WDM" : "ASIO");
    put("asio_buffer_size", std::to_string(c.asio.asio_buffer_size));
    put("asio_encoding", std::to_string(c.asio.asio_encoding));
    put("asio_latency_us", std::to_string(c.asio.asio_latency_us));

    put("config_lock_flags", hex16(s.config_lock_flags));
    put("system_error", hex16(s.system_error));
    put("slot7_value", std::to_string(s.slot7_value));
    put("link_up", std::to_string(s.link_up));
    put("link_speed", std::to_string(s.link_speed));
    put("ip_address", ip_text(s.ip_address));
    put("device_name", field_text(s.device_name));
    put("dll_process_name", nyxsim_utf16_to_utf8(s.dll_process_name, 64));
    put("device_lock_status", std::to_string(s.device_lock_status));

    put("domain_enrolled", std::to_string(s.domain.enrolled));
    put("domain_connected", std::to_string(s.domain.connected));
    put("domain_config_allowed", std::to_string(s.domain.config_allowed));
    put("domain_name", field_text(s.domain.domain_name));
    put("domain_text", field_text(s.domain.domain_text));
    put("domain_value", std::to_string(s.domain.domain_value));
    return out;
}

const char *nyxsim_opcode_name(uint16_t opcode) {
    switch (opcode) {
    case 0x0000:
        return "keepalive";
    case 0x0001:
        return "connect";
    case 0x0002:
        return "disconnect";
    case 0x0100:
        return "options";
    case 0x0102:
        return "state";
    case 0x0103:
        return "name";
    case 0x0110:
        return "SET_CONFIG";
    case 0x0111:
        return "CLEAR_SYSTEM_ERROR";
    case 0x0113:
        return "CLEAR_DOMAIN_CREDENTIALS";
    }
    return "?";
}

const char *nyxsim_status_name(uint16_t status) {
    switch (status) {
    case 0x0100:
        return "Invalid API";
    case 0x0101:
        return "Invalid Data";
    case 0x0102:
        return "Invalid State";
    case 0x0103:
        return "System error";
    }
    return sbcp2_status_name(status);
}

std::string nyxsim_describe_datagram(const char *direction, const std::string &peer,
                                     const uint8_t *data, size_t length,
                                     const std::string &summary) {
    std::string out = std::string(direction) + " " + peer;
    if (!data || length < SBCP2_HEAD_SIZE)
        return out + " " + std::to_string(length) + " bytes" +
               (summary.empty() ? "" : ": " + summary);
    uint16_t opcode = sbcp2_message_get_opcode(data);
    uint16_t status = sbcp2_message_get_status(data);
    char buf[160];
    snprintf(buf, sizeof buf, " %s(0x%04x) %s(%u) seq=%u size=%u", nyxsim_opcode_name(opcode),
             opcode, nyxsim_status_name(status), status, sbcp2_message_get_seqnum(data),
             sbcp2_message_get_size(data));
    out += buf;
    if (!summary.empty())
        out += " | " + summary;
    return out;
}
