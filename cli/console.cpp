#include "cli/cli.h"

#include <iostream>

namespace nyxcli {

std::atomic<bool> g_running{true};

void out_line(std::string_view line) {
    std::string text(line);
    text += '\n';
    // One write per line keeps lines whole when the worker prints at the same time.
    std::cout << text;
    std::cout.flush();
}

void err_line(std::string_view line) {
    std::string text(line);
    text += '\n';
    std::cout.flush();
    std::cerr << text;
    std::cerr.flush();
}

const char *result_name(NyxApiResult result) {
    static const char *const names[] = {"SUCCESS",
                                        "OTHER",
                                        "NOMEMORY",
                                        "INVALID_PARAMETER",
                                        "INVALID_DATA",
                                        "INVALID_STATE",
                                        "UNSUPPORTED_FUNCTION",
                                        "ACCESS_DENIED"};
    return result < std::size(names) ? names[result] : "???";
}

const char *state_name(NyxApiState state) {
    static const char *const names[] = {"NONE", "IDLE", "DISCONNECTED", "CONNECTED"};
    return state < std::size(names) ? names[state] : "???";
}

const char *audio_interface_name(NyxApiAudioInterface audio) {
    static const char *const names[] = {"NONE", "WDM", "ASIO"};
    return audio < std::size(names) ? names[audio] : "???";
}

const char *change_name(unsigned bit) {
    static const char *const names[] = {"STATE",
                                        "REQUEST_COMPLETED",
                                        "RUNNING",
                                        "STATUS",
                                        "AVAILABLE_INTERFACES",
                                        "INTERFACE",
                                        "AVAILABLE_CHANNEL_COUNTS",
                                        "CHANNEL_COUNT",
                                        "AVAILABLE_AUDIO_INTERFACES",
                                        "AUDIO_INTERFACE",
                                        "AVAILABLE_ASIO_PARAMETERS",
                                        "ASIO_PARAMETER",
                                        "AVAILABLE_CORVO_LATENCIES",
                                        "CORVO_LATENCY",
                                        "NETWORK_STATUS",
                                        "DEVICE_NAME",
                                        nullptr,
                                        "DOMAIN",
                                        "INFO"};
    if (bit >= std::size(names) || names[bit] == nullptr) {
        return "???";
    }
    return names[bit];
}

} // namespace nyxcli
