// Shared by the service client's tests: sample records, the service side's body builders and a
// logger whose callback sink collects lines.
#pragma once

#include "client/nyx_bodies.h"
#include "client/nyx_records.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

struct LogCapture {
    vtr_logger *logger = nullptr;
    bool owned = false;
    std::vector<std::string> lines;

    // Collects everything the given logger (or a new one) admits up to `level`.
    explicit LogCapture(uint32_t level = VTR_LOG_VERBOSE, vtr_logger *existing = nullptr) {
        logger = existing;
        if (logger == nullptr) {
            EXPECT_EQ(vtr_logger_new(&logger), VTR_SUCCESS);
            owned = true;
        }
        logger->callback = collect;
        logger->callback_context = this;
        vtr_logger_set_overall_level(logger, level);
        vtr_logger_set_level(logger, VTR_SINK_CALLBACK, level);
    }
    ~LogCapture() {
        if (owned) {
            vtr_logger_delete(logger);
        } else {
            logger->callback = nullptr;
        }
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    static void collect(vtr_logger *l, const char *, uint32_t, const char *text, size_t length) {
        static_cast<LogCapture *>(l->callback_context)->lines.emplace_back(text, length);
    }
    bool has(const std::string &line) const {
        for (const std::string &l : lines) {
            if (l == line) {
                return true;
            }
        }
        return false;
    }
};

inline void set_wide(char16_t *field, const char *text) {
    size_t i = 0;
    for (; text[i] != 0; i++) {
        field[i] = char16_t(static_cast<unsigned char>(text[i]));
    }
    field[i] = 0;
}

inline nyx_interface make_interface(const char *name, uint8_t last) {
    nyx_interface itf;
    std::memset(&itf, 0, sizeof itf);
    set_wide(itf.name, name);
    const uint8_t mac[6] = {0x00, 0x1d, 0xc1, 0x00, 0x00, last};
    std::memcpy(itf.mac, mac, 6);
    return itf;
}

inline nyx_system_options make_options() {
    nyx_system_options o;
    std::memset(&o, 0, sizeof o);
    const uint16_t channels[] = {2, 8, 16, 64};
    o.num_channel_counts = 4;
    std::memcpy(o.channel_counts, channels, sizeof channels);
    o.num_interfaces = 2;
    o.interfaces[0] = make_interface("eth0", 1);
    o.interfaces[1] = make_interface("Ethernet 2", 2);
    o.num_sample_rates = 3;
    o.sample_rates[0] = {44100, 64};
    o.sample_rates[1] = {48000, 64};
    o.sample_rates[2] = {96000, 32};
    o.num_sample_formats = 2;
    o.sample_formats[0] = 24;
    o.sample_formats[1] = 32;
    o.num_latencies = 3;
    std::strcpy(o.latencies[0].name, "1 ms");
    o.latencies[0].us = 1000;
    std::strcpy(o.latencies[1].name, "2 ms");
    o.latencies[1].us = 2000;
    std::strcpy(o.latencies[2].name, "500 us");
    o.latencies[2].us = 500;
    o.asio.num_asio_buffer_sizes = 3;
    o.asio.asio_buffer_sizes[0] = 64;
    o.asio.asio_buffer_sizes[1] = 128;
    o.asio.asio_buffer_sizes[2] = 256;
    o.asio.num_asio_encodings = 2;
    o.asio.asio_encodings[0] = 24;
    o.asio.asio_encodings[1] = 32;
    o.asio.num_asio_latencies = 2;
    o.asio.asio_latencies[0] = 1000;
    o.asio.asio_latencies[1] = 2000;
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
    c.pullup = NYX_PULLUP_NONE;
    std::strcpy(c.latency, "1 ms");
    c.want_to_run = 1;
    c.asio.audio_interface = NYX_AUDIO_INTERFACE_ASIO;
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
    s.domain.enrolled = 1;
    s.domain.connected = 1;
    std::strcpy(s.domain.domain_name, "north");
    std::strcpy(s.domain.domain_text, "text");
    s.domain.domain_value = 99;
    s.domain.config_allowed = 1;
    return s;
}

// The service side of the bodies, built item by item as the manager does.

inline void begin_message(sbcp2_message *m, uint16_t opcode) {
    sbcp2_message_init_record(m);
    sbcp2_message_set_id(sbcp2_message_head(m), nullptr);
    sbcp2_message_init_head(m, NYX_PROTOCOL_VERSION, opcode);
}

inline uint16_t put_u32(sbcp2_message *m, uint32_t value) {
    uint16_t offset = 0;
    EXPECT_EQ(sbcp2_message_append_u32(m, value, &offset), VTR_SUCCESS);
    return offset;
}

inline uint16_t put_string(sbcp2_message *m, const char *text) {
    uint16_t offset = 0;
    EXPECT_EQ(sbcp2_message_append_string(m, text, &offset), VTR_SUCCESS);
    return offset;
}

inline uint16_t put_wstring(sbcp2_message *m, const char16_t *text) {
    uint16_t offset = 0;
    EXPECT_EQ(sbcp2_message_append_wstring(m, text, &offset), VTR_SUCCESS);
    return offset;
}

inline uint16_t put_bytes(sbcp2_message *m, const void *data, uint16_t length) {
    uint16_t offset = 0;
    EXPECT_EQ(sbcp2_message_append_bytes(m, length, data, &offset), VTR_SUCCESS);
    return offset;
}

inline uint16_t put_u16_array(sbcp2_message *m, const uint16_t *values, uint16_t count) {
    uint16_t offset = 0;
    EXPECT_EQ(sbcp2_message_append_u16_array(m, count, values, &offset), VTR_SUCCESS);
    return offset;
}

// A 32-bit array: the count, then the values 4-aligned (the append pads when needed).
inline uint16_t put_u32_array(sbcp2_message *m, const uint32_t *values, uint16_t count) {
    const uint8_t be[2] = {uint8_t(count >> 8), uint8_t(count)};
    uint16_t offset = put_bytes(m, be, 2);
    for (uint16_t i = 0; i < count; i++) {
        put_u32(m, values[i]);
    }
    return offset;
}

inline sbcp2_u16_array reserve_slots(sbcp2_message *m, uint16_t count) {
    sbcp2_u16_array a{};
    EXPECT_EQ(sbcp2_message_reserve_u16_array(m, count, &a), VTR_SUCCESS);
    return a;
}

inline void build_version_body(sbcp2_message *m, uint16_t major, uint16_t minor, uint16_t patch,
                               uint16_t build) {
    sbcp2_u16_array root = reserve_slots(m, 8);
    const uint16_t imm[8] = {0x0a0a, major, minor, patch, build, 0, 0, 0x0707};
    for (uint16_t i = 0; i < 8; i++) {
        sbcp2_u16_array_set(&root, i, imm[i]);
    }
    sbcp2_u16_array_set(&root, 5, put_string(m, "v-text"));
}

inline uint16_t put_interface_group(sbcp2_message *m, const nyx_interface &itf) {
    sbcp2_u16_array g = reserve_slots(m, 2);
    sbcp2_u16_array_set(&g, 0, put_wstring(m, itf.name));
    sbcp2_u16_array_set(&g, 1, put_bytes(m, itf.mac, 6));
    return g.offset;
}

inline void build_options_body(sbcp2_message *m, const nyx_system_options &o) {
    sbcp2_u16_array root = reserve_slots(m, 6);
    sbcp2_u16_array_set(&root, 0, put_u16_array(m, o.channel_counts, o.num_channel_counts));

    sbcp2_u16_array list = reserve_slots(m, o.num_interfaces);
    sbcp2_u16_array_set(&root, 1, list.offset);
    for (uint16_t i = 0; i < o.num_interfaces; i++) {
        sbcp2_u16_array_set(&list, i, put_interface_group(m, o.interfaces[i]));
    }

    list = reserve_slots(m, o.num_sample_rates);
    sbcp2_u16_array_set(&root, 2, list.offset);
    for (uint16_t i = 0; i < o.num_sample_rates; i++) {
        sbcp2_u16_array g = reserve_slots(m, 2);
        sbcp2_u16_array_set(&g, 0, put_u32(m, o.sample_rates[i].rate));
        sbcp2_u16_array_set(&g, 1, o.sample_rates[i].max_channels);
        sbcp2_u16_array_set(&list, i, g.offset);
    }

    sbcp2_u16_array_set(&root, 3, put_u16_array(m, o.sample_formats, o.num_sample_formats));

    list = reserve_slots(m, o.num_latencies);
    sbcp2_u16_array_set(&root, 4, list.offset);
    for (uint16_t i = 0; i < o.num_latencies; i++) {
        sbcp2_u16_array g = reserve_slots(m, 2);
        sbcp2_u16_array_set(&g, 0, put_string(m, o.latencies[i].name));
        sbcp2_u16_array_set(&g, 1, put_u32(m, o.latencies[i].us));
        sbcp2_u16_array_set(&list, i, g.offset);
    }

    sbcp2_u16_array asio = reserve_slots(m, 4);
    sbcp2_u16_array_set(&root, 5, asio.offset);
    sbcp2_u16_array_set(&asio, 0, 0xffff); // never read
    sbcp2_u16_array_set(&asio, 1,
                        put_u32_array(m, o.asio.asio_buffer_sizes, o.asio.num_asio_buffer_sizes));
    sbcp2_u16_array_set(&asio, 2,
                        put_u16_array(m, o.asio.asio_encodings, o.asio.num_asio_encodings));
    sbcp2_u16_array_set(&asio, 3,
                        put_u32_array(m, o.asio.asio_latencies, o.asio.num_asio_latencies));
}

// The configuration group is the client's own encoding, placed behind the state's root.
inline void build_state_body(sbcp2_message *m, const nyx_system_state &s) {
    sbcp2_u16_array root = reserve_slots(m, 11);
    uint16_t config = 0;
    EXPECT_EQ(nyx_encode_system_config(m, &s.config, &config), VTR_SUCCESS);
    sbcp2_u16_array_set(&root, 0, config);
    sbcp2_u16_array_set(&root, 1, s.config_lock_flags);
    sbcp2_u16_array_set(&root, 2, uint16_t(s.link_up));
    sbcp2_u16_array_set(&root, 3, put_u32(m, s.link_speed));
    sbcp2_u16_array_set(&root, 4, put_bytes(m, s.ip_address, 4));
    sbcp2_u16_array_set(&root, 5, put_string(m, s.device_name));
    sbcp2_u16_array_set(&root, 6, s.system_error);
    sbcp2_u16_array_set(&root, 7, uint16_t(s.slot7_value));
    sbcp2_u16_array dll = reserve_slots(m, 1);
    sbcp2_u16_array_set(&dll, 0, put_wstring(m, s.dll_process_name));
    sbcp2_u16_array_set(&root, 8, dll.offset);
    sbcp2_u16_array_set(&root, 9, uint16_t(s.device_lock_status));
    sbcp2_u16_array domain = reserve_slots(m, 6);
    sbcp2_u16_array_set(&domain, 0, put_string(m, s.domain.domain_text));
    sbcp2_u16_array_set(&domain, 1, put_string(m, s.domain.domain_name));
    sbcp2_u16_array_set(&domain, 2, put_u32(m, s.domain.domain_value));
    sbcp2_u16_array_set(&domain, 3, uint16_t(s.domain.enrolled));
    sbcp2_u16_array_set(&domain, 4, uint16_t(s.domain.connected));
    sbcp2_u16_array_set(&domain, 5, uint16_t(s.domain.config_allowed));
    sbcp2_u16_array_set(&root, 10, domain.offset);
}

inline void build_name_body(sbcp2_message *m, const char *name) {
    sbcp2_u16_array root = reserve_slots(m, 1);
    sbcp2_u16_array_set(&root, 0, put_string(m, name));
}
