#include "cli/cli.h"
#include "vtr/vtr_text.h" // header-only: nothing below the API is linked

#include <cinttypes>
#include <cstdio>
#include <algorithm>
#include <iterator>
#include <vector>

namespace nyxcli {

namespace {

constexpr uint64_t kListCapacity = 32;

void value_line(const char *label, const std::string &value) {
    std::string line = "  ";
    line += label;
    line += " = ";
    line += value;
    out_line(line);
}

void failure_line(const char *label) {
    std::string line = "  ";
    line += label;
    line += " = ???";
    err_line(line);
}

// One value as "  label = text", or its failure line.
template <typename T, typename Getter, typename Format>
void print_value(NyxApi *api, Getter getter, const char *label, Format format) {
    T value{};
    if (getter(api, &value) != NYXAPI_SUCCESS) {
        failure_line(label);
        return;
    }
    value_line(label, format(value));
}

template <typename T, typename Getter>
void print_number(NyxApi *api, Getter getter, const char *label, const char *unit = "") {
    print_value<T>(api, getter, label, [unit](T value) { return std::to_string(value) + unit; });
}

// Lists: room for 32 entries; when more are available only the first 32 are shown.
template <typename T, typename Lister, typename Format>
void print_list(NyxApi *api, Lister lister, const char *label, Format format) {
    std::vector<T> entries(kListCapacity);
    uint64_t count = kListCapacity;
    if (lister(api, &count, entries.data()) != NYXAPI_SUCCESS) {
        failure_line(label);
        return;
    }
    if (count > kListCapacity) {
        count = kListCapacity;
    }
    std::string line = "  ";
    line += label;
    line += " = ";
    for (uint64_t i = 0; i < count; ++i) {
        if (i != 0) {
            line += ',';
        }
        line += format(entries[i]);
    }
    out_line(line);
}

std::string audio_text(NyxApiAudioInterface audio) {
    return audio_interface_name(audio);
}

std::string decimal(uint32_t value) {
    return std::to_string(value);
}

// Text up to its NUL, never past the buffer.
std::string bounded(const char *text, size_t size) {
    return std::string(text, std::find(text, text + size, '\0'));
}

} // namespace

std::string utf16_to_utf8(const uint16_t *units, size_t max_units) {
    std::u16string wide;
    for (size_t i = 0; i < max_units && units[i] != 0; ++i) {
        wide += static_cast<char16_t>(units[i]);
    }
    std::string out;
    vtr_utf16_to_utf8_string(wide.c_str(), wide.size(), VTR_UTF16_REPLACE, &out);
    return out;
}

std::string mac_text(const uint8_t *mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

std::string interface_text(const NyxApiInterface &iface) {
    return utf16_to_utf8(iface.name, std::size(iface.name)) + " (" + mac_text(iface.mac) + ")";
}

std::string version_text(const NyxApiVersion &version) {
    return std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
           std::to_string(version.patch) + "." + std::to_string(version.build);
}

void print_asio_buffer_size(NyxApi *api) {
    print_number<uint32_t>(api, NyxApiGetASIOBufferSize, "ASIO Buffer Size");
}

void print_asio_encoding(NyxApi *api) {
    print_number<uint16_t>(api, NyxApiGetASIOEncoding, "ASIO Encoding");
}

void print_asio_latency(NyxApi *api) {
    print_number<uint32_t>(api, NyxApiGetASIOLatencyMs, "ASIO Latency", " ms");
}

void print_channel_count(NyxApi *api) {
    print_number<uint32_t>(api, NyxApiGetChannelCount, "Channel Count");
}

void print_corvo_latency(NyxApi *api) {
    print_number<uint32_t>(api, NyxApiGetCorvoLatencyMs, "Corvo Latency", " ms");
}

void print_audio_interface(NyxApi *api) {
    print_value<NyxApiAudioInterface>(api, NyxApiGetAudioInterface, "Audio Interface", audio_text);
}

void print_device_name(NyxApi *api) {
    // 32 bytes for the API; the extra zero keeps an unterminated name bounded.
    char name[33] = {};
    if (NyxApiGetDeviceName(api, name) != NYXAPI_SUCCESS) {
        failure_line("Device Name");
        return;
    }
    value_line("Device Name", bounded(name, 32));
}

void print_interface(NyxApi *api) {
    print_value<NyxApiInterface>(api, NyxApiGetInterface, "Interface", interface_text);
}

void print_server_version(NyxApi *api) {
    print_value<NyxApiVersion>(api, NyxApiGetServerVersion, "NYX Version", version_text);
}

void print_lock_status(NyxApi *api) {
    uint32_t status = 0;
    if (NyxApiGetDeviceLockStatus(api, &status) != NYXAPI_SUCCESS) {
        err_line("  Device Lock Status = ???");
        return;
    }
    out_line("  Device Lock Status= " + std::to_string(status));
}

void print_available_asio_buffer_sizes(NyxApi *api) {
    print_list<uint32_t>(api, NyxApiAvailableASIOBufferSizes, "Available ASIO Buffer Sizes",
                         decimal);
}

void print_available_asio_encodings(NyxApi *api) {
    print_list<uint16_t>(api, NyxApiAvailableASIOEncodings, "Available ASIO Encodings", decimal);
}

void print_available_asio_latencies(NyxApi *api) {
    print_list<uint32_t>(api, NyxApiAvailableASIOLatenciesMs, "Available ASIO Latencies", decimal);
}

void print_available_audio_interfaces(NyxApi *api) {
    print_list<NyxApiAudioInterface>(api, NyxApiAvailableAudioInterfaces,
                                     "Available Audio Interfaces", audio_text);
}

void print_available_channel_counts(NyxApi *api) {
    print_list<uint32_t>(api, NyxApiAvailableChannelCounts, "Available Channel Counts", decimal);
}

void print_available_corvo_latencies(NyxApi *api) {
    print_list<uint32_t>(api, NyxApiAvailableCorvoLatenciesMs, "Available Corvo Latencies",
                         decimal);
}

void print_available_interfaces(NyxApi *api) {
    print_list<NyxApiInterface>(api, NyxApiAvailableInterfaces, "AvailableInterfaces",
                                interface_text);
}

void print_network_status(NyxApi *api) {
    NyxApiNetworkStatus status{};
    NyxApiResult result = NyxApiGetNetworkStatus(api, &status);
    if (result != NYXAPI_SUCCESS) {
        err_line(std::string("NyxApiGetNetworkStatus failed, result=") + result_name(result));
        return;
    }
    if (!status.linkUp) {
        out_line("  Network Status = N/A");
        return;
    }
    if (status.linkSpeedMbps >= 1000) {
        out_line("  Network Status = " + std::to_string(status.linkSpeedMbps / 1000) + " Gbps");
    } else {
        out_line("  Network Status = " + std::to_string(status.linkSpeedMbps) + " Mbps");
    }
    const uint8_t *ip = status.ipAddress;
    if (ip[0] == 0 && ip[1] == 0 && ip[2] == 0 && ip[3] == 0) {
        out_line("  IP Address = No Address");
    } else {
        out_line("  IP Address = " + std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." +
                 std::to_string(ip[2]) + "." + std::to_string(ip[3]));
    }
}

void print_domain_info(NyxApi *api) {
    NyxApiDomainInfo info{};
    NyxApiResult result = NyxApiGetDomainInfo(api, &info);
    if (result != NYXAPI_SUCCESS) {
        err_line(std::string("NyxApiGetDomainInfo failed, result=") + result_name(result));
        return;
    }
    if (!info.enrolled) {
        out_line("  Device is not enrolled and connected to a domain!");
        return;
    }
    if (info.connected) {
        out_line("  Device is enrolled and connected to a domain");
        out_line(info.configurationAllowed ? "  Configuration of this device is allowed"
                                           : "  Configuration of this device is prevented");
    } else {
        out_line("  Device is unable to contact the domain server");
    }
    out_line("  Domain name = " + bounded(info.name, sizeof info.name));
}

namespace {

void print_running(NyxApi *api) {
    bool running = false;
    if (NyxApiGetRunning(api, &running) != NYXAPI_SUCCESS) {
        err_line("  Running = ???");
        return;
    }
    out_line(running ? "  Running = true" : "  Running = false");
}

void print_status(NyxApi *api) {
    uint32_t status = 0;
    if (NyxApiGetStatus(api, &status) != NYXAPI_SUCCESS) {
        err_line("  Status = ???");
        return;
    }
    const char *description =
        status <= 0xFFFF ? NyxApiStatusGetDescription(static_cast<uint16_t>(status)) : nullptr;
    if (description != nullptr) {
        out_line(std::string("  Status = ") + description);
        return;
    }
    char code[32];
    std::snprintf(code, sizeof code, "0x%04" PRIx32, status);
    out_line(std::string("  Status = Unknown status ") + code);
}

void report(const NyxApiEvent *event) {
    NyxApi *api = event->api;
    const NyxApiChanges changes = event->changes;

    char hex[24];
    std::snprintf(hex, sizeof hex, "%" PRIx64, static_cast<uint64_t>(changes));
    std::string summary = "Got a NyxApi event, changes are 0x";
    summary += hex;
    summary += '=';
    bool first = true;
    for (unsigned bit = 0; bit < 64; ++bit) {
        if (changes & (NyxApiChanges{1} << bit)) {
            if (!first) {
                summary += ',';
            }
            summary += change_name(bit);
            first = false;
        }
    }
    out_line("");
    out_line(summary);

    if (changes & NYXAPI_CHANGE_STATE) {
        out_line(std::string("  State = ") + state_name(NyxApiGetState(api)));
    }
    if (changes & NYXAPI_CHANGE_REQUEST_COMPLETED) {
        out_line(std::string("  Last Request Result = ") + result_name(event->result));
    }
    if (changes & NYXAPI_CHANGE_RUNNING) {
        print_running(api);
    }
    if (changes & NYXAPI_CHANGE_STATUS) {
        print_status(api);
    }
    if (changes & NYXAPI_CHANGE_AVAILABLE_INTERFACES) {
        print_available_interfaces(api);
    }
    if (changes & NYXAPI_CHANGE_INTERFACE) {
        print_interface(api);
    }
    if (changes & NYXAPI_CHANGE_AVAILABLE_CHANNEL_COUNTS) {
        print_available_channel_counts(api);
    }
    if (changes & NYXAPI_CHANGE_CHANNEL_COUNT) {
        print_channel_count(api);
    }
    if (changes & NYXAPI_CHANGE_AVAILABLE_AUDIO_INTERFACES) {
        print_available_audio_interfaces(api);
    }
    if (changes & NYXAPI_CHANGE_AUDIO_INTERFACE) {
        print_audio_interface(api);
    }
    if (changes & NYXAPI_CHANGE_AVAILABLE_ASIO_PARAMETERS) {
        print_available_asio_buffer_sizes(api);
        print_available_asio_encodings(api);
        print_available_asio_latencies(api);
    }
    if (changes & NYXAPI_CHANGE_ASIO_PARAMETER) {
        print_asio_buffer_size(api);
        print_asio_encoding(api);
        print_asio_latency(api);
    }
    if (changes & NYXAPI_CHANGE_AVAILABLE_CORVO_LATENCIES) {
        print_available_corvo_latencies(api);
    }
    if (changes & NYXAPI_CHANGE_CORVO_LATENCY) {
        print_corvo_latency(api);
    }
    if (changes & NYXAPI_CHANGE_NETWORK_STATUS) {
        print_network_status(api);
    }
    if (changes & NYXAPI_CHANGE_DEVICE_NAME) {
        print_device_name(api);
    }
    if (changes & NYXAPI_CHANGE_DOMAIN) {
        print_domain_info(api);
    }
    if (changes & NYXAPI_CHANGE_INFO) {
        print_server_version(api);
    }
}

} // namespace

void event_report(const NyxApiEvent *event) {
    if (event == nullptr) {
        return;
    }
    try {
        report(event);
    } catch (...) {
        // The worker must go on; what could not be printed is lost.
        note_exception("event_report");
    }
}

} // namespace nyxcli
