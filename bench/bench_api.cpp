// Measures the exported interface against the in-process simulated manager:
// - a request's round trip (setter call to its REQUEST_COMPLETED event), beside a raw UDP
//   ping-pong between two threads on loopback measured in the same run;
// - the worker's idle cost while connected (wake-ups and CPU time, scaled to a minute);
// - how long NyxApiStop takes on a connected handle (median and worst over many stops);
// - the process's peak memory.
// Uses port 8899: run it through tools/netns-run.
#include "api/nyx_api.h"
#include "client/nyx_bodies.h"
#include "client/nyx_client.h"
#include "sim/sim.h"
#include "vtr/vtr.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

struct Waiter {
    std::mutex lock;
    std::condition_variable cv;
    uint64_t completed = 0;
    uint64_t changes = 0;
    NyxApiResult result = NYXAPI_SUCCESS;
    Clock::time_point completed_at;
};

void on_event(const NyxApiEvent *event) {
    auto *w = static_cast<Waiter *>(NyxApiGetContext(event->api));
    Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> guard(w->lock);
    if (event->changes & NYXAPI_CHANGE_REQUEST_COMPLETED) {
        ++w->completed;
        w->result = event->result;
        w->completed_at = now;
    } else {
        ++w->changes;
    }
    w->cv.notify_all();
}

struct Stats {
    double median_us;
    double p99_us;
};

Stats summarise(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return samples[static_cast<size_t>(q * (samples.size() - 1))]; };
    return Stats{at(0.5), at(0.99)};
}

