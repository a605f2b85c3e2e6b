// Shared by the service client's tests: sample records and the service side's body builders.
#pragma once

#include "client/nyx_bodies.h"
#include "client/nyx_records.h"
#include "tests/sbcp2/log_capture.h"

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

using Lines = std::vector<std::string>;

inline void set_wide(char16_t *field, const char *text) {
    size_t i = 0;
    for (; text[i] != 0; i++)
        field[i] = char16_t(static_cast<unsigned char>(text[i]));
    field[i] = 0;
}

inline nyx_interface make_interface(const char *name, uint8_t last) {
    nyx_interface itf{{}, {0x00, 0x1d, 0xc1, 0x00, 0x00, last}}; // no padding to clear
    set_wide(itf.name, name);
    return itf;
}

template <typename T>
void fill_list(uint16_t *count, T *entries, std::type_identity_t<std::initializer_list<T>> values) {
    *count = 0;
    for (const T &v : values)
        entries[(*count)++] = v;
}

inline nyx_system_options make_options() {
    nyx_system_options o;
    std::memset(&o, 0, sizeof o);
    fill_list(&o.num_channel_counts, o.channel_counts, {2, 8, 16, 64});
    fill_list(&o.num_interfaces, o.interfaces,
              {make_interface("eth0", 1), make_interface("Ethernet 2", 2)});
    fill_list(&o.num_sample_rates, o.sample_rates, {{44100, 64}, {48000, 64}, {96000, 32}});
    fill_list(&o.num_sample_formats, o.sample_formats, {24, 32});
    fill_list(&o.num_latencies, o.latencies, {{"1 ms", 1000}, {"2 ms", 2000}, {"500 us", 500}});
    fill_list(&o.asio.num_asio_buffer_sizes, o.asio.asio_buffer_sizes, {64, 128, 256});
    fill_list(&o.asio.num_asio_encodings, o.asio.asio_encodings, {24, 32});
    fill_list(&o.asio.num_asio_latencies, o.asio.asio_latencies, {1000, 2000});
    return o;
}

// Valid against make_options().
inline nyx_system_config make_config() {
    nyx_system_config c;
    std::memset(&c, 0, sizeof c);
    c.channels = 8;
    c.interface = make_interface("Ethernet 2", 2);
    c.sample_rate = 48000;
    c.sample_format = 24;
    std::strcpy(c.latency, "1 ms");
    c.want_to_run = 1;
    c.asio.asio_latency_us = 2000;
    c.asio.asio_buffer_size = 128;
    c.asio.asio_encoding = 24;
    return c;
}

inline nyx_system_state make_state() {
    nyx_system_state s;
    std::memset(&s, 0, sizeof s);
    const nyx_system_config config = make_config();
    std::memcpy(&s.config, &config, sizeof config); // keeps the zeroed padding
    s.config_lock_flags = 0x0011;
    s.system_error = 0x0001;
    s.slot7_value = 7;
    s.link_up = 1;
    s.link_speed = 1000;
    const uint8_t ip[4] = {192, 168, 1, 20};
    std::memcpy(s.ip_address, ip, 4);
    std::strcpy(s.device_name, "studio-a");
    set_wide(s.dll_process_name, "host.exe");
    s.device_lock_status = 2;
    s.domain.enrolled = s.domain.connected = s.domain.config_allowed = 1;
    std::strcpy(s.domain.domain_name, "north");
    std::strcpy(s.domain.domain_text, "text");
    s.domain.domain_value = 99;
    return s;
}

// The service side of the bodies, built item by item as the manager does.

inline std::unique_ptr<sbcp2_message> new_message(uint16_t opcode) {
    auto m = std::make_unique<sbcp2_message>();
    sbcp2_message_init_record(m.get());
    sbcp2_message_init_head(m.get(), NYX_PROTOCOL_VERSION, opcode);
    return m;
}

