// The working object's runtime and the worker thread that drives it.
#include "api/nyx_api_impl.h"

#include <chrono>
#include <memory>
#include <new>

namespace {

// The worker never waits longer, so a stop is honoured within about half a second.
constexpr uint32_t kMaxWaitUs = 500000;

constexpr int kHandOverSteps = 100;

// Drained on every wake-up; a few bytes at most wait in it.
constexpr int kWakeDrainMax = 64;

} // namespace

NyxApiImpl::~NyxApiImpl() {
    teardown();
}

void NyxApiImpl::change_fn(nyx_client *client, uint32_t kind) {
    auto *impl = static_cast<NyxApiImpl *>(nyx_client_get_context(client));
    if (impl) {
        impl->on_change(kind);
    }
}

void NyxApiImpl::notification_step(int discarded, vtr_event_loop *, uint32_t id, void *context) {
    auto *impl = static_cast<NyxApiImpl *>(context);
    if (id != impl->deferred_id) {
        return;
    }
    impl->deferred_id = 0;
    if (discarded) {
        // Dropped from a pass that an exception cut short: try again in the next one (a queue
        // being torn down refuses the post).
        impl->post_notification();
        return;
    }
    try {
        impl->notify();
    } catch (...) {
        impl->log_exception("nyx_api_notification_step", std::current_exception());
    }
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
    vtr_address loopback = {};
    if (error == VTR_SUCCESS) {
        error = vtr_address_set_ipv4(&loopback, VTR_AF_INET, "127.0.0.1", 0);
    }
    if (error == VTR_SUCCESS) {
        error = vtr_socket_open_udp(&wake, VTR_AF_INET);
    }
    if (error == VTR_SUCCESS) {
        error = vtr_socket_bind(wake, &loopback);
    }
    if (error == VTR_SUCCESS) {
        error = vtr_socket_get_local_address(wake, &wake_address);
    }
    if (error == VTR_SUCCESS) {
        error = vtr_socket_set_blocking(wake, false);
    }
    if (error != VTR_SUCCESS) {
        teardown();
        return error;
    }
    nyx_client_set_change_fn(client, change_fn);
    nyx_client_set_context(client, this);
    api = handle;
    connection_state.store(NYXAPI_STATE_IDLE);
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
    if (vtr_socket_is_valid(wake)) {
        vtr_socket_close(&wake);
    }
}

void NyxApiImpl::wake_worker() {
    uint8_t byte = 0;
    size_t length = 1;
    vtr_socket_sendto(wake, &byte, &length, &wake_address);
}

void NyxApiImpl::drain_wake() {
    uint8_t buffer[16];
    for (int i = 0; i < kWakeDrainMax; ++i) {
        size_t length = sizeof buffer;
        if (vtr_socket_recv(wake, buffer, &length) != VTR_SUCCESS) {
            return;
        }
    }
}

void nyx_api_log_exception(vtr_logger *logger, const char *function,
                           std::exception_ptr error) noexcept {
    // The exception_ptr keeps the exception, and so its text, alive.
    const char *what = "unknown exception";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        what = e.what();
    } catch (...) {
        // Not a std::exception: it has no text, the line says so.
    }
    vtr_log(logger, VTR_LOG_ERROR, "%s: caught exception: %s\n", function, what);
}

void NyxApiImpl::log_exception(const char *function, std::exception_ptr error) const noexcept {
    nyx_api_log_exception(logger(), function, std::move(error));
}

void NyxApiImpl::begin(const NyxApiRequestLock &) {
    if (client_stopped && client && nyx_client_start(client) == VTR_SUCCESS) {
        client_stopped = false;
    }
    post_notification();
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
        raise(NYXAPI_CHANGE_REQUEST_COMPLETED,
              NyxApiResultFromError(nyx_client_get_result(client)));
        return;
    }
    post_notification();
}