// Raw loopback: the main thread sends, an echo thread answers, the main thread reads.
Stats udp_ping_pong(int rounds, size_t size) {
    vtr_address any = {};
    vtr_address_set_ipv4(&any, VTR_AF_INET, "127.0.0.1", 0);
    vtr_socket echo = VTR_SOCKET_INVALID, pinger = VTR_SOCKET_INVALID;
    vtr_socket_open_udp(&echo, VTR_AF_INET);
    vtr_socket_bind(echo, &any);
    vtr_address echo_address = {};
    vtr_socket_get_local_address(echo, &echo_address);
    vtr_socket_connect_udp(&pinger, &echo_address);

    std::thread echoer([&] {
        std::vector<uint8_t> buffer(2048);
        for (int i = 0; i < rounds + 10; ++i) {
            size_t length = buffer.size();
            vtr_address from = {};
            if (vtr_socket_recvfrom(echo, buffer.data(), &length, &from) != VTR_SUCCESS) {
                return;
            }
            vtr_socket_sendto(echo, buffer.data(), &length, &from);
        }
    });
    std::vector<uint8_t> out(size, 0x5a), in(2048);
    std::vector<double> samples;
    for (int i = 0; i < rounds + 10; ++i) {
        Clock::time_point start = Clock::now();
        size_t length = out.size();
        vtr_socket_send(pinger, out.data(), &length);
        length = in.size();
        vtr_socket_recv(pinger, in.data(), &length);
        if (i >= 10) {
            samples.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    echoer.join();
    vtr_socket_close(&pinger);
    vtr_socket_close(&echo);
    return summarise(samples);
}

// The manager alone: a bare client sends SET_CONFIG datagrams straight to the simulator and
// reads the responses, without the API, its worker or the service client.
Stats manager_round_trip(nyxsim *sim, int rounds) {
    vtr_address manager = {};
    vtr_address_set_ipv4(&manager, VTR_AF_INET, "127.0.0.1", NYX_MANAGER_PORT);
    vtr_socket sock = VTR_SOCKET_INVALID;
    vtr_socket_connect_udp(&sock, &manager);
    vtr_address local = {};
    vtr_socket_get_local_address(sock, &local);
    sbcp2_id id = {};
    id.port = vtr_address_port(&local);
    static sbcp2_message tx, rx;
    sbcp2_message_init_record(&tx);
    sbcp2_message_init_record(&rx);
    sbcp2_message_set_id(tx.buffer, &id);
    uint16_t seqnum = 0;
    // Sends tx and reads until the response to it arrives (events are skipped).
    auto exchange = [&] {
        sbcp2_message_set_seqnum(tx.buffer, ++seqnum);
        size_t length = sbcp2_message_get_size(tx.buffer);
        vtr_socket_send(sock, tx.buffer, &length);
        for (;;) {
            length = sizeof rx.buffer;
            if (vtr_socket_recv(sock, rx.buffer, &length) != VTR_SUCCESS) {
                std::fprintf(stderr, "manager round trip: receive failed\n");
                std::exit(1);
            }
            if (sbcp2_message_get_status(rx.buffer) != SBCP2_STATUS_EVENT &&
                sbcp2_message_get_seqnum(rx.buffer) == seqnum) {
                return;
            }
        }
    };
    sbcp2_message_init_head(&tx, NYX_PROTOCOL_VERSION, SBCP2_OPCODE_CONNECT);
    nyx_encode_connect(&tx, 3);
    exchange();

    nyx_system_state state = {};
    nyxsim_get_state(sim, &state);
    nyx_system_config config = state.config;
    std::vector<double> samples;
    for (int i = 0; i < rounds + 10; ++i) {
        config.asio.asio_buffer_size = config.asio.asio_buffer_size == 64 ? 128 : 64;
        Clock::time_point start = Clock::now();
        sbcp2_message_init_head(&tx, NYX_PROTOCOL_VERSION, NYX_OPCODE_SET_CONFIG);
        uint16_t offset = 0;
        nyx_encode_system_config(&tx, &config, &offset);
        exchange();
        if (i >= 10) {
            samples.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    sbcp2_message_init_head(&tx, NYX_PROTOCOL_VERSION, SBCP2_OPCODE_DISCONNECT);
    sbcp2_message_set_seqnum(tx.buffer, ++seqnum);
    size_t length = sbcp2_message_get_size(tx.buffer);
    vtr_socket_send(sock, tx.buffer, &length);
    vtr_socket_close(&sock);
    return summarise(samples);
}

Stats api_round_trip(NyxApi *api, Waiter &w, int rounds) {
    uint64_t count = 16;
    uint32_t sizes[16];
    NyxApiAvailableASIOBufferSizes(api, &count, sizes);
    if (count < 2) {
        std::fprintf(stderr, "need two ASIO buffer sizes, have %llu\n",
                     static_cast<unsigned long long>(count));
        std::exit(1);
    }
    uint32_t current = 0;
    NyxApiGetASIOBufferSize(api, &current);
    std::vector<double> samples;
    for (int i = 0; i < rounds + 10; ++i) {
        uint32_t next = sizes[0] == current ? sizes[1] : sizes[0];
        std::unique_lock<std::mutex> guard(w.lock);
        uint64_t completed = w.completed, changes = w.changes;
        guard.unlock();
        Clock::time_point start = Clock::now();
        NyxApiResult result = NyxApiSetASIOBufferSize(api, next);
        if (result != NYXAPI_SUCCESS) {
            std::fprintf(stderr, "setter failed: %u\n", result);
            std::exit(1);
        }
        guard.lock();
        // Each request brings its completion and then the change it made.
        if (!w.cv.wait_for(guard, std::chrono::seconds(5),
                           [&] { return w.completed > completed && w.changes > changes; })) {
            std::fprintf(stderr, "no answer to request %d\n", i);
            std::exit(1);
        }
        if (i >= 10) {
            samples.push_back(
                std::chrono::duration<double, std::micro>(w.completed_at - start).count());
        }
        current = next;
    }
    return summarise(samples);
}

// Start, wait for the connection, then time the stop alone; the handle is reused.
struct StopStats {
    double median_ms;
    double worst_ms;
};

StopStats stop_latency(NyxApi *api, int stops) {
    std::vector<double> samples;
    for (int i = 0; i < stops; ++i) {
        NyxApiStart(api);
        Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
        while (NyxApiGetState(api) != NYXAPI_STATE_CONNECTED && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        // Let the worker settle into its wait, as an application's stop usually finds it.
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + i % 7));
        Clock::time_point start = Clock::now();
        NyxApiStop(api);
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    return StopStats{samples[samples.size() / 2], samples.back()};
}

struct ThreadTimes {
    double cpu_s = 0;
    uint64_t switches = 0;
};

std::set<std::string> thread_ids() {
    std::set<std::string> ids;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (dirent *entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                ids.insert(entry->d_name);
            }
        }
        closedir(dir);
    }
    return ids;
}

ThreadTimes thread_times(const std::string &tid) {
    ThreadTimes t;
    // Nanoseconds on the CPU; the tick counts of /proc/.../stat are too coarse for an idle
    // thread.
    std::ifstream schedstat("/proc/self/task/" + tid + "/schedstat");
    unsigned long long ns = 0;
    if (schedstat >> ns) {
        t.cpu_s = ns / 1e9;
    }
    std::ifstream status("/proc/self/task/" + tid + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
            line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
            t.switches += std::stoull(line.substr(line.find(':') + 1));
        }
    }
    return t;
}

double process_cpu_s() {
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char **argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 5000;
    int idle_seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    int stops = argc > 3 ? std::max(1, std::atoi(argv[3])) : 200;
    vtr_platform_init();

    nyxsim_options options;
    nyxsim *sim = nullptr;
    if (nyxsim_new(&options, &sim) != VTR_SUCCESS || nyxsim_start(sim) != VTR_SUCCESS) {
        std::fprintf(stderr, "cannot start the simulated manager (port 8899 taken?)\n");
        return 1;
    }
    Stats udp = udp_ping_pong(rounds, 512);
    Stats bare = manager_round_trip(sim, rounds);

    Waiter w;
    NyxApi *api = nullptr;
    NyxApiNew(&api);
    NyxApiSetContext(api, &w);
    NyxApiSetEventFn(api, on_event);
    std::set<std::string> before = thread_ids();
    NyxApiStart(api);
    std::string worker;
    for (const std::string &id : thread_ids()) {
        if (!before.count(id)) {
            worker = id;
        }
    }
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (NyxApiGetState(api) != NYXAPI_STATE_CONNECTED && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (NyxApiGetState(api) != NYXAPI_STATE_CONNECTED) {
        std::fprintf(stderr, "not connected\n");
        return 1;
    }
    Stats rt = api_round_trip(api, w, rounds);

    ThreadTimes idle_start = thread_times(worker);
    double process_start = process_cpu_s();
    std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
    ThreadTimes idle_end = thread_times(worker);
    double process_end = process_cpu_s();
    double scale = 60.0 / idle_seconds;

    NyxApiStop(api);
    StopStats stop = stop_latency(api, stops);
    NyxApiDelete(api);
    nyxsim_delete(sim);

    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("requests: %d\n", rounds);
    std::printf("api round trip   median %8.1f us   p99 %8.1f us\n", rt.median_us, rt.p99_us);
    std::printf("udp ping-pong    median %8.1f us   p99 %8.1f us\n", udp.median_us, udp.p99_us);
    std::printf("ratio            median %8.2f x    p99 %8.2f x\n", rt.median_us / udp.median_us,
                rt.p99_us / udp.p99_us);
    std::printf("manager alone    median %8.1f us   p99 %8.1f us   (bare SET_CONFIG exchange)\n",
                bare.median_us, bare.p99_us);
    std::printf("api over manager median %8.1f us\n", rt.median_us - bare.median_us);
    std::printf("worker idle (per minute, measured over %d s): %.0f wake-ups, %.2f ms CPU\n",
                idle_seconds, (idle_end.switches - idle_start.switches) * scale,
                (idle_end.cpu_s - idle_start.cpu_s) * scale * 1000);
    std::printf("process idle CPU (manager included): %.1f ms per minute\n",
                (process_end - process_start) * scale * 1000);
    std::printf("stop (%d stops)  median %8.2f ms   worst %6.2f ms\n", stops, stop.median_ms,
                stop.worst_ms);
    std::printf("peak memory (ru_maxrss): %.1f MiB\n", usage.ru_maxrss / 1024.0);
    return 0;
}
