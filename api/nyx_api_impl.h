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
// The types carry the rules: what needs the request lock takes a NyxApiRequestLock, and the
// cached model is reached only through lock_cache(), whose result is the cache lock itself.
// The merges run inside a processing pass, so they hold both.
//
// Application code (the event function) runs on the worker only inside a processing pass,
// that is with the request lock held: exports called from there know it by the thread and
// do not take it again, and start, stop and delete are only recorded, to act after the pass.
// The cache lock is never held while application code runs.
#pragma once

#include "api/nyx_api.h"
#include "client/nyx_client.h"
#include "vtr/vtr.h"

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
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

// An exception that reached a boundary, as one error line; no logger drops it.
void nyx_api_log_exception(vtr_logger *logger, const char *function,
                           std::exception_ptr error) noexcept;

// What the getters report: the service's last state as the merges left it.
struct NyxApiCache {
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
    NyxApiVersion server_version = {};

    // A reachable domain that forbids local configuration.
    bool domain_locked() const {
        return domain_info.connected == 1 && domain_info.enrolled == 1 &&
               domain_info.configurationAllowed == 0;
    }
};

// A value reached only through its lock.
template <class T> class NyxApiGuarded {
  public:
    // The lock and the value it opens; the reference is good while this lives.
    class Locked {
      public:
        explicit Locked(NyxApiGuarded &guarded) : lock(guarded.mutex), value(guarded.value) {}
        T &operator*() const { return value; }
        T *operator->() const { return &value; }

      private:
        std::unique_lock<std::mutex> lock;
        T &value;
    };

    Locked lock() { return Locked(*this); }

  private:
    std::mutex mutex;
    T value{};
};

using NyxApiCacheLock = NyxApiGuarded<NyxApiCache>::Locked;

// The request lock, and the proof of it for whatever needs it held.
class NyxApiRequestLock {
  public:
    // For an export: not taken again on the worker, which holds it whenever the event
    // function runs.
    explicit NyxApiRequestLock(NyxApiImpl &impl);

  private:
    friend class NyxApiThread;
    // The worker's own passes: always taken.
    struct WorkerPass {};
    NyxApiRequestLock(NyxApiImpl &impl, WorkerPass);

    std::unique_lock<std::mutex> lock;
};

class NyxApiImpl {
  public:
    NyxApiImpl() = default;
    NyxApiImpl(const NyxApiImpl &) = delete;
    NyxApiImpl &operator=(const NyxApiImpl &) = delete;
    ~NyxApiImpl();

    vtr_error initialise(NyxApi *handle);
    void teardown();

    // Any thread, no lock.
    NyxApi *handle() const { return api; }
    NyxApiState state() const { return connection_state.load(); }
    void set_event_fn(NyxApiEventFn fn) { event_fn.store(fn); }
    void set_context(void *value) { app_context.store(value); }
    void *context() const { return app_context.load(); }
    vtr_logger *logger() const { return env ? env->logger : nullptr; }
    // An exception that reached the boundary of application, worker or export code.
    void log_exception(const char *function, std::exception_ptr error) const noexcept;

    NyxApiCacheLock lock_cache() { return cache.lock(); }
    nyx_client *service_client(const NyxApiRequestLock &) const { return client; }

    // The worker thread: it marks itself while it runs, so that exports can tell they are
    // called from it.
    bool on_worker() const { return worker_id.load() == std::this_thread::get_id(); }
    void attach_worker() { worker_id.store(std::this_thread::get_id()); }
    void detach_worker() { worker_id.store(std::thread::id()); }
    bool requests_waiting() const { return request_waiters.load() != 0; }

    // One processing pass, on the worker or on a thread that drives the handle instead.
    // The first pass after a start reports whatever the client already knows.
    void begin(const NyxApiRequestLock &);
    vtr_error prepare(const NyxApiRequestLock &, vtr_socket_sets *sets, vtr_time *timeout);
    vtr_error process(const NyxApiRequestLock &, vtr_socket_sets *sets);
    // The worker's last step, after its last pass.
    void halt(const NyxApiRequestLock &);

