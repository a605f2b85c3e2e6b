// Inside of a NyxApi handle: the working object (service client, runtime, cache) and the
// worker thread that drives it.
//
// Locks: the thread lock (NyxApiThread) serialises start, stop and delete and is held while a
// stop joins the worker; the request lock is held by the worker while it prepares and
// processes and by every export that touches the service client; the cache lock guards the
// cached model. Order: request before cache, thread before cache. The worker takes the
// thread lock only after its last pass, to free a handle deleted from the event function (a
// stop racing that delete is the caller's fault), so a stop may hold it across the join.
//
// Application code (the event function) runs on the worker only inside a processing pass,
// that is with the request lock held: exports called from there know it by the thread and
// do not take it again, and start, stop and delete are only recorded, to act after the pass.
#pragma once

#include "api/nyx_api.h"
#include "client/nyx_client.h"
#include "vtr/vtr.h"

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class NyxApiImpl;
class NyxApiThread;

struct NyxApi {
    std::shared_ptr<NyxApiThread> thread;
    std::shared_ptr<NyxApiImpl> impl;
};

// Internal on purpose: C++ linkage keeps it out of the exported NyxApi names.
NyxApiResult NyxApiResultFromError(vtr_error error);

// Stops the worker (from any other thread), tears the handle down and frees it.
void nyx_api_destroy(NyxApi *api) noexcept;
// Handles made and not yet freed, in this process; tests watch it for leaks.
size_t nyx_api_live_handles();

bool nyx_api_interface_equal(const NyxApiInterface &a, const NyxApiInterface &b);

class NyxApiImpl {
  public:
    NyxApiImpl() = default;
    NyxApiImpl(const NyxApiImpl &) = delete;
    NyxApiImpl &operator=(const NyxApiImpl &) = delete;
    ~NyxApiImpl();

    vtr_error initialise(NyxApi *handle);
    void teardown();

    // Worker side, all with the request lock held.
    bool on_worker() const { return worker_id.load() == std::this_thread::get_id(); }
    void resume_client();
    vtr_error prepare(vtr_socket_sets *sets, vtr_time *timeout);
    vtr_error process(vtr_socket_sets *sets);
    void post_notification();

    // The worker's last step, after its last pass.
    void halt();

    // Ends the worker's current wait at once; any thread.
    void wake_worker();
    // Empties the wake-up socket; the worker, after its wait.
    void drain_wake();
    // An exception that reached the boundary of application or worker code.
    void log_exception(const char *function, std::exception_ptr error);

    void on_change(uint32_t kind);
    void notify();

    // The three merges and the connection rule; cache lock held.
    void apply_connection_rule(NyxApiChanges *changes);
    void merge_version(NyxApiChanges *changes);
    void merge_options(NyxApiChanges *changes);
    void merge_state(NyxApiChanges *changes);

    void raise(NyxApiChanges changes, NyxApiResult result);
    bool domain_locked() const;

    NyxApi *api = nullptr;
    vtr_env *env = nullptr;
    vtr_dispatcher *dispatcher = nullptr;
    std::mutex request_lock;
    // Exports waiting for the request lock: the worker lets them in between its passes, which
    // a busy socket would otherwise run back to back.
    std::atomic<uint32_t> request_waiters{0};
    nyx_client *client = nullptr;
    // Set while the handle runs; read by the worker at each use.
    std::atomic<NyxApiEventFn> event_fn{nullptr};
    std::atomic<void *> context{nullptr};
    // The worker thread while it runs, so that exports can tell they are called from it.
    std::atomic<std::thread::id> worker_id{};
    // A datagram to this socket, which the worker waits on too, wakes it.
    vtr_socket wake = VTR_SOCKET_INVALID;
    vtr_address wake_address = {};
    uint32_t deferred_id = 0;
    uint32_t pending = 0;
    // Set when a stop has stopped the service client, so the next start starts it again.
    bool client_stopped = false;

    std::mutex cache_lock;
    bool running = false;
    uint32_t device_lock_status = 0;
    uint32_t status = 0;
    std::vector<NyxApiInterface> available_interfaces;
    NyxApiInterface iface = {};
    std::vector<uint32_t> available_channel_counts;
    uint32_t channel_count = 0;
    std::vector<uint32_t> available_corvo_latencies;
    uint32_t corvo_latency = 0;
    std::vector<NyxApiAudioInterface> available_audio_interfaces;
    NyxApiAudioInterface audio_interface = NYXAPI_AUDIO_INTERFACE_NONE;
    std::vector<uint32_t> available_asio_buffer_sizes;
    uint32_t asio_buffer_size = 0;
    std::vector<uint16_t> available_asio_encodings;
    uint16_t asio_encoding = 0;
    std::vector<uint32_t> available_asio_latencies;
    uint32_t asio_latency = 0;
    char device_name[32] = {};
    NyxApiNetworkStatus network_status = {};
    NyxApiDomainInfo domain_info = {};
    std::atomic<NyxApiState> state{NYXAPI_STATE_IDLE};
    NyxApiVersion server_version = {};
};

class NyxApiThread : public std::enable_shared_from_this<NyxApiThread> {
  public:
    NyxApiThread() = default;
    NyxApiThread(const NyxApiThread &) = delete;
    NyxApiThread &operator=(const NyxApiThread &) = delete;
    ~NyxApiThread();

    // Neither may be called on the worker thread.
    vtr_error start(std::shared_ptr<NyxApiImpl> impl);
    void stop();
    // From the event function: the worker stops (and frees the handle) after its pass.
    void stop_from_worker(bool then_delete);
    bool is_running() const { return running.load(); }

  private:
    static void body(std::shared_ptr<NyxApiThread> self, std::shared_ptr<NyxApiImpl> impl);
    void iterate(NyxApiImpl *impl, vtr_socket_sets *sets);
    // Thread lock held: waits for a worker that is ending and forgets it.
    void join_locked();

    std::mutex thread_lock;
    std::shared_ptr<NyxApiImpl> impl;
    std::thread worker;
    // Cleared by the worker once it has halted, so a self-stopped handle reads IDLE at once.
    std::atomic<bool> running{false};
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> delete_requested{false};
};

// The request lock for an export; not taken again on the worker, which holds it whenever
// the event function runs.
class NyxApiRequestLock {
  public:
    explicit NyxApiRequestLock(NyxApiImpl &impl) {
        if (!impl.on_worker()) {
            struct Waiting {
                std::atomic<uint32_t> &count;
                ~Waiting() { count.fetch_sub(1); }
            } waiting{impl.request_waiters};
            waiting.count.fetch_add(1);
            lock = std::unique_lock<std::mutex>(impl.request_lock);
        }
    }

  private:
    std::unique_lock<std::mutex> lock;
};

// Runs an export body, turning an escaping exception into a result.
template <class F> NyxApiResult nyx_api_guard(F &&f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc &) {
        return NYXAPI_NOMEMORY;
    } catch (...) {
        return NYXAPI_OTHER;
    }
}

// The working object of a handle, or nullptr.
inline NyxApiImpl *nyx_api_impl(NyxApi *api) {
    return api ? api->impl.get() : nullptr;
}