// Appends items to a message and hands back the offsets that the appends report.
struct Put {
    sbcp2_message *m;
    uint16_t at = 0;
    uint16_t ok(vtr_error err) {
        EXPECT_EQ(err, VTR_SUCCESS);
        return at;
    }
    uint16_t u32(uint32_t v) { return ok(sbcp2_message_append_u32(m, v, &at)); }
    uint16_t text(const char *t) { return ok(sbcp2_message_append_string(m, t, &at)); }
    uint16_t wide(const char16_t *t) { return ok(sbcp2_message_append_wstring(m, t, &at)); }
    uint16_t raw(const void *d, uint16_t n) { return ok(sbcp2_message_append_bytes(m, n, d, &at)); }
    uint16_t u16s(const uint16_t *v, uint16_t n) {
        return ok(sbcp2_message_append_u16_array(m, n, v, &at));
    }
    // A 32-bit array: the count, then the values 4-aligned (the append pads when needed).
    uint16_t u32s(const uint32_t *v, uint16_t n) {
        const uint8_t be[2] = {uint8_t(n >> 8), uint8_t(n)};
        uint16_t offset = raw(be, 2);
        for (uint16_t i = 0; i < n; i++)
            u32(v[i]);
        return offset;
    }
    sbcp2_u16_array slots(uint16_t n) {
        sbcp2_u16_array a{};
        EXPECT_EQ(sbcp2_message_reserve_u16_array(m, n, &a), VTR_SUCCESS);
        return a;
    }
    static void set_slots(sbcp2_u16_array *a, std::initializer_list<uint16_t> values) {
        uint16_t i = 0;
        for (uint16_t v : values)
            sbcp2_u16_array_set(a, i++, v);
    }
    // A slot array holding the values; the items they point at were appended before it.
    uint16_t group(std::initializer_list<uint16_t> values) {
        sbcp2_u16_array a = slots(uint16_t(values.size()));
        set_slots(&a, values);
        return a.offset;
    }
    // The offsets of one group per entry, as a 16-bit array behind the groups.
    template <typename T>
    uint16_t list(const T *entries, uint16_t n, uint16_t (Put::*group)(const T &)) {
        std::vector<uint16_t> offsets;
        for (uint16_t i = 0; i < n; i++)
            offsets.push_back((this->*group)(entries[i]));
        return u16s(offsets.data(), n);
    }
    uint16_t interface(const nyx_interface &i) { return group({wide(i.name), raw(i.mac, 6)}); }
    uint16_t rate(const nyx_sample_rate_option &r) { return group({u32(r.rate), r.max_channels}); }
    uint16_t latency(const nyx_latency_option &l) { return group({text(l.name), u32(l.us)}); }
};

inline void build_version_body(sbcp2_message *m, uint16_t major, uint16_t minor, uint16_t patch,
                               uint16_t build) {
    Put p{m};
    sbcp2_u16_array root = p.slots(8);
    Put::set_slots(&root, {0x0a0a, major, minor, patch, build, p.text("v-text"), 0, 0x0707});
}

inline void build_options_body(sbcp2_message *m, const nyx_system_options &o) {
    Put p{m};
    sbcp2_u16_array root = p.slots(6);
    const nyx_asio_options &a = o.asio;
    Put::set_slots(&root, {p.u16s(o.channel_counts, o.num_channel_counts),
                           p.list(o.interfaces, o.num_interfaces, &Put::interface),
                           p.list(o.sample_rates, o.num_sample_rates, &Put::rate),
                           p.u16s(o.sample_formats, o.num_sample_formats),
                           p.list(o.latencies, o.num_latencies, &Put::latency),
                           p.group({0xffff, // never read
                                    p.u32s(a.asio_buffer_sizes, a.num_asio_buffer_sizes),
                                    p.u16s(a.asio_encodings, a.num_asio_encodings),
                                    p.u32s(a.asio_latencies, a.num_asio_latencies)})});
}

// The configuration group is the client's own encoding, placed behind the state's root.
inline void build_state_body(sbcp2_message *m, const nyx_system_state &s) {
    Put p{m};
    sbcp2_u16_array root = p.slots(11);
    uint16_t config = 0;
    EXPECT_EQ(nyx_encode_system_config(m, &s.config, &config), VTR_SUCCESS);
    const nyx_domain_info &d = s.domain;
    Put::set_slots(
        &root,
        {config, s.config_lock_flags, uint16_t(s.link_up), p.u32(s.link_speed),
         p.raw(s.ip_address, 4), p.text(s.device_name), s.system_error, uint16_t(s.slot7_value),
         p.group({p.wide(s.dll_process_name)}), uint16_t(s.device_lock_status),
         p.group({p.text(d.domain_text), p.text(d.domain_name), p.u32(d.domain_value),
                  uint16_t(d.enrolled), uint16_t(d.connected), uint16_t(d.config_allowed)})});
}

inline void build_name_body(sbcp2_message *m, const char *name) {
    Put p{m};
    sbcp2_u16_array root = p.slots(1);
    Put::set_slots(&root, {p.text(name)});
}
