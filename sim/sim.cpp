#include "sim/sim.h"

#include "sim/sim_internal.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <new>
#include <utility>

namespace {

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
            nyxsim_trace(sim,
                         [&] { return std::string("ignored a datagram longer than 1472 bytes"); });
            continue;
        }
        // A client's closed port reported back on some platforms.
        if (e == VTR_CONNRESET || e == VTR_CONNREFUSED)
            continue;
        if (e != VTR_SUCCESS) {
            char text[VTR_ERROR_TEXT_SIZE];
            nyxsim_trace(sim, [&] {
                return std::string(std::string("receive failed: ") + vtr_error_text(e, text));
            });
            return;
        }
        nyxsim_handle_datagram(sim, &from, length);
    }
}

void serve_loop(nyxsim *sim) {
    while (!sim->stopping.load()) {
        vtr_socket sock;
        std::chrono::milliseconds wait;
        {
            std::lock_guard<std::mutex> lock(sim->mutex);
            if (nyxsim_socket_job *job = sim->job) {
                vtr_error e = VTR_SUCCESS;
                if (job->what != NYXSIM_SOCKET_OPEN)
                    close_socket(sim);
                if (job->what != NYXSIM_SOCKET_CLOSE && !vtr_socket_is_valid(sim->sock))
                    e = open_socket(sim, sim->port);
                job->result = e;
                job->reply = "socket " + nyxsim_modes_text(sim);
                job->done = true;
                sim->job = nullptr;
                sim->changed.notify_all();
            }
            nyxsim_expire_peers(sim);
            wait = nyxsim_send_due(sim);
            sock = sim->sock;
        }
        if (!vtr_socket_is_valid(sock)) {
            std::this_thread::sleep_for(
                std::chrono::milliseconds(NYXSIM_POLL_INTERVAL.usec / 1000));
            continue;
        }
        // Only this thread closes the socket, so it stays valid through the wait.
        vtr_socket_set_zero(&sim->readable);
        vtr_socket_set_zero(&sim->writable);
        vtr_socket_set_add(&sim->readable, sock);
        const vtr_time timeout = {0, uint32_t(wait.count() * 1000)};
        vtr_error e = vtr_socket_wait(&sim->readable, &sim->writable, &timeout);
        if (e != VTR_SUCCESS) {
            std::this_thread::sleep_for(
                std::chrono::milliseconds(NYXSIM_POLL_INTERVAL.usec / 1000));
            continue;
        }
        if (sim->readable.count == 0)
            continue;
        std::lock_guard<std::mutex> lock(sim->mutex);
        try {
            receive(sim);
        } catch (const std::bad_alloc &) {
            // The datagram is lost; the next one may find memory again.
            nyxsim_trace(sim,
                         [&] { return std::string("out of memory while handling a datagram"); });
        }
    }
}

void serve(nyxsim *sim) {
    try {
        serve_loop(sim);
    } catch (const std::exception &e) {
        // The service ends as if stopped. Written at once: the trace may be what failed.
        fprintf(stderr, "nyx-sim: serving ended: %s\n", e.what());
    }
    std::lock_guard<std::mutex> lock(sim->mutex);
    sim->loop_ended = true;
    sim->changed.notify_all();
}

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

// Lets the trace writer write what is left, and joins it.
void stop_writer(nyxsim *sim) {
    {
        std::lock_guard<std::mutex> lock(sim->trace_mutex);
        sim->writer_stop = true;
        sim->trace_ready.notify_all();
    }
    sim->writer.join();
}

// Lifecycle lock held. Joins the serving thread, then the trace writer.
void stop_locked(nyxsim *sim) {
    {
        std::lock_guard<std::mutex> lock(sim->mutex);
        if (!sim->serving)
            return;
        sim->stopping = true;
        sim->changed.notify_all();
    }
    sim->thread.join();
    stop_writer(sim);
    std::lock_guard<std::mutex> lock(sim->mutex);
    close_socket(sim);
    sim->serving = false;
    sim->changed.notify_all();
}

// Runs a public call's body; an exception it lets out becomes an error, said in *message.
template <typename Body> vtr_error guarded(std::string *message, Body body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        *message = "out of memory";
        return VTR_NOMEMORY;
    } catch (const std::exception &e) {
        *message = e.what();
        return VTR_SYSTEM;
    }
}

} // namespace

bool nyxsim_winding_down(const nyxsim *sim) {
    return !sim->serving || sim->loop_ended || sim->stopping.load();
}

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
    return guarded(message, [&]() -> vtr_error {
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
        nyxsim_push_changes(sim, *before);
        return VTR_SUCCESS;
    });
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
        sim->writer = std::thread(nyxsim_trace_write, sim);
        sim->thread = std::thread(serve, sim);
    } catch (const std::exception &e) {
        // There is no trace to say it through yet.
        fprintf(stderr, "nyx-sim: cannot start a thread: %s\n", e.what());
        if (sim->writer.joinable())
            stop_writer(sim);
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
    return !nyxsim_winding_down(sim);
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
    return guarded(reply, [&] {
        std::unique_lock<std::mutex> lock(sim->mutex);
        return nyxsim_run_command(sim, lock, line, reply);
    });
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
