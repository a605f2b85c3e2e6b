#include "sim/sim.h"

#include "sbcp2/sbcp2_message.h"
#include "sim/sim_bodies.h"
#include "sim/sim_model.h"
#include "vtr/vtr_text.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

enum : uint16_t {
    VERSION = 0x1400,
    OP_OPTIONS = 0x0100,
    OP_STATE = 0x0102,
    OP_NAME = 0x0103,
    OP_SET_CONFIG = 0x0110,
    OP_CLEAR_SYSTEM_ERROR = 0x0111,
    OP_CLEAR_DOMAIN = 0x0113,
    ST_INVALID_DATA = 0x0101,
    ST_SYSTEM_ERROR = 0x0103,
};

// How long the serving thread waits for a datagram before it looks at its requests and
// at silent clients again.
constexpr vtr_time POLL_INTERVAL = {0, 20000};

struct peer {
    vtr_address address;
    steady::time_point last_seen;
    uint16_t seqnum; // of the events it is sent
};

enum socket_request { SOCKET_CLOSE, SOCKET_OPEN, SOCKET_REOPEN };

// A socket command waiting for the serving thread; it lives on the waiting command's stack and
// is withdrawn by it when the answer does not come.
struct socket_job {
    socket_request what = SOCKET_CLOSE;
    vtr_error result = VTR_SUCCESS;
    bool done = false;
    std::string reply; // the switches right after the change
};

struct delayed_datagram {
    steady::time_point due;
    vtr_address to;
    std::vector<uint8_t> bytes;
};

// Bounds of what waits: delayed datagrams, and trace lines for a slow standard error.
constexpr size_t MAX_DELAYED = 4096;
constexpr size_t MAX_TRACE_LINES = 8192;

} // namespace

struct nyxsim {
    nyxsim_options options{};
    std::mutex mutex;
    std::condition_variable changed;
    nyxsim_model model{};
    std::vector<peer> peers;

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
    socket_job *job = nullptr;

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
    std::vector<delayed_datagram> delayed;
    std::minstd_rand random{20240607u};

    std::map<uint16_t, uint32_t> received;
    bool has_last_config = false;
    nyx_system_config last_config{};

    vtr_socket_set readable{};
    vtr_socket_set writable{};
    sbcp2_message rx{};
    sbcp2_message tx{};
};

