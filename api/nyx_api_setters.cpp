// The setters: check the cached state, change one field of the service's last reported
// configuration and send it as one request.
#include "api/nyx_api_impl.h"

namespace {

enum : uint32_t {
    NEED_STOPPED = 1,  // the soundcard must not be running
    NEED_ASIO = 2,     // the ASIO audio interface must be selected
    NEED_UNLOCKED = 4, // neither the device nor its domain may forbid the change
};

// Frees the per-call configuration on every way out.
struct ConfigHolder {
    nyx_system_config *config;
    ~ConfigHolder() { nyx_system_config_free(config); }
};

NyxApiResult check_needs(NyxApiImpl &impl, uint32_t needs) {
    if (impl.state() != NYXAPI_STATE_CONNECTED) {
        return NYXAPI_INVALID_STATE;
    }
    NyxApiCacheLock cached = impl.lock_cache();
    if (((needs & NEED_STOPPED) && cached->running) ||
        ((needs & NEED_ASIO) && cached->audio_interface != NYXAPI_AUDIO_INTERFACE_ASIO)) {
        return NYXAPI_INVALID_STATE;
    }
    if ((needs & NEED_UNLOCKED) && (cached->device_lock_status != 0 || cached->domain_locked())) {
        return NYXAPI_ACCESS_DENIED;
    }
    return NYXAPI_SUCCESS;
}

// Change: vtr_error(nyx_client *, nyx_system_config &), called only with a configuration.
template <class Change> NyxApiResult set_config(NyxApi *api, uint32_t needs, Change change) {
    NyxApiImpl *impl = nyx_api_impl(api);
    if (!impl) {
        return api ? NYXAPI_INVALID_STATE : NYXAPI_INVALID_PARAMETER;
    }
    return nyx_api_guard(impl, __func__, [&]() -> NyxApiResult {
        // Held throughout: the worker can neither process the client nor merge meanwhile, so
        // the cache read below agrees with the client.
        NyxApiRequestLock lock(*impl);
        NyxApiResult allowed = check_needs(*impl, needs);
        if (allowed != NYXAPI_SUCCESS) {
            return allowed;
        }
        nyx_client *client = impl->service_client(lock);
        ConfigHolder holder{nyx_system_config_new()};
        vtr_error error = VTR_SUCCESS;
        if (holder.config) {
            const nyx_system_state *state = nyx_client_get_state(client);
            if (state) {
                nyx_system_config_copy(holder.config, &state->config);
            }
            error = change(client, *holder.config);
        }
        if (error == VTR_SUCCESS) {
            error = nyx_client_set_system_config(client, holder.config);
        }
        return NyxApiResultFromError(error);
    });
}

} // namespace

extern "C" {

NyxApiResult NyxApiSetRunning(NyxApi *api, bool running) {
    return set_config(api, NEED_UNLOCKED,
                      [&](nyx_client *, nyx_system_config &config) -> vtr_error {
                          config.want_to_run = running ? 1 : 0;
                          return VTR_SUCCESS;
                      });
}

NyxApiResult NyxApiSetInterface(NyxApi *api, const uint8_t *mac) {
    if (!api || !mac) {
        return NYXAPI_INVALID_PARAMETER;
    }
    return set_config(api, NEED_STOPPED,
                      [&](nyx_client *client, nyx_system_config &config) -> vtr_error {
                          const nyx_system_options *options = nyx_client_get_options(client);
                          if (!options) {
                              return VTR_INVALIDDATA;
                          }
                          return nyx_system_config_set_interface(&config, options, mac);
                      });
}

NyxApiResult NyxApiSetChannelCount(NyxApi *api, uint32_t count) {
    return set_config(api, NEED_STOPPED | NEED_ASIO,
                      [&](nyx_client *, nyx_system_config &config) -> vtr_error {
                          config.channels = static_cast<uint16_t>(count);
                          return VTR_SUCCESS;
                      });
}

NyxApiResult NyxApiSetAudioInterface(NyxApi *api, NyxApiAudioInterface audio) {
    if (!api || audio == NYXAPI_AUDIO_INTERFACE_NONE) {
        return NYXAPI_INVALID_PARAMETER;
    }
    return set_config(api, NEED_STOPPED, [&](nyx_client *, nyx_system_config &config) -> vtr_error {
        config.asio.audio_interface = audio == NYXAPI_AUDIO_INTERFACE_WDM
                                          ? uint32_t{NYX_AUDIO_INTERFACE_WDM}
                                          : uint32_t{NYX_AUDIO_INTERFACE_ASIO};
        return VTR_SUCCESS;
    });
}

NyxApiResult NyxApiSetASIOBufferSize(NyxApi *api, uint32_t samples) {
    return set_config(api, NEED_ASIO | NEED_UNLOCKED,
                      [&](nyx_client *, nyx_system_config &config) -> vtr_error {
                          config.asio.asio_buffer_size = samples;
                          return VTR_SUCCESS;
                      });
}

NyxApiResult NyxApiSetASIOEncoding(NyxApi *api, uint16_t bitsPerSample) {
    return set_config(api, NEED_ASIO | NEED_UNLOCKED,
                      [&](nyx_client *, nyx_system_config &config) -> vtr_error {
                          config.asio.asio_encoding = bitsPerSample;
                          return VTR_SUCCESS;
                      });
}

NyxApiResult NyxApiSetASIOLatencyMs(NyxApi *api, uint32_t ms) {
    return set_config(api, NEED_ASIO | NEED_UNLOCKED,
                      [&](nyx_client *, nyx_system_config &config) -> vtr_error {
                          config.asio.asio_latency_us = ms * 1000u;
                          return VTR_SUCCESS;
                      });
}

NyxApiResult NyxApiSetCorvoLatencyMs(NyxApi *api, uint32_t ms) {
    return set_config(
        api, NEED_STOPPED, [&](nyx_client *client, nyx_system_config &config) -> vtr_error {
            const nyx_system_options *options = nyx_client_get_options(client);
            const nyx_latency_option *found =
                options ? nyx_system_options_find_latency_by_us(options, ms * 1000u) : nullptr;
            if (!found) {
                return VTR_INVALIDDATA;
            }
            nyx_system_config_set_latency(&config, found->name);
            return VTR_SUCCESS;
        });
}

NyxApiResult NyxApiClearDomainCredentials(NyxApi *api) {
    NyxApiImpl *impl = nyx_api_impl(api);
    if (!impl) {
        return api ? NYXAPI_INVALID_STATE : NYXAPI_INVALID_PARAMETER;
    }
    return nyx_api_guard(impl, __func__, [&]() -> NyxApiResult {
        NyxApiRequestLock lock(*impl);
        if (impl->state() != NYXAPI_STATE_CONNECTED) {
            return NYXAPI_INVALID_STATE;
        }
        return NyxApiResultFromError(
            nyx_client_clear_domain_credentials(impl->service_client(lock)));
    });
}

} // extern "C"
