// The cached model: the three merges that fill it and the getters that read it.
#include "api/nyx_api_impl.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

// Records from the service are fixed-size; never trust them to hold their terminators.
template <size_t N, size_t M> void copy_text(char (&dst)[N], const char (&src)[M]) {
    size_t n = 0;
    while (n < M && n + 1 < N && src[n] != '\0') {
        dst[n] = src[n];
        ++n;
    }
    std::memset(dst + n, 0, N - n);
}

NyxApiInterface make_interface(const nyx_interface &src) {
    NyxApiInterface out = {};
    for (size_t i = 0; i + 1 < 64 && src.name[i] != 0; ++i) {
        out.name[i] = src.name[i];
    }
    std::memcpy(out.mac, src.mac, sizeof out.mac);
    return out;
}

template <class T, class Same = std::equal_to<T>>
void merge_list(std::vector<T> &cached, std::vector<T> &fresh, NyxApiChanges flag,
                NyxApiChanges *changes, Same same = Same{}) {
    if (cached.size() != fresh.size() ||
        !std::equal(cached.begin(), cached.end(), fresh.begin(), same)) {
        cached.swap(fresh);
        *changes |= flag;
    }
}

template <class T>
void merge_value(T &cached, const T &fresh, NyxApiChanges flag, NyxApiChanges *changes) {
    if (cached != fresh) {
        cached = fresh;
        *changes |= flag;
    }
}

size_t bounded(uint16_t count) {
    return std::min<size_t>(count, NYX_LIST_MAX);
}

} // namespace

bool nyx_api_interface_equal(const NyxApiInterface &a, const NyxApiInterface &b) {
    for (size_t i = 0; i < 64; ++i) {
        if (a.name[i] != b.name[i]) {
            return false;
        }
        if (a.name[i] == 0) {
            break;
        }
    }
    return std::memcmp(a.mac, b.mac, sizeof a.mac) == 0;
}

void NyxApiImpl::merge_version(NyxApiCache &cached, NyxApiChanges *changes) const {
    const nyx_server_version *version = client ? nyx_client_get_version(client) : nullptr;
    NyxApiVersion fresh = {};
    if (version) {
        fresh.major = version->major;
        fresh.minor = version->minor;
        fresh.patch = version->patch;
        fresh.build = version->build;
    }
    const NyxApiVersion &known = cached.server_version;
    if (fresh.major != known.major || fresh.minor != known.minor || fresh.patch != known.patch ||
        fresh.build != known.build) {
        cached.server_version = fresh;
        *changes |= NYXAPI_CHANGE_INFO;
    }
}