namespace {

std::string peer_text(const vtr_address *address) {
    char ip[32] = "";
    vtr_inet_ntoa(address->addr.addr_be, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(vtr_address_port(address));
}

void queue_trace(nyxsim *sim, std::string line) {
    std::lock_guard<std::mutex> lock(sim->trace_mutex);
    if (sim->trace_lines.size() >= MAX_TRACE_LINES) {
        ++sim->trace_dropped;
        return;
    }
    sim->trace_lines.push_back("nyx-sim: " + line + "\n");
    sim->trace_ready.notify_one();
}

// The line is built only when tracing: describing a datagram costs more than handling it.
template <typename MakeLine> void trace(nyxsim *sim, MakeLine make_line) {
    if (sim->options.verbose)
        queue_trace(sim, make_line());
}

void write_traces(nyxsim *sim) {
    std::vector<std::string> lines;
    std::unique_lock<std::mutex> lock(sim->trace_mutex);
    for (;;) {
        sim->trace_ready.wait(lock,
                              [sim] { return sim->writer_stop || !sim->trace_lines.empty(); });
        if (sim->trace_lines.empty())
            return;
        lines.swap(sim->trace_lines);
        uint64_t dropped = sim->trace_dropped;
        sim->trace_dropped = 0;
        lock.unlock();
        for (const std::string &line : lines)
            fputs(line.c_str(), stderr);
        if (dropped)
            fprintf(stderr, "nyx-sim: %llu trace lines dropped: standard error is too slow\n",
                    (unsigned long long)dropped);
        fflush(stderr);
        lines.clear();
        lock.lock();
    }
}

peer *find_peer(nyxsim *sim, const vtr_address *address) {
    for (peer &p : sim->peers)
        if (vtr_address_equal(&p.address, address))
            return &p;
    return nullptr;
}

void forget_peer(nyxsim *sim, const vtr_address *address) {
    for (auto it = sim->peers.begin(); it != sim->peers.end(); ++it)
        if (vtr_address_equal(&it->address, address)) {
            sim->peers.erase(it);
            return;
        }
}

bool chance(nyxsim *sim, uint32_t percent) {
    return percent > 0 && sim->random() % 100 < percent;
}

void send_now(nyxsim *sim, const vtr_address *to, const uint8_t *head, size_t size,
              const std::string &note) {
    size_t length = size;
    vtr_error e = vtr_socket_sendto(sim->sock, head, &length, to);
    trace(sim, [&] {
        std::string text = note;
        if (e != VTR_SUCCESS) {
            char error[VTR_ERROR_TEXT_SIZE];
            text = "send failed: " + std::string(vtr_error_text(e, error));
        }
        return std::string(nyxsim_describe_datagram("->", peer_text(to), head, size, text));
    });
}

// Holds a copy back for the configured delay, or sends it at once without one.
void send_or_delay(nyxsim *sim, const vtr_address *to, const uint8_t *head, size_t size,
                   const std::string &note) {
    if (sim->delay_max_ms == 0) {
        send_now(sim, to, head, size, note);
        return;
    }
    if (sim->delayed.size() >= MAX_DELAYED) {
        trace(sim, [&] {
            return std::string(
                nyxsim_describe_datagram("-x", peer_text(to), head, size, "delay queue full"));
        });
        return;
    }
    uint32_t span = sim->delay_max_ms - sim->delay_min_ms;
    uint32_t ms = sim->delay_min_ms + (span ? uint32_t(sim->random() % (span + 1)) : 0);
    sim->delayed.push_back(delayed_datagram{steady::now() + std::chrono::milliseconds(ms), *to,
                                            std::vector<uint8_t>(head, head + size)});
}

// Sends the delayed datagrams that are due; returns how long until the next one is.
std::chrono::milliseconds send_due(nyxsim *sim) {
    auto now = steady::now();
    auto next = std::chrono::milliseconds(POLL_INTERVAL.usec / 1000);
    for (size_t i = 0; i < sim->delayed.size();) {
        delayed_datagram &d = sim->delayed[i];
        if (d.due <= now) {
            if (vtr_socket_is_valid(sim->sock))
                send_now(sim, &d.to, d.bytes.data(), d.bytes.size(), "delayed");
            d = std::move(sim->delayed.back());
            sim->delayed.pop_back();
            continue;
        }
        next = std::min(next, std::chrono::ceil<std::chrono::milliseconds>(d.due - now));
        ++i;
    }
    return next;
}

// Sends what sim->tx holds, as often as the drop and duplicate settings say.
void transmit(nyxsim *sim, const vtr_address *to, const std::string &summary) {
    uint8_t *head = sbcp2_message_head(&sim->tx);
    size_t size = sbcp2_message_get_size(head);
    if (sim->garble == "size") {
        sbcp2_message_add_size(head, 4); // the datagram itself keeps its length
    } else if (sim->garble == "truncate") {
        size_t kept = SBCP2_HEAD_SIZE + ((size - SBCP2_HEAD_SIZE) / 2 & ~size_t(1));
        sbcp2_message_add_size(head, uint16_t(kept - size)); // wraps: the size field shrinks
        size = kept;
    } else if (sim->garble == "opcode") {
        head[6] ^= 0x40;
    }
    if (chance(sim, sim->drop_percent)) {
        trace(sim, [&] {
            return std::string(
                nyxsim_describe_datagram("-x", peer_text(to), head, size, "dropped"));
        });
        return;
    }
    int copies = chance(sim, sim->dup_percent) ? 2 : 1;
    for (int i = 0; i < copies; ++i)
        send_or_delay(sim, to, head, size, i == 1 ? std::string("duplicate") : summary);
}

void begin(nyxsim *sim, uint16_t opcode, uint16_t status, uint16_t seqnum) {
    sbcp2_message_init_head(&sim->tx, VERSION, opcode);
    uint8_t *head = sbcp2_message_head(&sim->tx);
    sbcp2_message_set_status(head, status);
    sbcp2_message_set_seqnum(head, seqnum);
}

// Appends the body of `opcode` from the model; the summary describes it for the trace.
vtr_error append_body(nyxsim *sim, uint16_t opcode, std::string *summary) {
    switch (opcode) {
    case SBCP2_OPCODE_CONNECT:
        *summary = "version " + nyxsim_describe_version(&sim->model.version);
        return nyxsim_encode_server_version(&sim->tx, &sim->model.version);
    case OP_OPTIONS:
        *summary = nyxsim_describe_options(&sim->model.options);
        return nyxsim_encode_system_options(&sim->tx, &sim->model.options);
    case OP_STATE:
    case OP_SET_CONFIG:
    case OP_CLEAR_SYSTEM_ERROR:
        *summary = nyxsim_describe_state(&sim->model.state);
        return nyxsim_encode_system_state(&sim->tx, &sim->model.state);
    case OP_NAME:
        *summary = "name \"" +
                   std::string(sim->model.name.name,
                               strnlen(sim->model.name.name, sizeof sim->model.name.name)) +
                   "\"";
        return nyxsim_encode_name(&sim->tx, &sim->model.name);
    }
    return VTR_SUCCESS;
}

void reply(nyxsim *sim, const vtr_address *to, uint16_t opcode, uint16_t seqnum, uint16_t status,
           bool with_body) {
    begin(sim, opcode, status, seqnum);
    std::string summary;
    if (with_body && append_body(sim, opcode, &summary) != VTR_SUCCESS) {
        // The model is checked to fit when it changes, so this stays theoretical.
        begin(sim, opcode, ST_SYSTEM_ERROR, seqnum);
        summary = "body did not fit";
    }
    transmit(sim, to, summary);
}

void send_event(nyxsim *sim, peer *p, uint16_t opcode) {
    if (++p->seqnum == 0)
        p->seqnum = 1;
    begin(sim, opcode, SBCP2_STATUS_EVENT, p->seqnum);
    std::string summary;
    if (append_body(sim, opcode, &summary) != VTR_SUCCESS) {
        trace(sim, [&] {
            return std::string("cannot encode the " + std::string(nyxsim_opcode_name(opcode)) +
                               " event");
        });
        return;
    }
    transmit(sim, &p->address, summary);
}

// An event to every client but `except`; nothing while silent.
void broadcast(nyxsim *sim, uint16_t opcode, const vtr_address *except) {
    if (sim->silent || !vtr_socket_is_valid(sim->sock))
        return;
    for (peer &p : sim->peers)
        if (!except || !vtr_address_equal(&p.address, except))
            send_event(sim, &p, opcode);
}

int32_t take_forced_status(nyxsim *sim) {
    int32_t forced = sim->forced_status;
    sim->forced_status = -1;
    return forced;
}

void handle_connect(nyxsim *sim, const vtr_address *from, uint16_t seqnum) {
    if (sim->options.verbose) {
        uint16_t value = 0;
        if (nyxsim_decode_connect(&sim->rx, &value) == VTR_SUCCESS)
            trace(sim, [&] { return std::string("connect value " + std::to_string(value)); });
    }
    peer *p = find_peer(sim, from);
    int32_t forced = take_forced_status(sim);
    uint16_t status = SBCP2_STATUS_RESPONSE;
    // A forced status replaces a success only: a full manager stays full.
    if (!p && sim->peers.size() >= sim->options.max_clients)
        status = SBCP2_STATUS_TOO_MANY_CLIENTS;
    else if (forced >= 0)
        status = uint16_t(forced);
    if (status != SBCP2_STATUS_RESPONSE) {
        forget_peer(sim, from);
        reply(sim, from, SBCP2_OPCODE_CONNECT, seqnum, status, false);
        return;
    }
    if (!p) {
        sim->peers.push_back(peer{*from, steady::now(), 0});
        p = &sim->peers.back();
        trace(sim, [&] {
            return std::string("client " + peer_text(from) + " connected (" +
                               std::to_string(sim->peers.size()) + " of " +
                               std::to_string(sim->options.max_clients) + ")");
        });
    }
    // A connect from a known address starts that connection afresh.
    p->seqnum = 0;
    p->last_seen = steady::now();
    reply(sim, from, SBCP2_OPCODE_CONNECT, seqnum, SBCP2_STATUS_RESPONSE, true);
    send_event(sim, p, OP_OPTIONS);
    send_event(sim, p, OP_STATE);
    send_event(sim, p, OP_NAME);
}

void handle_set_config(nyxsim *sim, const vtr_address *from, uint16_t seqnum) {
    nyx_system_config config{};
    vtr_error e = nyxsim_decode_system_config(&sim->rx, 0, &config);
    uint16_t status = ST_INVALID_DATA;
    if (e == VTR_SUCCESS) {
        sim->last_config = config;
        sim->has_last_config = true;
        status = nyxsim_model_check_config(&sim->model, &config);
        if (status != SBCP2_STATUS_RESPONSE)
            trace(sim, [&] {
                return std::string(std::string("configuration refused: ") +
                                   nyxsim_status_name(status));
            });
    } else {
        const char *name = vtr_error_name(e);
        trace(sim, [&] {
            return std::string(std::string("malformed configuration: ") + (name ? name : "?"));
        });
    }
    int32_t forced = take_forced_status(sim);
    bool apply = status == SBCP2_STATUS_RESPONSE && (forced < 0 || forced == status);
    if (apply)
        nyxsim_model_apply_config(&sim->model, &config);
    // A forced status replaces a success only: a refused configuration stays refused.
    reply(sim, from, OP_SET_CONFIG, seqnum,
          forced >= 0 && status == SBCP2_STATUS_RESPONSE ? uint16_t(forced) : status, true);
    if (apply)
        broadcast(sim, OP_STATE, from);
}

void handle_request(nyxsim *sim, const vtr_address *from, uint16_t opcode, uint16_t seqnum) {
    if (opcode == OP_SET_CONFIG) {
        handle_set_config(sim, from, seqnum);
        return;
    }
    int32_t forced = take_forced_status(sim);
    bool apply = forced < 0 || forced == SBCP2_STATUS_RESPONSE;
    uint16_t status = forced >= 0 ? uint16_t(forced) : uint16_t(SBCP2_STATUS_RESPONSE);
    if (opcode == OP_CLEAR_SYSTEM_ERROR) {
        uint16_t before = sim->model.state.system_error;
        if (apply)
            nyxsim_model_clear_error(&sim->model);
        reply(sim, from, opcode, seqnum, status, true);
        if (before != sim->model.state.system_error)
            broadcast(sim, OP_STATE, from);
    } else if (opcode == OP_CLEAR_DOMAIN) {
        if (apply)
            nyxsim_model_clear_domain(&sim->model);
        reply(sim, from, opcode, seqnum, status, false);
        // The reply carries no state, so the requester learns the outcome from the event.
        if (apply)
            broadcast(sim, OP_STATE, nullptr);
    } else {
        reply(sim, from, opcode, seqnum, SBCP2_STATUS_UNRECOGNISED_OPCODE, false);
    }
}

void handle_datagram(nyxsim *sim, const vtr_address *from, size_t length) {
    const uint8_t *head = sbcp2_message_head(&sim->rx);
    if (length < SBCP2_HEAD_SIZE) {
        trace(sim, [&] {
            return std::string(nyxsim_describe_datagram("<-", peer_text(from), head, length,
                                                        "ignored: shorter than the 20-byte head"));
        });
        return;
    }
    if (sbcp2_message_get_size(head) != length) {
        trace(sim, [&] {
            return std::string(nyxsim_describe_datagram(
                "<-", peer_text(from), head, length,
                "ignored: size field " + std::to_string(sbcp2_message_get_size(head)) + " but " +
                    std::to_string(length) + " bytes received"));
        });
        return;
    }
    uint16_t opcode = sbcp2_message_get_opcode(head);
    uint16_t status = sbcp2_message_get_status(head);
    uint16_t seqnum = sbcp2_message_get_seqnum(head);
    ++sim->received[opcode];

    std::string note;
    if (status != SBCP2_STATUS_REQUEST)
        note = "ignored: not a request";
    else if (sim->silent)
        note = "ignored: silent";
    else if (opcode == OP_SET_CONFIG && sim->options.verbose) {
        nyx_system_config config{};
        if (nyxsim_decode_system_config(&sim->rx, 0, &config) == VTR_SUCCESS)
            note = nyxsim_describe_config(&config);
    }
    trace(sim, [&] {
        return std::string(nyxsim_describe_datagram("<-", peer_text(from), head, length, note));
    });
    if (status != SBCP2_STATUS_REQUEST || sim->silent)
        return;

    if (sim->not_connected) {
        reply(sim, from, opcode, seqnum, SBCP2_STATUS_NOT_CONNECTED, false);
        return;
    }
    if (opcode == SBCP2_OPCODE_CONNECT) {
        handle_connect(sim, from, seqnum);
        return;
    }
    peer *p = find_peer(sim, from);
    if (!p) {
        reply(sim, from, opcode, seqnum, SBCP2_STATUS_NOT_CONNECTED, false);
        return;
    }
    p->last_seen = steady::now();
    if (opcode == SBCP2_OPCODE_KEEPALIVE) {
        reply(sim, from, opcode, seqnum, SBCP2_STATUS_RESPONSE, false);
    } else if (opcode == SBCP2_OPCODE_DISCONNECT) {
        forget_peer(sim, from);
        trace(sim, [&] { return std::string("client " + peer_text(from) + " disconnected"); });
        reply(sim, from, opcode, seqnum, SBCP2_STATUS_RESPONSE, false);
    } else if (!sim->no_reply) {
        handle_request(sim, from, opcode, seqnum);
    }
}

void expire_peers(nyxsim *sim) {
    auto limit = std::chrono::milliseconds(sim->options.client_timeout_ms);
    auto now = steady::now();
    for (auto it = sim->peers.begin(); it != sim->peers.end();) {
        if (now - it->last_seen > limit) {
            trace(sim, [&] {
                return std::string("client " + peer_text(&it->address) +
                                   " gone: nothing heard for " +
                                   std::to_string(sim->options.client_timeout_ms) + " ms");
            });
            it = sim->peers.erase(it);
        } else {
            ++it;
        }
    }
}

void close_socket(nyxsim *sim) {
    if (vtr_socket_is_valid(sim->sock))
        vtr_socket_close(&sim->sock);
    sim->sock = VTR_SOCKET_INVALID;
    // A manager that goes away forgets its clients and what it had yet to send.
    sim->peers.clear();
    sim->delayed.clear();
}

vtr_error open_socket(nyxsim *sim, uint16_t port) {
    vtr_address address{};
    vtr_error e = vtr_address_set_ipv4(&address, VTR_AF_INET, "127.0.0.1", port);
    if (e != VTR_SUCCESS)
        return e;
    vtr_socket sock = VTR_SOCKET_INVALID;
    e = vtr_socket_open_udp(&sock, VTR_AF_INET);
    if (e != VTR_SUCCESS)
        return e;
    vtr_address local{};
    e = vtr_socket_bind(sock, &address);
    if (e == VTR_SUCCESS)
        e = vtr_socket_set_blocking(sock, false);
    if (e == VTR_SUCCESS)
        e = vtr_socket_get_local_address(sock, &local);
    if (e != VTR_SUCCESS) {
        vtr_socket_close(&sock);
        return e;
    }
    sim->sock = sock;
    sim->port = vtr_address_port(&local);
    sbcp2_id id = {{'n', 'y', 'x', '-', 's', 'i', 'm', 0}, sim->port};
    sbcp2_message_set_id(sbcp2_message_head(&sim->tx), &id);
    return VTR_SUCCESS;
}

// Runs with the lock held; drains what has arrived, a bounded number at a time so that
// commands are not kept waiting.
void receive(nyxsim *sim) {
    for (int i = 0; i < 64 && vtr_socket_is_valid(sim->sock); ++i) {
        vtr_address from{};
        from.length = sizeof from.addr;
        size_t length = SBCP2_MAX_MESSAGE;
        vtr_error e = vtr_socket_recvfrom(sim->sock, sim->rx.buffer, &length, &from);
        if (e == VTR_TIMEDOUT)
            return;
        if (e == VTR_MSGSIZE) {
            trace(sim, [&] { return std::string("ignored a datagram longer than 1472 bytes"); });
            continue;
        }
        // A client's closed port reported back on some platforms.
        if (e == VTR_CONNRESET || e == VTR_CONNREFUSED)
            continue;
        if (e != VTR_SUCCESS) {
            char text[VTR_ERROR_TEXT_SIZE];
            trace(sim, [&] {
                return std::string(std::string("receive failed: ") + vtr_error_text(e, text));
            });
            return;
        }
        handle_datagram(sim, &from, length);
    }
}

std::string modes_text(nyxsim *sim);

void serve_loop(nyxsim *sim) {
    while (!sim->stopping.load()) {
        vtr_socket sock;
        std::chrono::milliseconds wait;
        {
            std::lock_guard<std::mutex> lock(sim->mutex);
            if (socket_job *job = sim->job) {
                vtr_error e = VTR_SUCCESS;
                if (job->what != SOCKET_OPEN)
                    close_socket(sim);
                if (job->what != SOCKET_CLOSE && !vtr_socket_is_valid(sim->sock))
                    e = open_socket(sim, sim->port);
                job->result = e;
                job->reply = "socket " + modes_text(sim);
                job->done = true;
                sim->job = nullptr;
                sim->changed.notify_all();
            }
            expire_peers(sim);
            wait = send_due(sim);
            sock = sim->sock;
        }
        if (!vtr_socket_is_valid(sock)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(POLL_INTERVAL.usec / 1000));
            continue;
        }
        // Only this thread closes the socket, so it stays valid through the wait.
        vtr_socket_set_zero(&sim->readable);
        vtr_socket_set_zero(&sim->writable);
        vtr_socket_set_add(&sim->readable, sock);
        const vtr_time timeout = {0, uint32_t(wait.count() * 1000)};
        vtr_error e = vtr_socket_wait(&sim->readable, &sim->writable, &timeout);
        if (e != VTR_SUCCESS) {
            std::this_thread::sleep_for(std::chrono::milliseconds(POLL_INTERVAL.usec / 1000));
            continue;
        }
        if (sim->readable.count == 0)
            continue;
        std::lock_guard<std::mutex> lock(sim->mutex);
        try {
            receive(sim);
        } catch (...) {
            trace(sim, [&] { return std::string("out of memory while handling a datagram"); });
        }
    }
}

void serve(nyxsim *sim) {
    try {
        serve_loop(sim);
    } catch (...) {
        // Out of memory outside a datagram's handling: the service ends as if stopped.
    }
    std::lock_guard<std::mutex> lock(sim->mutex);
    sim->loop_ended = true;
    sim->changed.notify_all();
}

// ---- control commands ----

std::vector<std::string> words(const std::string &line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string w;
    while (in >> w)
        out.push_back(w);
    return out;
}

// The text after the first `n` words.
std::string rest_after(const std::string &line, size_t n) {
    size_t i = 0;
    for (size_t k = 0; k < n; ++k) {
        i = line.find_first_not_of(" \t", i);
        if (i == std::string::npos)
            return "";
        i = line.find_first_of(" \t", i);
        if (i == std::string::npos)
            return "";
    }
    i = line.find_first_not_of(" \t", i);
    if (i == std::string::npos)
        return "";
    size_t e = line.find_last_not_of(" \t\r\n");
    return line.substr(i, e - i + 1);
}

bool parse_switch(const std::string &w, bool *on) {
    if (w == "on" || w == "1") {
        *on = true;
        return true;
    }
    if (w == "off" || w == "0") {
        *on = false;
        return true;
    }
    return false;
}

bool parse_number(const std::string &w, uint32_t max, uint32_t *out) {
    uint64_t v = 0;
    if (!vtr_parse_uint_strict(w.data(), w.size(), max, VTR_PARSE_HEX_PREFIX, &v))
        return false;
    *out = uint32_t(v);
    return true;
}

// Pushes whatever records differ from `before` to every client.
std::string push_changes(nyxsim *sim, const nyxsim_model &before) {
    std::string pushed;
    auto push = [&](uint16_t opcode) {
        broadcast(sim, opcode, nullptr);
        pushed += pushed.empty() ? "" : ", ";
        pushed += nyxsim_opcode_name(opcode);
    };
    if (!nyx_system_options_equal(&before.options, &sim->model.options))
        push(OP_OPTIONS);
    if (!nyx_system_state_equal(&before.state, &sim->model.state))
        push(OP_STATE);
    if (!nyx_name_equal(&before.name, &sim->model.name))
        push(OP_NAME);
    if (pushed.empty())
        return "nothing changed";
    return "pushed " + pushed + " to " + std::to_string(sim->peers.size()) + " client(s)";
}

// Applies key/value pairs all or nothing, then pushes what changed.
vtr_error set_keys(nyxsim *sim, std::initializer_list<std::pair<const char *, std::string>> keys,
                   std::string *out) {
    auto before = std::make_unique<nyxsim_model>(sim->model);
    auto work = std::make_unique<nyxsim_model>(sim->model);
    for (const auto &kv : keys) {
        vtr_error e = nyxsim_model_set(work.get(), kv.first, kv.second, out);
        if (e != VTR_SUCCESS)
            return e;
    }
    sim->model = *work;
    *out = push_changes(sim, *before);
    return VTR_SUCCESS;
}

std::string clients_text(nyxsim *sim) {
    std::string out = std::to_string(sim->peers.size()) + " client(s)";
    auto now = steady::now();
    for (const peer &p : sim->peers) {
        auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - p.last_seen);
        out += "\n  " + peer_text(&p.address) + " idle " + std::to_string(idle.count()) + " ms";
    }
    return out;
}

