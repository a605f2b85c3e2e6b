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

const NyxApiStatusEntry nyx_api_status_table[] = {
    {0x0000, "None", "No error"},
    {0x0001, "Running", "System is running"},
    {0x0010, "Missing", "Can't find the manager"},
    {0x0011, "Stopped", "Manager isn't active"},
    {0x0100, "Manager", "Sonavel manager failed"},
    {0x0101, "Invalid Config", "Sonavel is unable to run using current configuration"},
    {0x0102, "Sleeping", "Sonavel is not running as the system is sleeping"},
    {0x0110, "Orv", "Can't communicate with Orvane server"},
    {0x0200, "Driver", "Audio driver failed"},
    {0x0201, "Driver Missing", "Can't find audio driver"},
    {0x0202, "Driver Stopped", "Audio driver isn't active"},
    {0x0203, "Driver Stalled", "Audio driver is not responding"},
    {0x0300, "PTP", "PTP failed"},
    {0x0301, "PTP Missing", "Can't find PTP program"},
    {0x0400, "Routa", "Audio routing system failed"},
    {0x0401, "Routa Missing", "Can't find audio routing program"},
    {0x0500, "Other Corvo Running",
     "Sonavel has detected that Tavrel is currently active on this computer. Please stop Tavrel "
     "before launching Sonavel."},
    {0x0600, "Orvane", "Orvane Server failed"},
    {0x0601, "Orvane Missing", "Can't find Orvane Server program"},
    {0x0120, "Brisel error", "Unable to initialize Corvo Domain support"},
    {0x0204, "Kernel extension blocked",
     "The Sonavel driver is currently blocked from loading by macOS. Please go to the Security & "
     "Privacy pane in System Preferences and allow system software from Vantorel to load."},
    {0x0700, "Prox", "Audio processing engine failed"},
    {0x0701, "Prox Missing", "Can't find audio processing engine program"},
    {0, nullptr, nullptr},
};

void nyx_api_destroy(NyxApi *api) noexcept {
    if (api->thread) {
        api->thread->stop();
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
    } catch (...) {
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
    return nyx_api_guard([&]() -> NyxApiResult {
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
    api->thread->stop();
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
    return api->impl->state.load();
}

NyxApiResult NyxApiSetContext(NyxApi *api, void *context) {
    NyxApiImpl *impl = nyx_api_impl(api);
    if (!api) {
        return NYXAPI_INVALID_PARAMETER;
    }
    if (!impl) {
        return NYXAPI_INVALID_STATE;
    }
    impl->context.store(context);
    return NYXAPI_SUCCESS;
}

void *NyxApiGetContext(NyxApi *api) {
    NyxApiImpl *impl = nyx_api_impl(api);
    return impl ? impl->context.load() : nullptr;
}

NyxApiResult NyxApiSetEventFn(NyxApi *api, NyxApiEventFn fn) {
    NyxApiImpl *impl = nyx_api_impl(api);
    if (!api) {
        return NYXAPI_INVALID_PARAMETER;
    }
    if (!impl) {
        return NYXAPI_INVALID_STATE;
    }
    impl->event_fn.store(fn);
    return NYXAPI_SUCCESS;
}

const char *NyxApiStatusGetDescription(uint16_t status) {
    for (const NyxApiStatusEntry *entry = nyx_api_status_table; entry->description; ++entry) {
        if (entry->code == status) {
            return entry->description;
        }
    }
    return nullptr;
}

NyxApiResult NyxApiRequestInProgress(NyxApi *api, bool *inProgress) {
    NyxApiImpl *impl = nyx_api_impl(api);
    if (!api || !inProgress) {
        return NYXAPI_INVALID_PARAMETER;
    }
    if (!impl) {
        return NYXAPI_INVALID_STATE;
    }
    return nyx_api_guard([&]() -> NyxApiResult {
        NyxApiRequestLock lock(*impl);
        *inProgress = nyx_client_request_in_progress(impl->client);
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
    return nyx_api_guard([&]() -> NyxApiResult {
        NyxApiRequestLock lock(*impl);
        if (nyx_client_request_in_progress(impl->client)) {
            nyx_client_cancel_request(impl->client);
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
