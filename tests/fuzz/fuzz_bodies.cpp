// Every body decoder on arbitrary bodies: no crash, no read outside the body, and the records
// stay terminated whatever comes in.
#include "client/nyx_bodies.h"
#include "tests/fuzz/fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static nyx_server_version version;
    static nyx_system_state state;
    static nyx_system_options options;
    static nyx_name name;
    size = size < SBCP2_MAX_BODY ? size : SBCP2_MAX_BODY;
    ExactMessage msg = exact_message(nullptr, SBCP2_HEAD_SIZE + size);
    sbcp2_message_init_head(msg.get(), NYX_PROTOCOL_VERSION, NYX_OPCODE_STATE);
    if (size != 0)
        std::memcpy(sbcp2_message_body(msg.get()), data, size);
    sbcp2_message_add_size(sbcp2_message_head(msg.get()), uint16_t(size));

    nyx_decode_server_version(msg.get(), &version);
    require_terminated(version.text);
    nyx_decode_system_state(msg.get(), &state);
    require_terminated(state.config.latency);
    require_terminated(state.config.interface.name);
    require_terminated(state.device_name);
    require_terminated(state.dll_process_name);
    require_terminated(state.domain.domain_name);
    require_terminated(state.domain.domain_text);
    nyx_decode_system_options(msg.get(), &options);
    const nyx_asio_options &a = options.asio;
    for (uint16_t n : {options.num_channel_counts, options.num_interfaces, options.num_sample_rates,
                       options.num_sample_formats, options.num_latencies, a.num_asio_buffer_sizes,
                       a.num_asio_encodings, a.num_asio_latencies})
        require(n <= NYX_LIST_MAX, "list count beyond its record");
    for (const nyx_latency_option &latency : options.latencies)
        require_terminated(latency.name);
    nyx_decode_name(msg.get(), &name);
    require_terminated(name.name);

    // Whatever was decoded must also be valid input to the printers and the validator.
    nyx_system_config_is_valid(&state.config, &options);
    nyx_system_state_log(verbose_logger(), VTR_LOG_DEBUG, &state, "  ");
    nyx_system_options_log(verbose_logger(), VTR_LOG_DEBUG, &options, "  ");
    return 0;
}