std::string modes_text(nyxsim *sim) {
    std::string out = "port " + std::to_string(sim->port) +
                      (vtr_socket_is_valid(sim->sock) ? " open" : " closed");
    if (sim->silent)
        out += ", silent";
    if (sim->not_connected)
        out += ", notconnected";
    if (sim->no_reply)
        out += ", noreply";
    if (sim->forced_status >= 0)
        out += ", next status " + std::to_string(sim->forced_status);
    if (sim->drop_percent)
        out += ", drop " + std::to_string(sim->drop_percent) + "%";
    if (sim->dup_percent)
        out += ", dup " + std::to_string(sim->dup_percent) + "%";
    if (!sim->garble.empty())
        out += ", garble " + sim->garble;
    if (sim->delay_max_ms)
        out += ", delay " + std::to_string(sim->delay_min_ms) + "-" +
               std::to_string(sim->delay_max_ms) + " ms";
    return out;
}

// Whether the serving thread is gone or going: nothing more will be answered.
bool winding_down(const nyxsim *sim) {
    return !sim->serving || sim->loop_ended || sim->stopping.load();
}

vtr_error socket_command(nyxsim *sim, std::unique_lock<std::mutex> &lock, socket_request r,
                         std::string *out) {
    const auto limit = std::chrono::seconds(5);
    // One socket command at a time: another one's request is answered first.
    bool free = sim->changed.wait_for(lock, limit,
                                      [sim] { return winding_down(sim) || sim->job == nullptr; });
    if (winding_down(sim)) {
        *out = "not serving";
        return VTR_INVALIDSTATE;
    }
    if (!free) {
        *out = "the serving thread did not answer";
        return VTR_TIMEDOUT;
    }
    socket_job job;
    job.what = r;
    sim->job = &job;
    bool answered =
        sim->changed.wait_for(lock, limit, [&] { return job.done || winding_down(sim); });
    if (!job.done) {
        // Withdrawn: a stop (or quit) came first, or the thread hangs. Nothing was done.
        if (sim->job == &job)
            sim->job = nullptr;
        sim->changed.notify_all();
        *out = answered ? "stopped before the socket was changed"
                        : "the serving thread did not answer";
        return answered ? VTR_INVALIDSTATE : VTR_TIMEDOUT;
    }
    if (job.result != VTR_SUCCESS) {
        char text[VTR_ERROR_TEXT_SIZE];
        *out = std::string("cannot open the socket: ") + vtr_error_text(job.result, text);
        return job.result;
    }
    *out = job.reply;
    return VTR_SUCCESS;
}

