// The working object's runtime and the worker thread that drives it.
#include "api/nyx_api_impl.h"

#include <memory>

namespace {

// The worker never waits longer, so a stop is honoured within about half a second.
constexpr uint32_t kMaxWaitUs = 500000;

void change_fn(nyx_client *client, uint32_t kind) {
    auto *impl = static_cast<NyxApiImpl *>(nyx_client_get_context(client));
    if (impl) {
        impl->on_change(kind);
    }
}

void notification_step(int discarded, vtr_event_loop *, uint32_t id, void *context) {
    auto *impl = static_cast<NyxApiImpl *>(context);
    if (discarded || id != impl->deferred_id) {
        return;
    }
    impl->deferred_id = 0;
    impl->notify();
}

} // namespace

NyxApiImpl::~NyxApiImpl() {
    teardown();
}

vtr_error NyxApiImpl::initialise(NyxApi *handle) {
    vtr_error error = vtr_env_new(VTR_ENV_LOGGER | VTR_ENV_EVENT_LOOP, &env);
    if (error == VTR_SUCCESS) {
        error = vtr_dispatcher_new(env, &dispatcher);
    }
    if (error == VTR_SUCCESS) {
        error = nyx_client_new(env, &client);
    }
    if (error == VTR_SUCCESS) {
        error = nyx_client_start(client);
    }
    if (error != VTR_SUCCESS) {
        teardown();
        return error;
    }
    nyx_client_set_change_fn(client, change_fn);
    nyx_client_set_context(client, this);
    api = handle;
    state.store(NYXAPI_STATE_IDLE);
    return VTR_SUCCESS;
}

void NyxApiImpl::teardown() {
    if (deferred_id != 0 && env) {
        vtr_event_loop_cancel(env->loop, deferred_id, notification_step, this);
    }
    deferred_id = 0;
    if (client) {
        // Nobody is listening any more: the handle is going away.
        nyx_client_set_change_fn(client, nullptr);
        nyx_client_stop(client);
        nyx_client_delete(client);
        client = nullptr;
    }
    if (dispatcher) {
        vtr_dispatcher_delete(dispatcher);
        dispatcher = nullptr;
    }
    if (env) {
        vtr_env_delete(env);
        env = nullptr;
    }
}

void NyxApiImpl::resume_client() {
    if (client_stopped && client && nyx_client_start(client) == VTR_SUCCESS) {
        client_stopped = false;
    }
}

void NyxApiImpl::post_notification() {
    if (deferred_id != 0 || !env) {
        return;
    }
    uint32_t id = 0;
    if (vtr_event_loop_post(env->loop, &id, notification_step, this) == VTR_SUCCESS) {
        deferred_id = id;
    }
}

void NyxApiImpl::on_change(uint32_t kind) {
    if (kind < 32) {
        pending |= 1u << kind;
    }
    if (kind == NYX_CHANGE_REQUEST) {
        if (event_fn) {
            raise(NYXAPI_CHANGE_REQUEST_COMPLETED,
                  NyxApiResultFromError(nyx_client_get_result(client)));
        }
        return;
    }
    post_notification();
}

void NyxApiImpl::notify() {
    uint32_t kinds = pending;
    pending = 0;
    NyxApiChanges changes = 0;
    {
        std::lock_guard<std::mutex> lock(cache_lock);
        if (kinds & (1u << NYX_CHANGE_CONNECTION)) {
            apply_connection_rule(&changes);
        }
        if (kinds & (1u << NYX_CHANGE_VERSION)) {
            apply_connection_rule(&changes);
            merge_version(&changes);
        }
        if (kinds & (1u << NYX_CHANGE_OPTIONS)) {
            apply_connection_rule(&changes);
            merge_options(&changes);
        }
        if (kinds & (1u << NYX_CHANGE_STATE)) {
            apply_connection_rule(&changes);
            merge_state(&changes);
        }
    }
    if (changes != 0 && event_fn) {
        raise(changes, NYXAPI_SUCCESS);
    }
}

void NyxApiImpl::apply_connection_rule(NyxApiChanges *changes) {
    bool connected = client && nyx_client_get_status(client) == NYX_CLIENT_STATUS_CONNECTED &&
                     nyx_client_has_version(client) && nyx_client_has_options(client) &&
                     nyx_client_has_state(client);
    NyxApiState now = connected ? NYXAPI_STATE_CONNECTED : NYXAPI_STATE_DISCONNECTED;
    if (now != state.load()) {
        state.store(now);
        *changes |= NYXAPI_CHANGE_STATE;
    }
}

