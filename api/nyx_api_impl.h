// Inside of a NyxApi handle: the working object (service client, runtime, cache) and the
// worker thread that drives it.
//
// Locks: the thread lock (NyxApiThread) serialises start and stop; the request lock is held
// by the worker while it prepares and processes and by every export that touches the service
// client; the cache lock guards the cached model. Order: request before cache, thread before
// cache; the thread and request locks are never held together.
#pragma once

#include "api/nyx_api.h"
#include "client/nyx_client.h"
#include "vtr/vtr.h"

#include <atomic>
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
    void resume_client();
    vtr_error prepare(vtr_socket_sets *sets, vtr_time *timeout);
    vtr_error process(vtr_socket_sets *sets);
    void post_notification();

    // Thread stop, after the worker has ended.
    void halt();

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
    nyx_client *client = nullptr;
    NyxApiEventFn event_fn = nullptr;
    void *context = nullptr;
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

class NyxApiThread {
  public:
    NyxApiThread() = default;
    NyxApiThread(const NyxApiThread &) = delete;
    NyxApiThread &operator=(const NyxApiThread &) = delete;
    ~NyxApiThread();

    vtr_error start(std::shared_ptr<NyxApiImpl> impl);
    void stop();
    bool is_running() const { return running.load(); }

  private:
    void body(NyxApiImpl *impl);
    void iterate(NyxApiImpl *impl, vtr_socket_sets *sets);

    std::mutex thread_lock;
    std::shared_ptr<NyxApiImpl> impl;
    std::thread worker;
    std::atomic<bool> running{false};
    std::atomic<bool> stop_requested{false};
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