vtr_error run_command(nyxsim *sim, std::unique_lock<std::mutex> &lock, const std::string &line,
                      std::string *out) {
    std::vector<std::string> w = words(line);
    if (w.empty() || w[0][0] == '#')
        return VTR_SUCCESS;
    const std::string &cmd = w[0];
    size_t argc = w.size() - 1;
    auto usage = [&](const char *text) -> vtr_error {
        *out = std::string("usage: ") + text;
        return VTR_INVALIDPARAMETER;
    };
    auto toggle = [&](bool *flag, const char *name) -> vtr_error {
        bool on = false;
        if (argc != 1 || !parse_switch(w[1], &on))
            return usage((std::string(name) + " on|off").c_str());
        *flag = on;
        *out = std::string(name) + (on ? " on" : " off");
        return VTR_SUCCESS;
    };

    if (cmd == "help") {
        *out = nyxsim_help_text();
        return VTR_SUCCESS;
    }
    if (cmd == "show") {
        *out = nyxsim_model_dump(&sim->model) + modes_text(sim) + "\n" + clients_text(sim);
        return VTR_SUCCESS;
    }
    if (cmd == "clients") {
        *out = clients_text(sim);
        return VTR_SUCCESS;
    }
    if (cmd == "set") {
        std::string rest = rest_after(line, 1);
        size_t eq = rest.find('=');
        if (eq == std::string::npos)
            return usage("set KEY = VALUE");
        std::string key = rest.substr(0, eq);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
            key.pop_back();
        return set_keys(sim, {{key.c_str(), rest.substr(eq + 1)}}, out);
    }
    if (cmd == "name") {
        std::string text = rest_after(line, 1);
        return set_keys(sim, {{"device_name", text}, {"name", text}}, out);
    }
    if (cmd == "link") {
        uint32_t speed = 0;
        if (argc == 1 && w[1] == "down")
            return set_keys(sim, {{"link_up", "0"}}, out);
        if (argc == 1 && w[1] == "up")
            return set_keys(sim, {{"link_up", "1"}}, out);
        if (argc == 2 && w[1] == "up" && parse_number(w[2], UINT32_MAX, &speed))
            return set_keys(sim, {{"link_up", "1"}, {"link_speed", w[2]}}, out);
        return usage("link up [MBITS] | link down");
    }
    if (cmd == "speed") {
        if (argc != 1)
            return usage("speed MBITS");
        return set_keys(sim, {{"link_speed", w[1]}}, out);
    }
    if (cmd == "address") {
        if (argc != 1)
            return usage("address A.B.C.D");
        return set_keys(sim, {{"ip_address", w[1]}}, out);
    }
    if (cmd == "error") {
        if (argc != 1)
            return usage("error CODE");
        return set_keys(sim, {{"system_error", w[1]}}, out);
    }
    if (cmd == "lock") {
        if (argc != 1)
            return usage("lock N");
        return set_keys(sim, {{"device_lock_status", w[1]}}, out);
    }
    if (cmd == "domain") {
        if (argc == 1 && w[1] == "none")
            return set_keys(sim,
                            {{"domain_enrolled", "0"},
                             {"domain_connected", "0"},
                             {"domain_config_allowed", "1"},
                             {"domain_name", ""},
                             {"domain_text", ""},
                             {"domain_value", "0"}},
                            out);
        bool locked = false, offline = false, bad = argc < 1;
        for (size_t i = 2; i <= argc; ++i) {
            if (w[i] == "locked")
                locked = true;
            else if (w[i] == "offline")
                offline = true;
            else
                bad = true;
        }
        if (bad)
            return usage("domain none | domain NAME [locked] [offline]");
        return set_keys(sim,
                        {{"domain_enrolled", "1"},
                         {"domain_connected", offline ? "0" : "1"},
                         {"domain_config_allowed", locked ? "0" : "1"},
                         {"domain_name", w[1]}},
                        out);
    }
    if (cmd == "push") {
        static const std::pair<const char *, uint16_t> what[] = {
            {"options", OP_OPTIONS}, {"state", OP_STATE}, {"name", OP_NAME}};
        if (argc != 1)
            return usage("push options|state|name|all");
        bool any = false;
        for (const auto &p : what)
            if (w[1] == p.first || w[1] == "all") {
                broadcast(sim, p.second, nullptr);
                any = true;
            }
        if (!any)
            return usage("push options|state|name|all");
        *out = "pushed " + w[1] + " to " + std::to_string(sim->peers.size()) + " client(s)";
        return VTR_SUCCESS;
    }
    if (cmd == "silent")
        return toggle(&sim->silent, "silent");
    if (cmd == "notconnected")
        return toggle(&sim->not_connected, "notconnected");
    if (cmd == "noreply")
        return toggle(&sim->no_reply, "noreply");
    if (cmd == "verbose")
        return toggle(&sim->options.verbose, "verbose");
    if (cmd == "status") {
        uint32_t status = 0;
        if (argc == 1 && w[1] == "off") {
            sim->forced_status = -1;
            *out = "status off";
            return VTR_SUCCESS;
        }
        if (argc != 1 || !parse_number(w[1], 0xffff, &status))
            return usage("status CODE|off");
        sim->forced_status = int32_t(status);
        *out = "next reply gets status " + std::to_string(status) + " (" +
               nyxsim_status_name(uint16_t(status)) + ")";
        return VTR_SUCCESS;
    }
    if (cmd == "drop" || cmd == "dup") {
        uint32_t percent = 0;
        if (argc != 1 || !parse_number(w[1], 100, &percent))
            return usage((cmd + " PERCENT").c_str());
        (cmd == "drop" ? sim->drop_percent : sim->dup_percent) = percent;
        *out = cmd + " " + std::to_string(percent) + "%";
        return VTR_SUCCESS;
    }
    if (cmd == "garble") {
        if (argc != 1 ||
            (w[1] != "size" && w[1] != "truncate" && w[1] != "opcode" && w[1] != "off"))
            return usage("garble size|truncate|opcode|off");
        sim->garble = w[1] == "off" ? "" : w[1];
        *out = "garble " + w[1];
        return VTR_SUCCESS;
    }
    if (cmd == "delay") {
        uint32_t low = 0, high = 0;
        if (argc == 1 && w[1] == "off") {
            sim->delay_min_ms = sim->delay_max_ms = 0;
            *out = "delay off";
            return VTR_SUCCESS;
        }
        if (argc < 1 || argc > 2 || !parse_number(w[1], 60000, &low) ||
            (argc == 2 && !parse_number(w[2], 60000, &high)))
            return usage("delay MS [MAX_MS] | delay off");
        if (argc == 1)
            high = low;
        if (high < low)
            std::swap(low, high);
        sim->delay_min_ms = low;
        sim->delay_max_ms = high;
        *out = "delay " + std::to_string(low) + "-" + std::to_string(high) + " ms";
        return VTR_SUCCESS;
    }
    if (cmd == "quit" || cmd == "exit") {
        if (winding_down(sim)) {
            *out = "not serving";
            return VTR_INVALIDSTATE;
        }
        // The serving thread ends by itself; nyxsim_stop or nyxsim_delete still joins it.
        sim->stopping = true;
        *out = "quitting";
        return VTR_SUCCESS;
    }
    if (cmd == "socket") {
        if (argc == 1 && w[1] == "stop")
            return socket_command(sim, lock, SOCKET_CLOSE, out);
        if (argc == 1 && w[1] == "start")
            return socket_command(sim, lock, SOCKET_OPEN, out);
        if (argc == 1 && w[1] == "restart")
            return socket_command(sim, lock, SOCKET_REOPEN, out);
        return usage("socket stop|start|restart");
    }
    *out = "unknown command \"" + cmd + "\"; try help";
    return VTR_NOTFOUND;
}

