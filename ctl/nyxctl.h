// nyxctl: the scripting and monitoring companion of nyxcli, built on the 46 NyxApi exports.
//
// The pure parts (values of a snapshot, parsing and planning changes, the metrics text) work
// on a Snapshot and are tested without a manager; session.cpp is the only part that talks
// to the API's worker.
#pragma once

#include "api/nyx_api.h"

#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace nyxctl {

using json = nlohmann::ordered_json;

// Exit statuses, documented in --help and nyxctl(1).
enum Exit : int {
    EXIT_OK = 0,
    EXIT_UNEXPECTED = 1,
    EXIT_USAGE = 2,       // usage error or invalid value; nothing was sent
    EXIT_TIMEOUT = 3,     // no completion within the timeout
    EXIT_REFUSED = 4,     // the manager refused the change
    EXIT_REJECTED = 5,    // the API refused the request before sending it
    EXIT_UNREACHABLE = 8, // the manager was not reachable within the timeout
};

struct Interface {
    std::string name; // UTF-8
    std::array<uint8_t, 6> mac{};
};

struct Domain {
    bool enrolled = false;
    bool connected = false;
    bool config_allowed = false;
    std::string name;
};

// Everything the API's cache holds, read at one moment.
struct Snapshot {
    NyxApiState state = NYXAPI_STATE_IDLE;
    uint32_t status = 0;
    bool running = false;
    Interface interface;
    std::vector<Interface> available_interfaces;
    uint32_t channel_count = 0;
    std::vector<uint32_t> available_channel_counts;
    NyxApiAudioInterface audio_interface = NYXAPI_AUDIO_INTERFACE_NONE;
    std::vector<uint32_t> available_audio_interfaces;
    uint32_t asio_buffer_size = 0;
    std::vector<uint32_t> available_asio_buffer_sizes;
    uint32_t asio_encoding = 0;
    std::vector<uint32_t> available_asio_encodings;
    uint32_t asio_latency_ms = 0;
    std::vector<uint32_t> available_asio_latencies_ms;
    uint32_t corvo_latency_ms = 0;
    std::vector<uint32_t> available_corvo_latencies_ms;
    bool link_up = false;
    uint32_t link_speed = 0; // Mbit/s
    std::array<uint8_t, 4> ip_address{};
    std::string device_name;
    Domain domain;
    uint32_t device_lock_status = 0;
    NyxApiVersion manager_version{};
};

// ---- fields (fields.cpp) ----

struct Field {
    const char *name;
    NyxApiChanges flag; // the change flag that reports a new value
    bool settable;
};
const std::vector<Field> &all_fields();
const Field *find_field(const std::string &name);
// The names of the change flags set in `changes`, lowest bit first.
std::vector<std::string> change_names(NyxApiChanges changes);
const char *result_name(NyxApiResult result);
const char *state_name(NyxApiState state);
std::string mac_text(const std::array<uint8_t, 6> &mac);
std::string version_text(const NyxApiVersion &version);
std::string utf16_to_utf8(const uint16_t *text, size_t max_units);

json field_json(const Snapshot &s, const std::string &name);
// Every field, in the order of all_fields().
json snapshot_json(const Snapshot &s);
// "name=value" lines of one field (the domain gives one line per member).
std::vector<std::string> field_text(const Snapshot &s, const std::string &name);

// ---- changes (changes.cpp) ----

// One setter call.
struct Change {
    std::string field;
    uint32_t value = 0;           // every field but interface
    std::array<uint8_t, 6> mac{}; // interface
    std::string shown;            // the value as the user knows it
};

// These return nullopt after appending one line per problem to `errors`.
// The field of "FIELD=VALUE" and its value typed as JSON; the choices are not consulted.
std::optional<std::pair<std::string, json>>
parse_assignment_value(const std::string &text, std::vector<std::string> &errors);
// "FIELD=VALUE" as typed after `set`; the value must be among the current choices.
std::optional<Change> parse_assignment(const Snapshot &s, const std::string &text,
                                       std::vector<std::string> &errors);
std::optional<Change> change_from_json(const Snapshot &s, const std::string &field,
                                       const json &value, std::vector<std::string> &errors);
// The changes that make the configuration equal to `document` (as dump writes it), in an
// order the setters' preconditions accept: stop, the settings a running card refuses, the
// ASIO settings (with the audio interface moved to where ASIO is selected), then start.
std::optional<std::vector<Change>> plan_apply(const Snapshot &s, const json &document,
                                              std::vector<std::string> &errors);

// ---- metrics text (metrics_text.cpp) ----

struct Counters {
    uint64_t events = 0;
    uint64_t connection_losses = 0;
};
// The Prometheus text exposition of a snapshot.
std::string metrics_text(const Snapshot &s, const Counters &counters);

struct Listen {
    std::string host;
    int port = 0; // 0: any free port
};
// "HOST:PORT", with an IPv6 address in brackets.
std::optional<Listen> parse_listen(const std::string &text);

// ---- the API handle (session.cpp) ----

struct Event {
    std::chrono::system_clock::time_point time;
    NyxApiChanges changes = 0;
    NyxApiResult result = NYXAPI_SUCCESS;
    Snapshot values; // as the cache held them when the event was raised
};

Snapshot snapshot_read(NyxApi *api);

// Owns one started handle. Waits are woken by the event function, never by polling.
class Session {
  public:
    Session() = default;
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Creates and starts the handle; `record` keeps every event for next_event().
    NyxApiResult start(bool record);
    NyxApi *api() const { return api_; }
    Snapshot snapshot() { return snapshot_read(api_); }

    bool wait_connected(std::chrono::milliseconds timeout);
    // Calls the setter of the change.
    NyxApiResult send(const Change &change);
    // The result of the request sent last; nullopt after the timeout (the request is then
    // cancelled).
    std::optional<NyxApiResult> wait_completion(std::chrono::milliseconds timeout);
    // The next recorded event; nullopt once interrupted.
    std::optional<Event> next_event();
    // Wakes every wait for good (from a signal thread).
    void interrupt();
    bool interrupted();
    Counters counters();

  private:
    static void on_event(const NyxApiEvent *event);
    void record(const NyxApiEvent *event);

    NyxApi *api_ = nullptr;
    bool record_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t completions_ = 0;
    uint64_t taken_completions_ = 0;
    NyxApiResult last_result_ = NYXAPI_SUCCESS;
    std::deque<Event> events_;
    Counters counters_;
    NyxApiState last_state_ = NYXAPI_STATE_IDLE;
    bool interrupted_ = false;
};

} // namespace nyxctl
