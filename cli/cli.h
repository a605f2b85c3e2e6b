// The console front end: commands, printers, set commands and the event report.
// Everything writes through std::cout (ordinary lines) and std::cerr (failures), so a
// caller can capture the output by swapping the streams' buffers.
#pragma once

#include "api/nyx_api.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <iosfwd>
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

// For last-resort catches: the console's texts are fixed, so a caught exception is only
// counted, with the place of the last one, for a debugger or a test to read.
void note_exception(const char *where) noexcept;
size_t noted_exception_count();
const char *last_noted_exception();

// Names as the console shows them; unknown values are "???".
const char *result_name(NyxApiResult result);
const char *state_name(NyxApiState state);
const char *audio_interface_name(NyxApiAudioInterface audio);
const char *change_name(unsigned bit);

// Commands.
std::string usage_text(std::string_view program);
void print_usage(std::string_view program);
// One command text: an optional dash stripped, split at the first "=".
struct CommandText {
    std::string_view keyword;
    std::string_view argument;
};
CommandText split_command(const char *text);
// Does not return for "exit".
void run_command(const char *program, const char *text, NyxApi *api);
// A line cut at the limit never runs: its keyword is reported as unknown (an empty keyword,
// as for any command, prints nothing).
void refuse_command(const char *program, const char *text);

// Console input. A typed line keeps at most kLineMax bytes; the rest of a longer line is read
// up to its line end and dropped, and the line is refused as a whole. No command comes near
// the limit (the longest, an interface name or address, stays below 100 bytes).
constexpr size_t kLineMax = 4096;
enum class LineRead { Complete, TooLong };
// The line up to, not including, its newline, which is consumed. At end of input the stream
// stays failed and every further read gives an empty line. An interrupt (g_running cleared)
// ends the skipping of an endless line.
LineRead read_command_line(std::istream &in, std::string &line);
// One word after white space (line ends included), up to the next white space, which stays
// unread; bytes beyond `keep` are read and dropped.
std::string read_word(std::istream &in, size_t keep);

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

// The event function registered with the handle; runs on the worker thread. Nothing it meets
// (an allocation that fails, a stream that throws) escapes into the worker: the rest of that
// event's report is dropped.
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

// The folder word is cut to fit the folder buffer.
constexpr size_t kLogFolderMax = 259;
void collect_logs();

} // namespace nyxcli