const char HELP[] =
    R"(nyx-sim: a simulated manager service for nyxcli and programs using its API.

usage: nyx-sim [--port N] [--max-clients N] [--state FILE] [--client-timeout MS] [-v]
       nyx-sim --print-state [--state FILE]
       nyx-sim --version

  --port N            UDP port on 127.0.0.1 (default 8899; 0 picks a free one)
  --max-clients N     connects beyond N clients get status 130 (default 8)
  --state FILE        start from the state in FILE ("key = value" lines, see
                      example-state.conf)
  --client-timeout MS a client silent this long is forgotten (default 30000)
  --print-state       print the state as a state file and exit
  -v, --verbose       one line per datagram in and out on standard error
  -h, --help          this text
  --version           print "nyx-sim" and the version, and exit

It prints "nyx-sim: listening on 127.0.0.1:PORT" once it serves, then reads
commands from standard input, one per line. End of input does not stop it;
SIGINT, SIGTERM or the command quit do.

Commands:
  help                       this text
  show                       every state key, the switches and the clients
  clients                    the connected clients
  set KEY = VALUE            change one state file key, push what changed
  name TEXT                  device name (state and name events)
  link up [MBITS]|link down  network link, optionally with its speed
  speed MBITS                link speed
  address A.B.C.D            IPv4 address
  error CODE                 system error, e.g. 0x0301 (0x0011 stopped)
  lock N                     device lock status (0 = unlocked)
  domain none                not enrolled
  domain NAME [locked] [offline]
                             enrolled in NAME; locked forbids configuration,
                             offline means the domain server is unreachable
  push options|state|name|all
                             send the event(s) again to every client
  silent on|off              receive but answer and send nothing at all
  notconnected on|off        answer every request with 129 "Not connected"
  noreply on|off             answer connects and keepalives only
  status CODE|off            status of the next reply to a connect or a
                             service request (not applied unless 1); it
                             replaces a success only
  drop PERCENT               drop that share of outgoing datagrams
  dup PERCENT                send that share of outgoing datagrams twice
  garble size|truncate|opcode|off
                             corrupt outgoing datagrams: a size field 4 too
                             large, the body cut in half, an unknown opcode
  delay MS [MAX_MS]|off      hold each outgoing datagram back MS ms, or a
                             random time from MS to MAX_MS (they overtake)
  socket stop|start|restart  close or reopen the socket; clients are forgotten
  verbose on|off             the datagram trace
  quit                       stop serving (the program ends)
)";

