#include "cli/cli.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace nyxcli {

namespace {

struct UsageEntry {
    const char *action;
    const char *description;
};

constexpr UsageEntry kUsage[] = {
    {"-start", "start NYX"},
    {"-stop", "stop NYX"},
    {"-version", "print NYX version"},
    {"-interfaces", "print available network interfaces"},
    {"-interface", "print network interface in use"},
    {"-interface=N", "set network interface to N. Interface name or MAC address (XX:YY:ZZ...)"},
    {"-channelcounts", "print available channel counts"},
    {"-channelcount", "print channel count"},
    {"-channelcount=N", "set channel count to N"},
    {"-audio", "print audio interface"},
    {"-audio=asio|wdm", "set audio interface to either ASIO or WDM"},
    {"-asiobuffersizes", "print available ASIO buffer sizes"},
    {"-asiobuffersize", "print ASIO buffer size"},
    {"-asiobuffersize=N", "set ASIO buffer size to N samples"},
    {"-asioencodings", "print available ASIO encodings"},
    {"-asioencoding", "print ASIO encoding"},
    {"-asioencoding=N", "set ASIO encoding to N bits/sample"},
    {"-asiolatencies", "print available ASIO latencies in ms"},
    {"-asiolatency", "print ASIO latency in ms"},
    {"-asiolatency=N", "set ASIO latency to N ms"},
    {"-corvolatencies", "print available Corvo latencies in ms"},
    {"-corvolatency", "print Corvo latency in ms"},
    {"-corvolatency=N", "set Corvo latency to N ms"},
    {"-networkstatus", "print current network status"},
    {"-devicename", "print current device name"},
    {"-domain", "print domain info"},
    {"-cleardomain", "clear domain info"},
    {"-lockstatus", "prints the current device lock status"},
    {"-log", "collect logs"},
    {"-help / ?", "print this help"},
    {"-exit", "exit from the application"},
};

// Descriptions line up at column 24 with tab stops every 8 columns.
size_t tab_count(std::string_view action) {
    if (action.size() <= 7) {
        return 3;
    }
    return action.size() <= 15 ? 2 : 1;
}

[[noreturn]] void exit_now() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    // The worker may still be running: skip static destruction and the handle's tear-down.
    std::_Exit(1);
}

// What a command does with its argument (empty when none was given) and the program name.
using Action = void (*)(NyxApi *api, std::string_view argument, std::string_view program);

template <void (*Run)(NyxApi *)>
void without_argument(NyxApi *api, std::string_view, std::string_view) {
    Run(api);
}

// Prints the value without an argument and sets it with one.
template <void (*Print)(NyxApi *), void (*Set)(NyxApi *, std::string_view)>
void print_or_set(NyxApi *api, std::string_view argument, std::string_view) {
    if (argument.empty()) {
        Print(api);
    } else {
        Set(api, argument);
    }
}

void audio(NyxApi *api, std::string_view argument, std::string_view program) {
    if (argument.empty()) {
        print_audio_interface(api);
    } else if (argument == "wdm") {
        set_audio_interface(api, NYXAPI_AUDIO_INTERFACE_WDM);
    } else if (argument == "asio") {
        set_audio_interface(api, NYXAPI_AUDIO_INTERFACE_ASIO);
    } else {
        print_usage(program);
    }
}

struct Command {
    const char *keyword;
    Action run;
};

// Keywords match exactly; commands without a setter ignore any argument.
const Command kCommands[] = {
    {"start", [](NyxApi *api, std::string_view, std::string_view) { set_running(api, true); }},
    {"stop", [](NyxApi *api, std::string_view, std::string_view) { set_running(api, false); }},
    {"version", without_argument<print_server_version>},
    {"interfaces", without_argument<print_available_interfaces>},
    {"interface", print_or_set<print_interface, set_interface>},
    {"channelcounts", without_argument<print_available_channel_counts>},
    {"channelcount", print_or_set<print_channel_count, set_channel_count>},
    {"audio", audio},
    {"asiobuffersizes", without_argument<print_available_asio_buffer_sizes>},
    {"asiobuffersize", print_or_set<print_asio_buffer_size, set_asio_buffer_size>},
    {"asioencodings", without_argument<print_available_asio_encodings>},
    {"asioencoding", print_or_set<print_asio_encoding, set_asio_encoding>},
    {"asiolatencies", without_argument<print_available_asio_latencies>},
    {"asiolatency", print_or_set<print_asio_latency, set_asio_latency>},
    {"corvolatencies", without_argument<print_available_corvo_latencies>},
    {"corvolatency", print_or_set<print_corvo_latency, set_corvo_latency>},
    {"networkstatus", without_argument<print_network_status>},
    {"devicename", without_argument<print_device_name>},
    {"domain", without_argument<print_domain_info>},
    {"cleardomain", without_argument<clear_domain>},
    {"lockstatus", without_argument<print_lock_status>},
    {"log", [](NyxApi *, std::string_view, std::string_view) { collect_logs(); }},
    {"exit", [](NyxApi *, std::string_view, std::string_view) { exit_now(); }},
    {"?", [](NyxApi *, std::string_view, std::string_view program) { print_usage(program); }},
    {"help", [](NyxApi *, std::string_view, std::string_view program) { print_usage(program); }},
};

} // namespace

std::string usage_text(std::string_view program) {
    std::string text = "Usage: ";
    text += program;
    text += " [ACTION]\nActions:\n";
    for (const UsageEntry &entry : kUsage) {
        text += entry.action;
        text.append(tab_count(entry.action), '\t');
        text += entry.description;
        text += '\n';
    }
    return text;
}

void print_usage(std::string_view program) {
    std::cout << usage_text(program);
    std::cout.flush();
}

void run_command(const char *program, const char *text, NyxApi *api) {
    std::string_view command = text != nullptr ? text : "";
    std::string_view name = program != nullptr ? program : "";
    if (!command.empty() && command.front() == '-') {
        command.remove_prefix(1);
    }
    std::string_view keyword = command;
    std::string_view argument;
    if (size_t equals = command.find('='); equals != std::string_view::npos) {
        keyword = command.substr(0, equals);
        argument = command.substr(equals + 1);
    }
    if (keyword.empty()) {
        return;
    }

    for (const Command &entry : kCommands) {
        if (keyword == entry.keyword) {
            entry.run(api, argument, name);
            return;
        }
    }
    std::string line = "'";
    line += keyword;
    line += "' unknown command";
    out_line(line);
    print_usage(name);
}

} // namespace nyxcli
