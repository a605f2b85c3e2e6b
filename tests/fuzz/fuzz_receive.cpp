// The receive path end to end: datagrams from the manager's address into a handle's service
// client, through validation, the connection state machine, the body decoders and the cache
// merges, up to the events. The handle is driven pass by pass on this thread, as its worker
// would drive it. It binds 127.0.0.1:8899, so it runs in a private network namespace.
//
// Input: a list of steps, each one byte of kind and flags, then its operands:
//   kind 0, 1  a datagram: two bytes of length, then that many bytes; flag 0x10 stamps the
//              sequence number the client sent last, flag 0x20 writes the true size
//   kind 2     a request: one byte picks the setter and its value
//   kind 3     NyxApiCancelRequest
// After every step the handle runs one processing pass.
#include "api/nyx_api_impl.h"
#include "tests/fuzz/fuzz_common.h"

#include <vector>

namespace {

vtr_socket g_manager = VTR_SOCKET_INVALID;
vtr_address g_client{};
bool g_client_known = false;
uint16_t g_last_seqnum = 0;
bool g_outstanding = false; // one request in flight at most, each completed once

void bind_manager() {
    vtr_platform_init();
    vtr_address address{};
    vtr_address_set_ipv4(&address, VTR_AF_INET, "127.0.0.1", 8899);
    require(vtr_socket_open_udp(&g_manager, VTR_AF_INET) == VTR_SUCCESS &&
                vtr_socket_bind(g_manager, &address) == VTR_SUCCESS &&
                vtr_socket_set_blocking(g_manager, false) == VTR_SUCCESS,
            "cannot bind 127.0.0.1:8899 (run it in a private network namespace)");
}

// Takes in whatever the client sent: its address and its last sequence number.
void drain() {
    uint8_t buffer[SBCP2_MAX_MESSAGE];
    for (;;) {
        vtr_address from{};
        from.length = sizeof from.addr;
        size_t length = sizeof buffer;
        if (vtr_socket_recvfrom(g_manager, buffer, &length, &from) != VTR_SUCCESS)
            return;
        g_client = from;
        g_client_known = true;
        if (length >= SBCP2_HEAD_SIZE)
            g_last_seqnum = sbcp2_message_get_seqnum(buffer);
    }
}

void on_event(const NyxApiEvent *event) {
    if (event->changes & NYXAPI_CHANGE_REQUEST_COMPLETED) {
        require(g_outstanding, "a completion without a request, or a second one");
        g_outstanding = false;
    }
    // The event report reads values back while the event is delivered.
    NyxApiInterface list[32];
    uint64_t count = 32;
    NyxApiAvailableInterfaces(event->api, &count, list);
    char name[32];
    NyxApiGetDeviceName(event->api, name);
    require_terminated(name);
    NyxApiDomainInfo domain{};
    NyxApiGetDomainInfo(event->api, &domain);
    require_terminated(domain.name);
}

void pass(NyxApiImpl *impl) {
    static vtr_socket_sets sets;
    vtr_time timeout{}, zero{};
    NyxApiRequestLock lock(*impl);
    if (impl->prepare(lock, &sets, &timeout) == VTR_SUCCESS &&
        (sets.count == 0 || vtr_socket_wait(&sets.kind[VTR_WATCH_READ], &sets.kind[VTR_WATCH_WRITE],
                                            &zero) == VTR_SUCCESS))
        impl->process(lock, &sets);
}

// A setter and its value, picked by one byte; values come from the cached choices so that
// the service client's own validation lets most of them through.
NyxApiResult request(NyxApi *api, uint8_t pick) {
    uint32_t values[32] = {};
    NyxApiInterface interfaces[32] = {};
    uint64_t count = 32;
    auto chosen = [&](const auto *list) {
        return list[count ? (pick >> 3) % (count < 32 ? count : 32) : 0];
    };
    switch (pick % 8) {
    case 0:
        NyxApiAvailableChannelCounts(api, &count, values);
        return NyxApiSetChannelCount(api, count ? chosen(values) : pick);
    case 1:
        return NyxApiSetRunning(api, (pick >> 3) & 1);
    case 2:
        return NyxApiClearDomainCredentials(api);
    case 3:
        NyxApiAvailableInterfaces(api, &count, interfaces);
        return NyxApiSetInterface(api, chosen(interfaces).mac);
    case 4:
        return NyxApiSetAudioInterface(api, (pick >> 3) % 3);
    case 5:
        NyxApiAvailableCorvoLatenciesMs(api, &count, values);
        return NyxApiSetCorvoLatencyMs(api, count ? chosen(values) : pick);
    case 6:
        NyxApiAvailableASIOBufferSizes(api, &count, values);
        return NyxApiSetASIOBufferSize(api, count ? chosen(values) : pick);
    default:
        return NyxApiSetASIOLatencyMs(api, pick >> 3);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (g_manager == VTR_SOCKET_INVALID)
        bind_manager();
    NyxApi *api = nullptr;
    require(NyxApiNew(&api) == NYXAPI_SUCCESS, "no handle");
    NyxApiSetEventFn(api, on_event);
    NyxApiImpl *impl = nyx_api_impl(api);
    g_outstanding = g_client_known = false;
    drain(); // the connect message, sent at once
    std::vector<uint8_t> datagram;
    for (size_t at = 0; at < size;) {
        const uint8_t step = data[at++];
        if (step % 4 < 2) {
            size_t length = at + 2 <= size ? ((data[at] << 8) | data[at + 1]) % 1500 : 0;
            at = at + 2 <= size ? at + 2 : size;
            length = length < size - at ? length : size - at;
            datagram.assign(data + at, data + at + length);
            at += length;
            if ((step & 0x10) && length >= SBCP2_HEAD_SIZE)
                sbcp2_message_set_seqnum(datagram.data(), g_last_seqnum);
            if ((step & 0x20) && length >= 4)
                datagram[2] = uint8_t(length >> 8), datagram[3] = uint8_t(length);
            if (g_client_known)
                vtr_socket_sendto(g_manager, datagram.data(), &length, &g_client);
        } else if (step % 4 == 2) {
            if (request(api, at < size ? data[at++] : 0) == NYXAPI_SUCCESS) {
                require(!g_outstanding, "two requests in flight");
                g_outstanding = true;
            }
        } else {
            NyxApiCancelRequest(api);
            g_outstanding = false;
        }
        pass(impl);
        drain();
    }
    NyxApiDelete(api);
    return 0;
}