// Counts a public call, so that nyxsim_delete waits until it has returned.
class call_guard {
  public:
    explicit call_guard(nyxsim *sim) : sim_(sim) {
        if (sim_)
            sim_->calls.fetch_add(1);
    }
    ~call_guard() {
        if (!sim_)
            return;
        std::lock_guard<std::mutex> lock(sim_->mutex);
        if (sim_->calls.fetch_sub(1) == 1)
            sim_->changed.notify_all();
    }
    call_guard(const call_guard &) = delete;
    call_guard &operator=(const call_guard &) = delete;

  private:
    nyxsim *sim_;
};

// Lifecycle lock held. Joins the serving thread, then the trace writer once it has written
// what is left.
void stop_locked(nyxsim *sim) {
    {
        std::lock_guard<std::mutex> lock(sim->mutex);
        if (!sim->serving)
            return;
        sim->stopping = true;
        sim->changed.notify_all();
    }
    sim->thread.join();
    {
        std::lock_guard<std::mutex> lock(sim->trace_mutex);
        sim->writer_stop = true;
        sim->trace_ready.notify_all();
    }
    sim->writer.join();
    std::lock_guard<std::mutex> lock(sim->mutex);
    close_socket(sim);
    sim->serving = false;
    sim->changed.notify_all();
}

} // namespace

