// The one place that drives a NyxApi handle: reading the cache, calling setters and waking
// waiting threads from the event function.
#include "ctl/nyxctl.h"

namespace nyxctl {

namespace {

template <typename T, typename Get> std::vector<uint32_t> read_list(NyxApi *api, Get get) {
    uint64_t count = 0;
    get(api, &count, nullptr);
    // The list may grow between the two calls; the second reports the true total.
    std::vector<T> items(size_t(count) + 16);
    count = items.size();
    get(api, &count, items.data());
    items.resize(std::min<size_t>(size_t(count), items.size()));
    return std::vector<uint32_t>(items.begin(), items.end());
}

Interface interface_from(const NyxApiInterface &i) {
    Interface out;
    out.name = utf16_to_utf8(i.name, 64);
    std::copy(i.mac, i.mac + 6, out.mac.begin());
    return out;
}

} // namespace

Snapshot snapshot_read(NyxApi *api) {
    Snapshot s;
    s.state = NyxApiGetState(api);
    NyxApiGetStatus(api, &s.status);
    NyxApiGetRunning(api, &s.running);
    NyxApiInterface iface{};
    NyxApiGetInterface(api, &iface);
    s.interface = interface_from(iface);
    uint64_t count = 0;
    NyxApiAvailableInterfaces(api, &count, nullptr);
    std::vector<NyxApiInterface> interfaces(size_t(count) + 16);
    count = interfaces.size();
    NyxApiAvailableInterfaces(api, &count, interfaces.data());
    interfaces.resize(std::min<size_t>(size_t(count), interfaces.size()));
    for (const NyxApiInterface &i : interfaces) {
        s.available_interfaces.push_back(interface_from(i));
    }
    NyxApiGetChannelCount(api, &s.channel_count);
    s.available_channel_counts = read_list<uint32_t>(api, NyxApiAvailableChannelCounts);
    NyxApiGetAudioInterface(api, &s.audio_interface);
    s.available_audio_interfaces = read_list<uint32_t>(api, NyxApiAvailableAudioInterfaces);
    NyxApiGetASIOBufferSize(api, &s.asio_buffer_size);
    s.available_asio_buffer_sizes = read_list<uint32_t>(api, NyxApiAvailableASIOBufferSizes);
    uint16_t encoding = 0;
    NyxApiGetASIOEncoding(api, &encoding);
    s.asio_encoding = encoding;
    s.available_asio_encodings = read_list<uint16_t>(api, NyxApiAvailableASIOEncodings);
    NyxApiGetASIOLatencyMs(api, &s.asio_latency_ms);
    s.available_asio_latencies_ms = read_list<uint32_t>(api, NyxApiAvailableASIOLatenciesMs);
    NyxApiGetCorvoLatencyMs(api, &s.corvo_latency_ms);
    s.available_corvo_latencies_ms = read_list<uint32_t>(api, NyxApiAvailableCorvoLatenciesMs);
    NyxApiNetworkStatus network{};
    NyxApiGetNetworkStatus(api, &network);
    s.link_up = network.linkUp != 0;
    s.link_speed = network.linkSpeedMbps;
    std::copy(network.ipAddress, network.ipAddress + 4, s.ip_address.begin());
    char name[64] = {};
    NyxApiGetDeviceName(api, name);
    s.device_name = std::string(name, strnlen(name, 32));
    NyxApiDomainInfo domain{};
    NyxApiGetDomainInfo(api, &domain);
    s.domain.enrolled = domain.enrolled != 0;
    s.domain.connected = domain.connected != 0;
    s.domain.config_allowed = domain.configurationAllowed != 0;
    s.domain.name = std::string(domain.name, strnlen(domain.name, sizeof domain.name));
    NyxApiGetDeviceLockStatus(api, &s.device_lock_status);
    NyxApiGetServerVersion(api, &s.manager_version);
    return s;
}

Session::~Session() {
    NyxApiDelete(api_);
}

NyxApiResult Session::start(bool record) {
    record_ = record;
    NyxApiResult r = NyxApiNew(&api_);
    if (r != NYXAPI_SUCCESS) {
        api_ = nullptr;
        return r;
    }
    NyxApiSetContext(api_, this);
    NyxApiSetEventFn(api_, &Session::on_event);
    return NyxApiStart(api_);
}

void Session::on_event(const NyxApiEvent *event) {
    if (auto *self = static_cast<Session *>(NyxApiGetContext(event->api))) {
        self->record(event);
    }
}

void Session::record(const NyxApiEvent *event) {
    Event copy;
    if (record_) {
        copy.time = std::chrono::system_clock::now();
        copy.changes = event->changes;
        copy.result = event->result;
        copy.values = snapshot_read(event->api);
    }
    NyxApiState state = NyxApiGetState(event->api);
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.events;
    if (event->changes & NYXAPI_CHANGE_STATE) {
        if (last_state_ == NYXAPI_STATE_CONNECTED && state != NYXAPI_STATE_CONNECTED) {
            ++counters_.connection_losses;
        }
        last_state_ = state;
    }
    if (event->changes & NYXAPI_CHANGE_REQUEST_COMPLETED) {
        ++completions_;
        last_result_ = event->result;
    }
    if (record_) {
        events_.push_back(std::move(copy));
    }
    changed_.notify_all();
}

bool Session::wait_connected(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] {
        return interrupted_ || NyxApiGetState(api_) == NYXAPI_STATE_CONNECTED;
    });
    return !interrupted_ && NyxApiGetState(api_) == NYXAPI_STATE_CONNECTED;
}

NyxApiResult Session::send(const Change &c) {
    if (c.field == "running")
        return NyxApiSetRunning(api_, c.value != 0);
    if (c.field == "interface")
        return NyxApiSetInterface(api_, c.mac.data());
    if (c.field == "channel_count")
        return NyxApiSetChannelCount(api_, c.value);
    if (c.field == "audio_interface")
        return NyxApiSetAudioInterface(api_, c.value);
    if (c.field == "asio_buffer_size")
        return NyxApiSetASIOBufferSize(api_, c.value);
    if (c.field == "asio_encoding")
        return NyxApiSetASIOEncoding(api_, uint16_t(c.value));
    if (c.field == "asio_latency_ms")
        return NyxApiSetASIOLatencyMs(api_, c.value);
    if (c.field == "corvo_latency_ms")
        return NyxApiSetCorvoLatencyMs(api_, c.value);
    return NYXAPI_INVALID_PARAMETER;
}

std::optional<NyxApiResult> Session::wait_completion(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Only one request is ever in flight, and the completion of the one before it was
    // awaited, so any completion not yet taken belongs to it.
    uint64_t taken = taken_completions_;
    bool done =
        changed_.wait_for(lock, timeout, [&] { return interrupted_ || completions_ > taken; });
    if (!done || completions_ == taken) {
        lock.unlock();
        NyxApiCancelRequest(api_);
        return std::nullopt;
    }
    taken_completions_ = completions_;
    return last_result_;
}

std::optional<Event> Session::next_event() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return interrupted_ || !events_.empty(); });
    if (interrupted_) {
        return std::nullopt;
    }
    Event e = std::move(events_.front());
    events_.pop_front();
    return e;
}

void Session::interrupt() {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = true;
    changed_.notify_all();
}

bool Session::interrupted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return interrupted_;
}

Counters Session::counters() {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

} // namespace nyxctl