void NyxApiImpl::merge_options(NyxApiCache &cached, NyxApiChanges *changes) const {
    const nyx_system_options *options = client ? nyx_client_get_options(client) : nullptr;
    std::vector<NyxApiInterface> interfaces;
    std::vector<uint32_t> channel_counts;
    std::vector<NyxApiAudioInterface> audio_interfaces;
    std::vector<uint32_t> buffer_sizes;
    std::vector<uint16_t> encodings;
    std::vector<uint32_t> asio_latencies;
    std::vector<uint32_t> corvo_latencies;
    if (options) {
        for (size_t i = 0; i < bounded(options->num_interfaces); ++i) {
            interfaces.push_back(make_interface(options->interfaces[i]));
        }
        for (size_t i = 0; i < bounded(options->num_channel_counts); ++i) {
            channel_counts.push_back(options->channel_counts[i]);
        }
        // The service always offers both; its options carry no list of them.
        audio_interfaces = {NYXAPI_AUDIO_INTERFACE_WDM, NYXAPI_AUDIO_INTERFACE_ASIO};
        const nyx_asio_options &asio = options->asio;
        for (size_t i = 0; i < bounded(asio.num_asio_buffer_sizes); ++i) {
            buffer_sizes.push_back(asio.asio_buffer_sizes[i]);
        }
        for (size_t i = 0; i < bounded(asio.num_asio_encodings); ++i) {
            encodings.push_back(asio.asio_encodings[i]);
        }
        for (size_t i = 0; i < bounded(asio.num_asio_latencies); ++i) {
            asio_latencies.push_back(asio.asio_latencies[i] / 1000);
        }
        for (size_t i = 0; i < bounded(options->num_latencies); ++i) {
            corvo_latencies.push_back(options->latencies[i].us / 1000);
        }
    }
    merge_list(cached.available_interfaces, interfaces, NYXAPI_CHANGE_AVAILABLE_INTERFACES, changes,
               nyx_api_interface_equal);
    merge_list(cached.available_channel_counts, channel_counts,
               NYXAPI_CHANGE_AVAILABLE_CHANNEL_COUNTS, changes);
    merge_list(cached.available_audio_interfaces, audio_interfaces,
               NYXAPI_CHANGE_AVAILABLE_AUDIO_INTERFACES, changes);
    merge_list(cached.available_asio_buffer_sizes, buffer_sizes,
               NYXAPI_CHANGE_AVAILABLE_ASIO_PARAMETERS, changes);
    merge_list(cached.available_asio_encodings, encodings, NYXAPI_CHANGE_AVAILABLE_ASIO_PARAMETERS,
               changes);
    merge_list(cached.available_asio_latencies, asio_latencies,
               NYXAPI_CHANGE_AVAILABLE_ASIO_PARAMETERS, changes);
    merge_list(cached.available_corvo_latencies, corvo_latencies,
               NYXAPI_CHANGE_AVAILABLE_CORVO_LATENCIES, changes);
}

void NyxApiImpl::merge_state(NyxApiCache &cached, NyxApiChanges *changes) const {
    const nyx_system_state *present = client ? nyx_client_get_state(client) : nullptr;
    static const nyx_system_state absent = {};
    const nyx_system_state &st = present ? *present : absent;
    const nyx_system_config &config = st.config;

    bool fresh_running = config.want_to_run != 0;
    merge_value(cached.running, fresh_running, NYXAPI_CHANGE_RUNNING, changes);
    merge_value(cached.status, fresh_running ? uint32_t{1} : uint32_t{st.system_error},
                NYXAPI_CHANGE_STATUS, changes);

    NyxApiInterface fresh_iface = present ? make_interface(config.interface) : NyxApiInterface{};
    if (!nyx_api_interface_equal(cached.iface, fresh_iface)) {
        cached.iface = fresh_iface;
        *changes |= NYXAPI_CHANGE_INTERFACE;
    }

    merge_value(cached.channel_count, uint32_t{config.channels}, NYXAPI_CHANGE_CHANNEL_COUNT,
                changes);

    NyxApiAudioInterface audio = NYXAPI_AUDIO_INTERFACE_NONE;
    if (config.asio.audio_interface == NYX_AUDIO_INTERFACE_WDM) {
        audio = NYXAPI_AUDIO_INTERFACE_WDM;
    } else if (config.asio.audio_interface == NYX_AUDIO_INTERFACE_ASIO) {
        audio = NYXAPI_AUDIO_INTERFACE_ASIO;
    }
    merge_value(cached.audio_interface, audio, NYXAPI_CHANGE_AUDIO_INTERFACE, changes);

    merge_value(cached.asio_buffer_size, config.asio.asio_buffer_size, NYXAPI_CHANGE_ASIO_PARAMETER,
                changes);
    merge_value(cached.asio_encoding, config.asio.asio_encoding, NYXAPI_CHANGE_ASIO_PARAMETER,
                changes);
    merge_value(cached.asio_latency, config.asio.asio_latency_us / 1000,
                NYXAPI_CHANGE_ASIO_PARAMETER, changes);

    uint32_t corvo = 0;
    const nyx_system_options *options = client ? nyx_client_get_options(client) : nullptr;
    if (options) {
        char name[sizeof config.latency + 1];
        copy_text(name, config.latency);
        const nyx_latency_option *found = nyx_system_options_find_latency_by_name(options, name);
        if (found) {
            corvo = found->us / 1000;
        }
    }
    merge_value(cached.corvo_latency, corvo, NYXAPI_CHANGE_CORVO_LATENCY, changes);

    NyxApiNetworkStatus net = {};
    net.linkUp = st.link_up != 0 ? 1 : 0;
    net.linkSpeedMbps = st.link_speed;
    std::memcpy(net.ipAddress, st.ip_address, sizeof net.ipAddress);
    if (net.linkUp != cached.network_status.linkUp ||
        net.linkSpeedMbps != cached.network_status.linkSpeedMbps ||
        std::memcmp(net.ipAddress, cached.network_status.ipAddress, sizeof net.ipAddress) != 0) {
        cached.network_status = net;
        *changes |= NYXAPI_CHANGE_NETWORK_STATUS;
    }

    // A lost connection keeps the last name: it is still the device's name.
    if (present) {
        char name[sizeof cached.device_name];
        copy_text(name, st.device_name);
        if (std::strcmp(name, cached.device_name) != 0) {
            std::memcpy(cached.device_name, name, sizeof cached.device_name);
            *changes |= NYXAPI_CHANGE_DEVICE_NAME;
        }
    }

    NyxApiDomainInfo domain = {};
    domain.enrolled = st.domain.enrolled != 0 ? 1 : 0;
    domain.connected = st.domain.connected != 0 ? 1 : 0;
    // Only a reachable domain can forbid local configuration.
    domain.configurationAllowed =
        (domain.enrolled && domain.connected) ? (st.domain.config_allowed != 0 ? 1 : 0) : 1;
    char domain_name[sizeof st.domain.domain_name];
    copy_text(domain_name, st.domain.domain_name);
    std::memcpy(domain.name, domain_name, sizeof domain_name);
    if (domain.connected != cached.domain_info.connected ||
        std::strcmp(domain.name, cached.domain_info.name) != 0 ||
        domain.enrolled != cached.domain_info.enrolled ||
        domain.configurationAllowed != cached.domain_info.configurationAllowed) {
        cached.domain_info = domain;
        *changes |= NYXAPI_CHANGE_DOMAIN;
    }

    merge_value(cached.device_lock_status, st.device_lock_status, NYXAPI_CHANGE_DEVICE_LOCK_STATUS,
                changes);
}

