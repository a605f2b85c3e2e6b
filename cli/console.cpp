#include "cli/cli.h"

#include "api/nyx_api_names.h"

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

namespace {

std::atomic<size_t> noted_count{0};
std::atomic<const char *> noted_where{""};

} // namespace

void note_exception(const char *where) noexcept {
    noted_where.store(where);
    noted_count.fetch_add(1);
}

size_t noted_exception_count() {
    return noted_count.load();
}

const char *last_noted_exception() {
    return noted_where.load();
}

namespace {

const char *or_unknown(const char *name) {
    return name ? name : "???";
}

} // namespace

const char *result_name(NyxApiResult result) {
    return or_unknown(nyx_api_result_name(result));
}

const char *state_name(NyxApiState state) {
    return or_unknown(nyx_api_state_name(state));
}

const char *audio_interface_name(NyxApiAudioInterface audio) {
    return or_unknown(nyx_api_audio_interface_name(audio));
}

// The console report names the flags up to INFO; DEVICE_LOCK_STATUS shows as "???" there.
const char *change_name(unsigned bit) {
    return or_unknown(bit < 19 ? nyx_api_change_name(bit) : nullptr);
}

} // namespace nyxcli