vtr_error nyxsim_new(const nyxsim_options *options, nyxsim **out) {
    if (!out)
        return VTR_INVALIDPARAMETER;
    *out = nullptr;
    static std::once_flag platform;
    std::call_once(platform, [] { vtr_platform_init(); });
    nyxsim *sim = new (std::nothrow) nyxsim;
    if (!sim)
        return VTR_NOMEMORY;
    if (options)
        sim->options = *options;
    nyxsim_model_defaults(&sim->model);
    sbcp2_message_init_record(&sim->rx);
    sbcp2_message_init_record(&sim->tx);
    *out = sim;
    return VTR_SUCCESS;
}

void nyxsim_delete(nyxsim *sim) {
    if (!sim)
        return;
    nyxsim_stop(sim);
    {
        // Calls still under way (a socket command ends at the stop) finish first.
        std::unique_lock<std::mutex> lock(sim->mutex);
        sim->changed.wait(lock, [sim] { return sim->calls.load() == 0; });
    }
    delete sim;
}

vtr_error nyxsim_load_file(nyxsim *sim, const char *path, std::string *message) {
    std::string ignored;
    if (!message)
        message = &ignored;
    if (!sim || !path)
        return VTR_INVALIDPARAMETER;
    call_guard guard(sim);
    try {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            *message = std::string("cannot open ") + path;
            return VTR_NOTFOUND;
        }
        std::string text;
        char buf[4096];
        while (in.read(buf, sizeof buf) || in.gcount() > 0) {
            text.append(buf, size_t(in.gcount()));
            if (text.size() > (1u << 20)) {
                *message = std::string(path) + ": larger than 1 MiB";
                return VTR_INVALIDDATA;
            }
        }
        std::lock_guard<std::mutex> lock(sim->mutex);
        auto before = std::make_unique<nyxsim_model>(sim->model);
        vtr_error e = nyxsim_model_load_text(&sim->model, text, message);
        if (e != VTR_SUCCESS) {
            *message = std::string(path) + ": " + *message;
            return e;
        }
        push_changes(sim, *before);
        return VTR_SUCCESS;
    } catch (...) {
        *message = "out of memory";
        return VTR_NOMEMORY;
    }
}