namespace {

// Copies one cached value out under the cache lock.
template <class T, class Copy> NyxApiResult get_cached(NyxApi *api, T *out, Copy copy) {
    if (!api || !out) {
        return NYXAPI_INVALID_PARAMETER;
    }
    NyxApiImpl *impl = nyx_api_impl(api);
    if (!impl) {
        return NYXAPI_INVALID_STATE;
    }
    return nyx_api_guard(impl, __func__, [&]() -> NyxApiResult {
        copy(*impl->lock_cache(), out);
        return NYXAPI_SUCCESS;
    });
}

// Copies one cached field out under the cache lock.
template <class T> NyxApiResult get_field(NyxApi *api, T *out, T NyxApiCache::*field) {
    return get_cached(api, out, [field](const NyxApiCache &c, T *copy) { *copy = c.*field; });
}

template <class T>
NyxApiResult get_list(NyxApi *api, uint64_t *count, T *list, std::vector<T> NyxApiCache::*member) {
    if (!api || !count) {
        return NYXAPI_INVALID_PARAMETER;
    }
    NyxApiImpl *impl = nyx_api_impl(api);
    if (!impl) {
        return NYXAPI_INVALID_STATE;
    }
    return nyx_api_guard(impl, __func__, [&]() -> NyxApiResult {
        NyxApiCacheLock locked = impl->lock_cache();
        const std::vector<T> &cached = (*locked).*member;
        if (list) {
            uint64_t n = std::min<uint64_t>(*count, cached.size());
            if (n != 0) {
                std::memcpy(list, cached.data(), n * sizeof(T));
            }
        }
        *count = cached.size();
        return NYXAPI_SUCCESS;
    });
}

} // namespace

