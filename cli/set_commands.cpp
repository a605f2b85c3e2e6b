#include "cli/cli.h"
#include "vtr/vtr_text.h" // header-only: nothing below the API is linked

#include <chrono>
#include <iostream>
#include <algorithm>
#include <iterator>
#include <thread>
#include <vector>

namespace nyxcli {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One address group: hexadecimal digits from the start, stopping at the first other
// character. Values beyond the signed 32-bit range are refused.
std::optional<uint8_t> parse_group(std::string_view group, const char **message) {
    if (group.empty() || vtr_digit_value(group.front()) >= 16) {
        *message = "invalid stoi argument";
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : group) {
        unsigned digit = vtr_digit_value(c);
        if (digit >= 16) {
            break;
        }
        value = value * 16 + digit;
        if (value > 0x7FFFFFFF) {
            *message = "stoi argument out of range";
            return std::nullopt;
        }
    }
    return static_cast<uint8_t>(value & 0xFF);
}

void report_failure(const std::string &call, NyxApiResult result) {
    err_line(call + " failed, result=" + result_name(result));
}

// Sends one request and waits for it, or reports the refusal.
template <typename Call> void request(NyxApi *api, const std::string &call, Call &&send) {
    NyxApiResult result = send();
    if (result != NYXAPI_SUCCESS) {
        report_failure(call, result);
        return;
    }
    wait_for_completion(api);
}

template <typename Setter>
void set_number(NyxApi *api, std::string_view text, const char *name, Setter setter) {
    uint32_t value = static_cast<uint32_t>(parse_decimal(text));
    request(api, std::string(name) + "(" + std::to_string(value) + ")",
            [&] { return setter(api, value); });
}

} // namespace

int32_t parse_decimal(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && is_space(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Digits beyond the 32-bit range saturate at the nearest limit.
    uint64_t magnitude = 0;
    vtr_parse_digits_saturating(text.data() + i, text.size() - i,
                                negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1, &magnitude);
    return static_cast<int32_t>(negative ? -static_cast<int64_t>(magnitude)
                                         : static_cast<int64_t>(magnitude));
}

std::optional<std::array<uint8_t, 6>> parse_mac(std::string_view text) {
    const std::string_view original = text;
    if (!text.empty() && text.front() == '"') {
        text.remove_prefix(1);
    }
    if (!text.empty() && text.back() == '"') {
        text.remove_suffix(1);
    }
    std::array<uint8_t, 6> mac{};
    const char *message = nullptr;
    for (size_t group = 0; group < mac.size(); ++group) {
        size_t colon = text.find(':');
        if (colon == std::string_view::npos && group < 5) {
            break;
        }
        std::optional<uint8_t> byte = parse_group(text.substr(0, colon), &message);
        if (!byte) {
            break;
        }
        mac[group] = *byte;
        if (group == 5) {
            return mac;
        }
        text.remove_prefix(colon + 1);
    }
    if (message != nullptr) {
        err_line(std::string("Invalid interface:") + message);
    }
    err_line("Invalid interface: " + std::string(original));
    return std::nullopt;
}

std::optional<std::array<uint8_t, 6>> resolve_interface(NyxApi *api, std::string_view text) {
    std::vector<NyxApiInterface> list(32);
    uint64_t count = list.size();
    if (NyxApiAvailableInterfaces(api, &count, list.data()) == NYXAPI_SUCCESS) {
        if (count > list.size()) {
            count = list.size();
        }
        // Bytes widen as signed characters, so only plain ASCII names can match.
        std::vector<uint16_t> wide;
        wide.reserve(text.size());
        for (char c : text) {
            wide.push_back(
                static_cast<uint16_t>(static_cast<int16_t>(static_cast<signed char>(c))));
        }
        for (uint64_t i = 0; i < count; ++i) {
            const NyxApiInterface &entry = list[i];
            const size_t capacity = std::size(entry.name);
            if (wide.size() >= capacity) {
                continue;
            }
            bool same = entry.name[wide.size()] == 0;
            for (size_t k = 0; same && k < wide.size(); ++k) {
                same = entry.name[k] == wide[k];
            }
            if (same) {
                std::array<uint8_t, 6> mac{};
                std::copy(std::begin(entry.mac), std::end(entry.mac), mac.begin());
                return mac;
            }
        }
    }
    return parse_mac(text);
}

bool wait_for_completion(NyxApi *api) {
    if (!g_running) {
        return false;
    }
    for (;;) {
        bool in_progress = false;
        NyxApiResult result = NyxApiRequestInProgress(api, &in_progress);
        if (result != NYXAPI_SUCCESS) {
            err_line(std::string("NyxApiRequestInProgress failed, result=") + result_name(result));
            return false;
        }
        if (!in_progress) {
            return true;
        }
        std::this_thread::sleep_for(kPollInterval);
        if (!g_running) {
            return false;
        }
    }
}

void set_running(NyxApi *api, bool running) {
    request(api, std::string("NyxApiSetRunning(") + (running ? "1" : "0") + ")",
            [&] { return NyxApiSetRunning(api, running); });
}

void set_audio_interface(NyxApi *api, NyxApiAudioInterface audio) {
    request(api,
            std::string("NyxApiSetAudioInterface(") +
                (audio == NYXAPI_AUDIO_INTERFACE_WDM ? "WDM" : "ASIO") + ")",
            [&] { return NyxApiSetAudioInterface(api, audio); });
}

void set_interface(NyxApi *api, std::string_view text) {
    std::optional<std::array<uint8_t, 6>> mac = resolve_interface(api, text);
    if (!mac) {
        return;
    }
    request(api, "NyxApiSetInterface(" + mac_text(mac->data()) + ")",
            [&] { return NyxApiSetInterface(api, mac->data()); });
}

void set_channel_count(NyxApi *api, std::string_view text) {
    set_number(api, text, "NyxApiSetChannelCount", NyxApiSetChannelCount);
}

void set_asio_buffer_size(NyxApi *api, std::string_view text) {
    set_number(api, text, "NyxApiSetASIOBufferSize", NyxApiSetASIOBufferSize);
}

void set_asio_encoding(NyxApi *api, std::string_view text) {
    uint16_t value = static_cast<uint16_t>(static_cast<uint32_t>(parse_decimal(text)) & 0xFFFF);
    request(api, "NyxApiSetASIOEncoding(" + std::to_string(value) + ")",
            [&] { return NyxApiSetASIOEncoding(api, value); });
}

void set_asio_latency(NyxApi *api, std::string_view text) {
    set_number(api, text, "NyxApiSetASIOLatencyMs", NyxApiSetASIOLatencyMs);
}

void set_corvo_latency(NyxApi *api, std::string_view text) {
    set_number(api, text, "NyxApiSetCorvoLatencyMs", NyxApiSetCorvoLatencyMs);
}

void clear_domain(NyxApi *api) {
    request(api, "NyxApiClearDomainCredentials", [&] { return NyxApiClearDomainCredentials(api); });
}

void collect_logs() {
    std::cout << "Input log folder path:";
    std::cout.flush();
    const std::string folder = read_word(std::cin, kLogFolderMax);
    char file_name[256] = {};
    NyxApiResult result = NyxApiCollectLogs(folder.c_str(), file_name);
    if (result != NYXAPI_SUCCESS) {
        report_failure("NyxApiCollectLogs", result);
        return;
    }
    file_name[sizeof file_name - 1] = '\0';
    out_line("Preparing logs.. Check the folder \"" + folder + "\" for the log file named: \"" +
             file_name + "\"");
}

} // namespace nyxcli