    // A datagram to this socket, which the worker waits on too, wakes it.
    vtr_socket wake_socket() const { return wake; }
    // Ends the worker's current wait at once; any thread.
    void wake_worker();
    // Empties the wake-up socket; the worker, after its wait.
    void drain_wake();

  private:
    friend class NyxApiRequestLock;

    // All inside a processing pass, from the client's and the event loop's callbacks.
    static void change_fn(nyx_client *client, uint32_t kind);
    static void notification_step(int discarded, vtr_event_loop *, uint32_t id, void *context);
    void post_notification();
    void on_change(uint32_t kind);
    void notify();
    void raise(NyxApiChanges changes, NyxApiResult result);

    // The connection rule and the three merges; the cache is the one lock_cache() opened.
    void apply_connection_rule(NyxApiCache &, NyxApiChanges *changes);
    void merge_version(NyxApiCache &cached, NyxApiChanges *changes) const;
    void merge_options(NyxApiCache &cached, NyxApiChanges *changes) const;
    void merge_state(NyxApiCache &cached, NyxApiChanges *changes) const;

    NyxApi *api = nullptr;
    vtr_env *env = nullptr;
    std::mutex request_lock;
    // Exports waiting for the request lock: the worker lets them in between its passes, which
    // a busy socket would otherwise run back to back.
    std::atomic<uint32_t> request_waiters{0};
    // Set while the handle runs; read by the worker at each use.
    std::atomic<NyxApiEventFn> event_fn{nullptr};
    std::atomic<void *> app_context{nullptr};
    std::atomic<std::thread::id> worker_id{};
    vtr_socket wake = VTR_SOCKET_INVALID;
    vtr_address wake_address = {};

    // The service client and what the passes keep: only with the request lock held, or while
    // no worker can run (setting up, tearing down).
    vtr_dispatcher *dispatcher = nullptr;
    nyx_client *client = nullptr;
    uint32_t deferred_id = 0;
    uint32_t pending = 0;
    // Set when a stop has stopped the service client, so the next start starts it again.
    bool client_stopped = false;

    NyxApiGuarded<NyxApiCache> cache;
    // Written with the cache lock held, next to the merges; read without it.
    std::atomic<NyxApiState> connection_state{NYXAPI_STATE_IDLE};
};

inline NyxApiRequestLock::NyxApiRequestLock(NyxApiImpl &impl) {
    if (!impl.on_worker()) {
        struct Waiting {
            std::atomic<uint32_t> &count;
            ~Waiting() { count.fetch_sub(1); }
        } waiting{impl.request_waiters};
        waiting.count.fetch_add(1);
        lock = std::unique_lock<std::mutex>(impl.request_lock);
    }
}

inline NyxApiRequestLock::NyxApiRequestLock(NyxApiImpl &impl, WorkerPass)
    : lock(impl.request_lock) {}

class NyxApiThread : public std::enable_shared_from_this<NyxApiThread> {
  public:
    NyxApiThread() = default;
    NyxApiThread(const NyxApiThread &) = delete;
    NyxApiThread &operator=(const NyxApiThread &) = delete;
    ~NyxApiThread();

    // Neither may be called on the worker thread. A failure to stop is logged to `logger`.
    vtr_error start(std::shared_ptr<NyxApiImpl> impl);
    void stop(vtr_logger *logger) noexcept;
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

// Runs an export body, turning an escaping exception into a result. What was caught goes to
// the handle's logger, if there is a handle.
template <class F>
NyxApiResult nyx_api_guard(const NyxApiImpl *impl, const char *function, F &&f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc &) {
        nyx_api_log_exception(impl ? impl->logger() : nullptr, function, std::current_exception());
        return NYXAPI_NOMEMORY;
    } catch (...) {
        nyx_api_log_exception(impl ? impl->logger() : nullptr, function, std::current_exception());
        return NYXAPI_OTHER;
    }
}

// The working object of a handle, or nullptr.
inline NyxApiImpl *nyx_api_impl(NyxApi *api) {
    return api ? api->impl.get() : nullptr;
}