vtr_error nyxsim_start(nyxsim *sim) {
    if (!sim)
        return VTR_INVALIDPARAMETER;
    call_guard guard(sim);
    std::lock_guard<std::mutex> life(sim->lifecycle);
    // After a quit the ending thread is joined here, and serving starts afresh.
    bool ended = false;
    {
        std::lock_guard<std::mutex> lock(sim->mutex);
        ended = sim->serving && sim->stopping.load();
    }
    if (ended)
        stop_locked(sim);
    std::lock_guard<std::mutex> lock(sim->mutex);
    if (sim->serving)
        return VTR_INVALIDSTATE;
    vtr_error e = open_socket(sim, sim->options.port);
    if (e != VTR_SUCCESS)
        return e;
    sim->peers.clear();
    sim->received.clear();
    sim->stopping = false;
    sim->loop_ended = false;
    sim->writer_stop = false;
    try {
        sim->writer = std::thread(write_traces, sim);
    } catch (...) {
        close_socket(sim);
        return VTR_NOMEMORY;
    }
    try {
        sim->thread = std::thread(serve, sim);
    } catch (...) {
        {
            std::lock_guard<std::mutex> trace_lock(sim->trace_mutex);
            sim->writer_stop = true;
            sim->trace_ready.notify_all();
        }
        sim->writer.join();
        close_socket(sim);
        return VTR_NOMEMORY;
    }
    sim->serving = true;
    return VTR_SUCCESS;
}

void nyxsim_stop(nyxsim *sim) {
    if (!sim)
        return;
    call_guard guard(sim);
    std::lock_guard<std::mutex> life(sim->lifecycle);
    stop_locked(sim);
}

bool nyxsim_serving(nyxsim *sim) {
    if (!sim)
        return false;
    call_guard guard(sim);
    std::lock_guard<std::mutex> lock(sim->mutex);
    return !winding_down(sim);
}

uint16_t nyxsim_port(nyxsim *sim) {
    if (!sim)
        return 0;
    call_guard guard(sim);
    std::lock_guard<std::mutex> lock(sim->mutex);
    return sim->port;
}

vtr_error nyxsim_command(nyxsim *sim, const char *line, std::string *reply) {
    std::string ignored;
    if (!reply)
        reply = &ignored;
    reply->clear();
    if (!sim || !line)
        return VTR_INVALIDPARAMETER;
    call_guard guard(sim);
    try {
        std::unique_lock<std::mutex> lock(sim->mutex);
        return run_command(sim, lock, line, reply);
    } catch (...) {
        *reply = "out of memory";
        return VTR_NOMEMORY;
    }
}

void nyxsim_get_state(nyxsim *sim, nyx_system_state *state) {
    if (!sim || !state)
        return;
    call_guard guard(sim);
    std::lock_guard<std::mutex> lock(sim->mutex);
    *state = sim->model.state;
}

void nyxsim_get_options(nyxsim *sim, nyx_system_options *options) {
    if (!sim || !options)
        return;
    call_guard guard(sim);
    std::lock_guard<std::mutex> lock(sim->mutex);
    *options = sim->model.options;
}

uint32_t nyxsim_client_count(nyxsim *sim) {
    if (!sim)
        return 0;
    call_guard guard(sim);
    std::lock_guard<std::mutex> lock(sim->mutex);
    return uint32_t(sim->peers.size());
}

bool nyxsim_last_config(nyxsim *sim, nyx_system_config *config) {
    if (!sim)
        return false;
    call_guard guard(sim);
    std::lock_guard<std::mutex> lock(sim->mutex);
    if (sim->has_last_config && config)
        *config = sim->last_config;
    return sim->has_last_config;
}

uint32_t nyxsim_received_count(nyxsim *sim, uint16_t opcode) {
    if (!sim)
        return 0;
    call_guard guard(sim);
    std::lock_guard<std::mutex> lock(sim->mutex);
    auto it = sim->received.find(opcode);
    return it == sim->received.end() ? 0 : it->second;
}

const char *nyxsim_help_text(void) {
    return HELP;
}