void NyxApiImpl::raise(NyxApiChanges changes, NyxApiResult result) {
    NyxApiEvent event = {};
    event.size = sizeof(NyxApiEvent);
    event.api = api;
    event.changes = changes;
    event.result = result;
    event_fn(&event);
}

vtr_error NyxApiImpl::prepare(vtr_socket_sets *sets, vtr_time *timeout) {
    for (vtr_socket_set &set : sets->kind) {
        vtr_socket_set_zero(&set);
    }
    sets->count = 0;
    return vtr_dispatcher_prepare(dispatcher, sets, timeout);
}

vtr_error NyxApiImpl::process(vtr_socket_sets *sets) {
    return vtr_dispatcher_process(dispatcher, sets);
}

void NyxApiImpl::halt() {
    if (deferred_id != 0 && env) {
        vtr_event_loop_cancel(env->loop, deferred_id, notification_step, this);
    }
    deferred_id = 0;
    if (client && nyx_client_stop(client) == VTR_SUCCESS) {
        client_stopped = true;
    }
    NyxApiChanges ignored = 0;
    std::lock_guard<std::mutex> lock(cache_lock);
    apply_connection_rule(&ignored);
}

NyxApiThread::~NyxApiThread() {
    stop();
}

vtr_error NyxApiThread::start(std::shared_ptr<NyxApiImpl> working) {
    std::unique_lock<std::mutex> lock(thread_lock);
    if (running.load()) {
        return VTR_INVALIDSTATE;
    }
    impl = std::move(working);
    stop_requested.store(false);
    // Running before the worker exists: its first event may already ask for the state.
    running.store(true);
    try {
        worker = std::thread(&NyxApiThread::body, this, impl.get());
    } catch (...) {
        running.store(false);
        impl.reset();
        return VTR_SYSTEM;
    }
    return VTR_SUCCESS;
}

void NyxApiThread::stop() {
    try {
        std::thread ending;
        {
            std::lock_guard<std::mutex> lock(thread_lock);
            if (!running.load()) {
                return;
            }
            stop_requested.store(true);
            if (worker.joinable() && worker.get_id() == std::this_thread::get_id()) {
                // Called from the event function: the worker ends by itself, a later stop
                // from another thread finishes the job.
                return;
            }
            ending = std::move(worker);
        }
        if (ending.joinable()) {
            ending.join();
        }
        std::lock_guard<std::mutex> lock(thread_lock);
        if (impl) {
            impl->halt();
        }
        impl.reset();
        running.store(false);
    } catch (...) {
        // Stopping must not throw through the C interface; a failed lock leaves it running.
    }
}

void NyxApiThread::body(NyxApiImpl *working) {
    try {
        std::unique_ptr<vtr_socket_sets> sets(new (std::nothrow) vtr_socket_sets);
        {
            std::lock_guard<std::mutex> lock(working->request_lock);
            working->resume_client();
            // The first processing pass reports whatever the client already knows.
            working->post_notification();
        }
        while (!stop_requested.load()) {
            if (sets) {
                iterate(working, sets.get());
            } else {
                vtr_time pause = vtr_time_make(0, kMaxWaitUs);
                vtr_sleep(&pause);
                sets.reset(new (std::nothrow) vtr_socket_sets);
            }
        }
    } catch (...) {
        // Nothing may escape a thread; the worker simply ends and stop still joins it.
    }
}

void NyxApiThread::iterate(NyxApiImpl *working, vtr_socket_sets *sets) {
    vtr_time timeout = {};
    {
        std::lock_guard<std::mutex> lock(working->request_lock);
        if (working->prepare(sets, &timeout) != VTR_SUCCESS) {
            return;
        }
    }
    if (timeout.sec != 0 || timeout.usec > kMaxWaitUs) {
        timeout = vtr_time_make(0, kMaxWaitUs);
    }
    if (sets->count != 0) {
        if (vtr_socket_wait(&sets->kind[VTR_WATCH_READ], &sets->kind[VTR_WATCH_WRITE], &timeout) !=
            VTR_SUCCESS) {
            return;
        }
    } else {
        vtr_sleep(&timeout);
    }
    std::lock_guard<std::mutex> lock(working->request_lock);
    working->process(sets);
}
