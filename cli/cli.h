// The console front end: commands, printers, set commands and the event report.
// Everything writes through std::cout (ordinary lines) and std::cerr (failures), so a
// caller can capture the output by swapping the streams' buffers.
#pragma once

#include "api/nyx_api.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nyxcli {

// Cleared by the SIGINT handler only; read by the loop and the completion wait.
extern std::atomic<bool> g_running;

// Output. Each call writes one whole line and flushes it; error lines flush standard
// output first so both streams keep their order on a console.
void out_line(std::string_view line);
void err_line(std::string_view line);

// Names as the console shows them; unknown values are "???".
const char *result_name(NyxApiResult result);
const char *state_name(NyxApiState state);
const char *audio_interface_name(NyxApiAudioInterface audio);
const char *change_name(unsigned bit);

// Commands.
std::string usage_text(std::string_view program);
void print_usage(std::string_view program);
// Does not return for "exit".
void run_command(const char *program, const char *text, NyxApi *api);

// Printers.
std::string utf16_to_utf8(const uint16_t *units, size_t max_units);
std::string mac_text(const uint8_t *mac);
std::string interface_text(const NyxApiInterface &iface);
std::string version_text(const NyxApiVersion &version);

void print_asio_buffer_size(NyxApi *api);
void print_asio_encoding(NyxApi *api);
void print_asio_latency(NyxApi *api);
void print_audio_interface(NyxApi *api);
void print_channel_count(NyxApi *api);
void print_corvo_latency(NyxApi *api);
void print_device_name(NyxApi *api);
void print_interface(NyxApi *api);
void print_server_version(NyxApi *api);
void print_lock_status(NyxApi *api);

void print_available_asio_buffer_sizes(NyxApi *api);
void print_available_asio_encodings(NyxApi *api);
void print_available_asio_latencies(NyxApi *api);
void print_available_audio_interfaces(NyxApi *api);
void print_available_channel_counts(NyxApi *api);
void print_available_corvo_latencies(NyxApi *api);
void print_available_interfaces(NyxApi *api);

void print_network_status(NyxApi *api);
void print_domain_info(NyxApi *api);

// The event function registered with the handle; runs on the worker thread.
void event_report(const NyxApiEvent *event);

// Set commands.
// Decimal text to a signed 32-bit value, saturating; no digits give 0.
int32_t parse_decimal(std::string_view text);

// Address text to six bytes; on failure prints the "Invalid interface" lines.
std::optional<std::array<uint8_t, 6>> parse_mac(std::string_view text);
// Name lookup among the available interfaces, then the address form.
std::optional<std::array<uint8_t, 6>> resolve_interface(NyxApi *api, std::string_view text);

// Polls until no request is in flight; false when interrupted or the query failed.
bool wait_for_completion(NyxApi *api);

void set_running(NyxApi *api, bool running);
void set_audio_interface(NyxApi *api, NyxApiAudioInterface audio);
void set_interface(NyxApi *api, std::string_view text);
void set_channel_count(NyxApi *api, std::string_view text);
void set_asio_buffer_size(NyxApi *api, std::string_view text);
void set_asio_encoding(NyxApi *api, std::string_view text);
void set_asio_latency(NyxApi *api, std::string_view text);
void set_corvo_latency(NyxApi *api, std::string_view text);
void clear_domain(NyxApi *api);

// The folder word cut to fit the folder buffer.
constexpr size_t kLogFolderMax = 259;
std::string log_folder_from_word(std::string word);
void collect_logs();

} // namespace nyxcli
