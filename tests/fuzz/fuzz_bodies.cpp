// Every body decoder on arbitrary bodies: no crash, no read outside the body, and the records
// stay terminated whatever comes in.
#include "client/nyx_bodies.h"
#include "tests/fuzz/exact_message.h"

#include <cstdlib>
#include <cstring>

namespace {

template <size_t N> void require_terminated(const char (&text)[N]) {
    if (std::memchr(text, 0, N) == nullptr) {
        std::abort();
    }
}

template <size_t N> void require_terminated(const char16_t (&text)[N]) {
    for (size_t i = 0; i < N; i++) {
        if (text[i] == 0) {
            return;
        }
    }
    std::abort();
}

void discard(vtr_logger *, const char *, uint32_t, const char *, size_t) {}

vtr_logger *printing_logger() {
    static vtr_logger *logger = [] {
        vtr_logger *l = nullptr;
        if (vtr_logger_new(&l) != VTR_SUCCESS) {
            std::abort();
        }
        l->callback = discard;
        vtr_logger_set_overall_level(l, VTR_LOG_VERBOSE);
        vtr_logger_set_level(l, VTR_SINK_CALLBACK, VTR_LOG_VERBOSE);
        return l;
    }();
    return logger;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static nyx_server_version version;
    static nyx_system_state state;
    static nyx_system_options options;
    static nyx_name name;

    if (size > SBCP2_MAX_BODY) {
        size = SBCP2_MAX_BODY;
    }
    ExactMessage exact = exact_message(nullptr, SBCP2_HEAD_SIZE + size);
    sbcp2_message &msg = *exact;
    sbcp2_message_init_head(&msg, NYX_PROTOCOL_VERSION, NYX_OPCODE_STATE);
    if (size != 0) {
        std::memcpy(sbcp2_message_body(&msg), data, size);
    }
    sbcp2_message_add_size(sbcp2_message_head(&msg), uint16_t(size));

    nyx_decode_server_version(&msg, &version);
    require_terminated(version.text);

    nyx_decode_system_state(&msg, &state);
    require_terminated(state.config.latency);
    require_terminated(state.config.interface.name);
    require_terminated(state.device_name);
    require_terminated(state.dll_process_name);
    require_terminated(state.domain.domain_name);
    require_terminated(state.domain.domain_text);

    nyx_decode_system_options(&msg, &options);
    if (options.num_channel_counts > NYX_LIST_MAX || options.num_interfaces > NYX_LIST_MAX ||
        options.num_sample_rates > NYX_LIST_MAX || options.num_sample_formats > NYX_LIST_MAX ||
        options.num_latencies > NYX_LIST_MAX || options.asio.num_asio_buffer_sizes > NYX_LIST_MAX ||
        options.asio.num_asio_encodings > NYX_LIST_MAX ||
        options.asio.num_asio_latencies > NYX_LIST_MAX) {
        std::abort();
    }
    for (const nyx_latency_option &latency : options.latencies) {
        require_terminated(latency.name);
    }

    nyx_decode_name(&msg, &name);
    require_terminated(name.name);

    // Whatever was decoded must also be valid input to the printers and the validator.
    nyx_system_config_is_valid(&state.config, &options);
    nyx_system_state_log(printing_logger(), VTR_LOG_DEBUG, &state, "  ");
    nyx_system_options_log(printing_logger(), VTR_LOG_DEBUG, &options, "  ");
    return 0;
}
