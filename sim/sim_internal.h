// The simulator's insides, shared by its serving loop, its control commands, the faults it
// puts on outgoing datagrams and its trace.
#pragma once

#include "sbcp2/sbcp2_message.h"
#include "sim/sim.h"
#include "sim/sim_model.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

using nyxsim_clock = std::chrono::steady_clock;

// How long the serving thread waits for a datagram before it looks at its requests and
// at silent clients again.
constexpr vtr_time NYXSIM_POLL_INTERVAL = {0, 20000};
// Bounds of what waits: delayed datagrams, and trace lines for a slow standard error.
constexpr size_t NYXSIM_MAX_DELAYED = 4096;
constexpr size_t NYXSIM_MAX_TRACE_LINES = 8192;

struct nyxsim_peer {
    vtr_address address;
    nyxsim_clock::time_point last_seen;
    uint16_t seqnum; // of the events it is sent
};

enum nyxsim_socket_request { NYXSIM_SOCKET_CLOSE, NYXSIM_SOCKET_OPEN, NYXSIM_SOCKET_REOPEN };

// A socket command waiting for the serving thread; it lives on the waiting command's stack and
// is withdrawn by it when the answer does not come.
struct nyxsim_socket_job {
    nyxsim_socket_request what = NYXSIM_SOCKET_CLOSE;
    vtr_error result = VTR_SUCCESS;
    bool done = false;
    std::string reply; // the switches right after the change
};

struct nyxsim_delayed_datagram {
    nyxsim_clock::time_point due;
    vtr_address to;
    std::vector<uint8_t> bytes;
};

struct nyxsim {
    nyxsim_options options{};
    std::mutex mutex;
    std::condition_variable changed;
    nyxsim_model model{};
    std::vector<nyxsim_peer> peers;

    // Start and stop, with their joins, one at a time.
    std::mutex lifecycle;
    // Public calls under way; nyxsim_delete waits until none is left.
    std::atomic<uint32_t> calls{0};

    vtr_socket sock = VTR_SOCKET_INVALID;
    uint16_t port = 0;
    std::thread thread;
    std::atomic<bool> stopping{false};
    bool serving = false;
    bool loop_ended = false; // the serving thread has returned (stop or quit)
    nyxsim_socket_job *job = nullptr;

    // Trace lines wait here for the writer thread, which alone writes standard error, so
    // that a slow reader never holds up the model lock.
    std::mutex trace_mutex;
    std::condition_variable trace_ready;
    std::vector<std::string> trace_lines;
    uint64_t trace_dropped = 0;
    bool writer_stop = false;
    std::thread writer;

    // Misbehaviour on demand.
    bool silent = false;
    bool not_connected = false;
    bool no_reply = false;
    int32_t forced_status = -1;
    uint32_t drop_percent = 0;
    uint32_t dup_percent = 0;
    std::string garble; // "size", "truncate", "opcode" or empty: how outgoing datagrams lie
    uint32_t delay_min_ms = 0;
    uint32_t delay_max_ms = 0;
    std::vector<nyxsim_delayed_datagram> delayed;
    std::minstd_rand random{20240607u};

    std::map<uint16_t, uint32_t> received;
    bool has_last_config = false;
    nyx_system_config last_config{};

    vtr_socket_set readable{};
    vtr_socket_set writable{};
    sbcp2_message rx{};
    sbcp2_message tx{};
};

// Trace. "127.0.0.1:PORT".
std::string nyxsim_peer_text(const vtr_address *address);
void nyxsim_trace_queue(nyxsim *sim, std::string line);
// The writer thread's body: writes queued lines until told to stop and nothing is left.
void nyxsim_trace_write(nyxsim *sim);
// The line is built only when tracing: describing a datagram costs more than handling it.
template <typename MakeLine> void nyxsim_trace(nyxsim *sim, MakeLine make_line) {
    if (sim->options.verbose)
        nyxsim_trace_queue(sim, make_line());
}
// A datagram in ("<-"), out ("->") or not sent ("-x"), with a note.
void nyxsim_trace_datagram(nyxsim *sim, const char *direction, const vtr_address *peer,
                           const uint8_t *data, size_t length, const std::string &note);

// Outgoing datagrams, with the faults the commands ask for. The model lock is held.
// Sends what sim->tx holds, as often as the drop and duplicate settings say.
void nyxsim_transmit(nyxsim *sim, const vtr_address *to, const std::string &summary);
// Sends the delayed datagrams that are due; returns how long until the next one is.
std::chrono::milliseconds nyxsim_send_due(nyxsim *sim);

// Serving, with the model lock held.
// Answers the datagram of `length` bytes in sim->rx.
void nyxsim_handle_datagram(nyxsim *sim, const vtr_address *from, size_t length);
// Forgets the clients silent for longer than the client timeout.
void nyxsim_expire_peers(nyxsim *sim);
// An event to every client but `except`; nothing while silent.
void nyxsim_broadcast(nyxsim *sim, uint16_t opcode, const vtr_address *except);
// Whether the serving thread is gone or going: nothing more will be answered.
bool nyxsim_winding_down(const nyxsim *sim);

// Control commands, with the model lock held (a socket command waits on it).
vtr_error nyxsim_run_command(nyxsim *sim, std::unique_lock<std::mutex> &lock,
                             const std::string &line, std::string *out);
// Pushes whatever records differ from `before` to every client, and says what it pushed.
std::string nyxsim_push_changes(nyxsim *sim, const nyxsim_model &before);
// The switches: "port N open", then the faults that are on.
std::string nyxsim_modes_text(nyxsim *sim);