void NyxApiImpl::notify() {
    uint32_t kinds = pending;
    pending = 0;
    NyxApiChanges changes = 0;
    {
        NyxApiCacheLock cached = lock_cache();
        if (kinds & (1u << NYX_CHANGE_CONNECTION)) {
            apply_connection_rule(*cached, &changes);
        }
        if (kinds & (1u << NYX_CHANGE_VERSION)) {
            apply_connection_rule(*cached, &changes);
            merge_version(*cached, &changes);
        }
        if (kinds & (1u << NYX_CHANGE_OPTIONS)) {
            apply_connection_rule(*cached, &changes);
            merge_options(*cached, &changes);
        }
        if (kinds & (1u << NYX_CHANGE_STATE)) {
            apply_connection_rule(*cached, &changes);
            merge_state(*cached, &changes);
        }
    }
    if (changes != 0) {
        raise(changes, NYXAPI_SUCCESS);
    }
}

void NyxApiImpl::apply_connection_rule(NyxApiCache &, NyxApiChanges *changes) {
    bool connected = client && nyx_client_get_status(client) == NYX_CLIENT_STATUS_CONNECTED &&
                     nyx_client_has_version(client) && nyx_client_has_options(client) &&
                     nyx_client_has_state(client);
    NyxApiState now = connected ? NYXAPI_STATE_CONNECTED : NYXAPI_STATE_DISCONNECTED;
    if (now != connection_state.load()) {
        connection_state.store(now);
        *changes |= NYXAPI_CHANGE_STATE;
    }
}

void NyxApiImpl::raise(NyxApiChanges changes, NyxApiResult result) {
    // Read once: the application may replace the function meanwhile.
    NyxApiEventFn fn = event_fn.load();
    if (!fn) {
        return;
    }
    NyxApiEvent event = {};
    event.size = sizeof(NyxApiEvent);
    event.api = api;
    event.changes = changes;
    event.result = result;
    // The boundary to application code: what it throws ends here, the worker goes on.
    try {
        fn(&event);
    } catch (...) {
        log_exception("NyxApiImpl::raise", std::current_exception());
    }
}

vtr_error NyxApiImpl::prepare(const NyxApiRequestLock &, vtr_socket_sets *sets, vtr_time *timeout) {
    for (vtr_socket_set &set : sets->kind) {
        vtr_socket_set_zero(&set);
    }
    sets->count = 0;
    return vtr_dispatcher_prepare(dispatcher, sets, timeout);
}

vtr_error NyxApiImpl::process(const NyxApiRequestLock &, vtr_socket_sets *sets) {
    return vtr_dispatcher_process(dispatcher, sets);
}

void NyxApiImpl::halt(const NyxApiRequestLock &) {
    if (deferred_id != 0 && env) {
        vtr_event_loop_cancel(env->loop, deferred_id, notification_step, this);
    }
    deferred_id = 0;
    if (client && nyx_client_stop(client) == VTR_SUCCESS) {
        client_stopped = true;
    }
    NyxApiChanges ignored = 0;
    apply_connection_rule(*lock_cache(), &ignored);
}

NyxApiThread::~NyxApiThread() {
    // The handle, and with it its logger, is gone by now.
    stop(nullptr);
}

void NyxApiThread::join_locked() {
    if (worker.joinable()) {
        worker.join();
    }
    impl.reset();
    running.store(false);
}

vtr_error NyxApiThread::start(std::shared_ptr<NyxApiImpl> working) {
    std::lock_guard<std::mutex> lock(thread_lock);
    if (running.load() && !stop_requested.load()) {
        return VTR_INVALIDSTATE;
    }
    // A worker that stopped itself from the event function may still be ending.
    join_locked();
    impl = std::move(working);
    stop_requested.store(false);
    delete_requested.store(false);
    // Running before the worker exists: its first event may already ask for the state.
    running.store(true);
    try {
        worker = std::thread(&NyxApiThread::body, shared_from_this(), impl);
    } catch (...) {
        impl->log_exception("NyxApiThread::start", std::current_exception());
        running.store(false);
        impl.reset();
        return VTR_SYSTEM;
    }
    return VTR_SUCCESS;
}

