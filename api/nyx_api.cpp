// Handle lifecycle, codes and the small exports that need no worker.
#include "api/nyx_api_impl.h"

#include <atomic>
#include <new>

namespace {

// Platform start-up happens once per process and is never undone.
std::atomic<uint8_t> platform_spin{0};
uint8_t platform_initialised = 0;

vtr_error platform_start() {
    while (platform_spin.exchange(1, std::memory_order_acquire) != 0) {
        std::this_thread::yield();
    }
    if (!platform_initialised) {
        vtr_error error = vtr_platform_init();
        if (error != VTR_SUCCESS) {
            platform_spin.store(0, std::memory_order_release);
            return error;
        }
        platform_initialised = 1;
    }
    platform_spin.store(0, std::memory_order_release);
    return VTR_SUCCESS;
}

std::atomic<size_t> live_handles{0};

// From inside the event function, the worker's own thread.
bool on_worker(NyxApi *api) {
    return api->impl && api->impl->on_worker();
}

} // namespace

void nyx_api_destroy(NyxApi *api) noexcept {
    if (api->thread) {
        api->thread->stop(api->impl ? api->impl->logger() : nullptr);
    }
    if (api->impl) {
        api->impl->teardown();
    }
    api->impl.reset();
    api->thread.reset();
    delete api;
    live_handles.fetch_sub(1);
}

size_t nyx_api_live_handles() {
    return live_handles.load();
}

NyxApiResult NyxApiResultFromError(vtr_error error) {
    switch (error) {
    case VTR_SUCCESS:
        return NYXAPI_SUCCESS;
    case VTR_INVALIDPARAMETER:
        return NYXAPI_INVALID_PARAMETER;
    case VTR_INVALIDDATA:
        return NYXAPI_INVALID_DATA;
    case VTR_INVALIDSTATE:
        return NYXAPI_INVALID_STATE;
    case VTR_NOMEMORY:
        return NYXAPI_NOMEMORY;
    default:
        return NYXAPI_OTHER;
    }
}

extern "C" {

NyxApiResult NyxApiNew(NyxApi **out) {
    if (!out) {
        return NYXAPI_INVALID_PARAMETER;
    }
    vtr_error error = platform_start();
    if (error != VTR_SUCCESS) {
        return NyxApiResultFromError(error);
    }
    NyxApi *api = new (std::nothrow) NyxApi();
    if (!api) {
        return NYXAPI_NOMEMORY;
    }
    live_handles.fetch_add(1);
    try {
        api->impl = std::make_shared<NyxApiImpl>();
        if (api->impl->initialise(api) != VTR_SUCCESS) {
            nyx_api_destroy(api);
            return NYXAPI_NOMEMORY;
        }
        api->thread = std::make_shared<NyxApiThread>();
    } catch (const std::bad_alloc &) {
        // Only the two allocations throw. Nobody can have raised the new logger's level yet,
        // so there is no one to tell.
        nyx_api_destroy(api);
        return NYXAPI_NOMEMORY;
    }
    *out = api;
    return NYXAPI_SUCCESS;
}

void NyxApiDelete(NyxApi *api) {
    if (!api) {
        return;
    }
    if (on_worker(api) && api->thread) {
        api->thread->stop_from_worker(true);
        return;
    }
    nyx_api_destroy(api);
}

NyxApiResult NyxApiStart(NyxApi *api) {
    if (!api) {
        return NYXAPI_INVALID_PARAMETER;
    }
    return nyx_api_guard(nyx_api_impl(api), __func__, [&]() -> NyxApiResult {
        // A worker cannot start itself: it is running.
        if (!api->thread || !api->impl || on_worker(api)) {
            return NYXAPI_INVALID_STATE;
        }
        return NyxApiResultFromError(api->thread->start(api->impl));
    });
}

void NyxApiStop(NyxApi *api) {
    if (!api || !api->thread) {
        return;
    }
    if (on_worker(api)) {
        api->thread->stop_from_worker(false);
        return;
    }
    api->thread->stop(api->impl ? api->impl->logger() : nullptr);
}

NyxApiVersion NyxApiGetApiVersion(NyxApi *) {
    return NyxApiVersion{1, 0, 0, 0};
}

NyxApiState NyxApiGetState(NyxApi *api) {
    if (!api) {
        return NYXAPI_STATE_CONNECTED;
    }
    if (!api->thread || !api->thread->is_running() || !api->impl) {
        return NYXAPI_STATE_IDLE;
    }
    return api->impl->state();
}

NyxApiResult NyxApiSetContext(NyxApi *api, void *context) {
    NyxApiImpl *impl = nyx_api_impl(api);
    if (!api) {
        return NYXAPI_INVALID_PARAMETER;
    }
    if (!impl) {
        return NYXAPI_INVALID_STATE;
    }
    impl->set_context(context);
    return NYXAPI_SUCCESS;
}

void *NyxApiGetContext(NyxApi *api) {
    NyxApiImpl *impl = nyx_api_impl(api);
    return impl ? impl->context() : nullptr;
}

NyxApiResult NyxApiSetEventFn(NyxApi *api, NyxApiEventFn fn) {
    NyxApiImpl *impl = nyx_api_impl(api);
    if (!api) {
        return NYXAPI_INVALID_PARAMETER;
    }
    if (!impl) {
        return NYXAPI_INVALID_STATE;
    }
    impl->set_event_fn(fn);
    return NYXAPI_SUCCESS;
}

const char *NyxApiStatusGetDescription(uint16_t status) {
    return nyx_system_error_description(status);
}

NyxApiResult NyxApiRequestInProgress(NyxApi *api, bool *inProgress) {
    NyxApiImpl *impl = nyx_api_impl(api);
    if (!api || !inProgress) {
        return NYXAPI_INVALID_PARAMETER;
    }
    if (!impl) {
        return NYXAPI_INVALID_STATE;
    }
    return nyx_api_guard(impl, __func__, [&]() -> NyxApiResult {
        NyxApiRequestLock lock(*impl);
        *inProgress = nyx_client_request_in_progress(impl->service_client(lock));
        return NYXAPI_SUCCESS;
    });
}

NyxApiResult NyxApiCancelRequest(NyxApi *api) {
    NyxApiImpl *impl = nyx_api_impl(api);
    if (!api) {
        return NYXAPI_INVALID_PARAMETER;
    }
    if (!impl) {
        return NYXAPI_INVALID_STATE;
    }
    return nyx_api_guard(impl, __func__, [&]() -> NyxApiResult {
        NyxApiRequestLock lock(*impl);
        nyx_client *client = impl->service_client(lock);
        if (nyx_client_request_in_progress(client)) {
            nyx_client_cancel_request(client);
        }
        return NYXAPI_SUCCESS;
    });
}

uint32_t NyxApiGetValue(void) {
    return 100;
}

void NyxApiGetPointer(uint32_t *value) {
    if (value) {
        *value = 200;
    }
}

void NyxApiGetPointerPointer(uint32_t **value) {
    if (value && *value) {
        **value = 300;
    }
}

} // extern "C"