extern "C" {

NyxApiResult NyxApiGetRunning(NyxApi *api, bool *running) {
    return get_field(api, running, &NyxApiCache::running);
}

NyxApiResult NyxApiGetStatus(NyxApi *api, uint32_t *status) {
    return get_field(api, status, &NyxApiCache::status);
}

NyxApiResult NyxApiGetInterface(NyxApi *api, NyxApiInterface *iface) {
    return get_field(api, iface, &NyxApiCache::iface);
}

NyxApiResult NyxApiGetChannelCount(NyxApi *api, uint32_t *count) {
    return get_field(api, count, &NyxApiCache::channel_count);
}

NyxApiResult NyxApiGetAudioInterface(NyxApi *api, NyxApiAudioInterface *audio) {
    return get_field(api, audio, &NyxApiCache::audio_interface);
}

NyxApiResult NyxApiGetASIOBufferSize(NyxApi *api, uint32_t *samples) {
    return get_field(api, samples, &NyxApiCache::asio_buffer_size);
}

NyxApiResult NyxApiGetASIOEncoding(NyxApi *api, uint16_t *bitsPerSample) {
    return get_field(api, bitsPerSample, &NyxApiCache::asio_encoding);
}

NyxApiResult NyxApiGetASIOLatencyMs(NyxApi *api, uint32_t *ms) {
    return get_field(api, ms, &NyxApiCache::asio_latency);
}

NyxApiResult NyxApiGetCorvoLatencyMs(NyxApi *api, uint32_t *ms) {
    return get_field(api, ms, &NyxApiCache::corvo_latency);
}

NyxApiResult NyxApiGetNetworkStatus(NyxApi *api, NyxApiNetworkStatus *status) {
    return get_field(api, status, &NyxApiCache::network_status);
}

NyxApiResult NyxApiGetDeviceName(NyxApi *api, char *name) {
    return get_cached(api, name, [](const NyxApiCache &c, char *out) {
        std::memcpy(out, c.device_name, std::strlen(c.device_name) + 1);
    });
}

NyxApiResult NyxApiGetDomainInfo(NyxApi *api, NyxApiDomainInfo *info) {
    return get_field(api, info, &NyxApiCache::domain_info);
}

NyxApiResult NyxApiGetDeviceLockStatus(NyxApi *api, uint32_t *lockStatus) {
    return get_field(api, lockStatus, &NyxApiCache::device_lock_status);
}

NyxApiResult NyxApiGetServerVersion(NyxApi *api, NyxApiVersion *version) {
    return get_field(api, version, &NyxApiCache::server_version);
}

NyxApiResult NyxApiAvailableInterfaces(NyxApi *api, uint64_t *count, NyxApiInterface *list) {
    return get_list(api, count, list, &NyxApiCache::available_interfaces);
}

NyxApiResult NyxApiAvailableChannelCounts(NyxApi *api, uint64_t *count, uint32_t *list) {
    return get_list(api, count, list, &NyxApiCache::available_channel_counts);
}

NyxApiResult NyxApiAvailableAudioInterfaces(NyxApi *api, uint64_t *count,
                                            NyxApiAudioInterface *list) {
    return get_list(api, count, list, &NyxApiCache::available_audio_interfaces);
}

NyxApiResult NyxApiAvailableASIOBufferSizes(NyxApi *api, uint64_t *count, uint32_t *list) {
    return get_list(api, count, list, &NyxApiCache::available_asio_buffer_sizes);
}

NyxApiResult NyxApiAvailableASIOEncodings(NyxApi *api, uint64_t *count, uint16_t *list) {
    return get_list(api, count, list, &NyxApiCache::available_asio_encodings);
}

NyxApiResult NyxApiAvailableASIOLatenciesMs(NyxApi *api, uint64_t *count, uint32_t *list) {
    return get_list(api, count, list, &NyxApiCache::available_asio_latencies);
}

NyxApiResult NyxApiAvailableCorvoLatenciesMs(NyxApi *api, uint64_t *count, uint32_t *list) {
    return get_list(api, count, list, &NyxApiCache::available_corvo_latencies);
}

} // extern "C"