void NyxApiThread::stop(vtr_logger *logger) noexcept {
    try {
        // Held across the join: a second stop, a start or a delete waits for this one.
        std::lock_guard<std::mutex> lock(thread_lock);
        if (!worker.joinable()) {
            running.store(false);
            return;
        }
        stop_requested.store(true);
        if (impl) {
            impl->wake_worker();
        }
        join_locked();
    } catch (...) {
        // Stopping must not throw through the C interface; a failed lock leaves it running.
        nyx_api_log_exception(logger, "NyxApiThread::stop", std::current_exception());
    }
}

void NyxApiThread::stop_from_worker(bool then_delete) {
    if (then_delete) {
        delete_requested.store(true);
    }
    stop_requested.store(true);
}

void NyxApiThread::body(std::shared_ptr<NyxApiThread> self, std::shared_ptr<NyxApiImpl> working) {
    working->attach_worker();
    std::unique_ptr<vtr_socket_sets> sets(new (std::nothrow) vtr_socket_sets);
    try {
        NyxApiRequestLock lock(*working, NyxApiRequestLock::WorkerPass{});
        working->begin(lock);
    } catch (...) {
        working->log_exception("NyxApiThread::body", std::current_exception());
    }
    while (!self->stop_requested.load()) {
        try {
            if (!sets) {
                vtr_time pause = vtr_time_make(0, kMaxWaitUs);
                vtr_sleep(&pause);
                sets.reset(new (std::nothrow) vtr_socket_sets);
                continue;
            }
            self->iterate(working.get(), sets.get());
        } catch (...) {
            // Whatever a pass threw, the loop's own state was restored on the way out.
            working->log_exception("NyxApiThread::body", std::current_exception());
        }
    }
    try {
        NyxApiRequestLock lock(*working, NyxApiRequestLock::WorkerPass{});
        working->halt(lock);
    } catch (...) {
        working->log_exception("NyxApiThread::body", std::current_exception());
    }
    working->detach_worker();
    self->running.store(false);
    if (self->delete_requested.load()) {
        // Deleted from the event function: nobody joins this thread, it frees the handle.
        NyxApi *api = working->handle();
        {
            std::lock_guard<std::mutex> lock(self->thread_lock);
            if (self->worker.joinable()) {
                self->worker.detach();
            }
            self->impl.reset();
        }
        nyx_api_destroy(api);
    }
}

void NyxApiThread::iterate(NyxApiImpl *working, vtr_socket_sets *sets) {
    // A mutex is not fair: give waiting exports the lock first, for a few milliseconds at most.
    for (int i = 0; i < kHandOverSteps && working->requests_waiting(); ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    vtr_time timeout = {};
    {
        NyxApiRequestLock lock(*working, NyxApiRequestLock::WorkerPass{});
        if (working->prepare(lock, sets, &timeout) != VTR_SUCCESS) {
            return;
        }
    }
    if (timeout.sec != 0 || timeout.usec > kMaxWaitUs) {
        timeout = vtr_time_make(0, kMaxWaitUs);
    }
    if (vtr_socket_set_add(&sets->kind[VTR_WATCH_READ], working->wake_socket())) {
        sets->count++;
    }
    if (vtr_socket_wait(&sets->kind[VTR_WATCH_READ], &sets->kind[VTR_WATCH_WRITE], &timeout) !=
        VTR_SUCCESS) {
        return;
    }
    if (vtr_socket_set_contains(&sets->kind[VTR_WATCH_READ], working->wake_socket())) {
        working->drain_wake();
    }
    if (stop_requested.load()) {
        return; // what the wait brought is left to the halt
    }
    NyxApiRequestLock lock(*working, NyxApiRequestLock::WorkerPass{});
    working->process(lock, sets);
}
