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

// Only the keyword is quoted; the argument is dropped.
void report_unknown(std::string_view program, std::string_view keyword) {
    std::string line = "'";
    line += keyword;
    line += "' unknown command";
    out_line(line);
    print_usage(program);
}

[[noreturn]] void exit_now() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    // The worker may still be running: skip static destruction and the handle's tear-down.
    std::_Exit(1);
}

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

CommandText split_command(const char *text) {
    std::string_view command = text != nullptr ? text : "";
    if (!command.empty() && command.front() == '-') {
        command.remove_prefix(1);
    }
    CommandText split{command, {}};
    if (size_t equals = command.find('='); equals != std::string_view::npos) {
        split.keyword = command.substr(0, equals);
        split.argument = command.substr(equals + 1);
    }
    return split;
}

void refuse_command(const char *program, const char *text) {
    std::string_view keyword = split_command(text).keyword;
    if (!keyword.empty()) {
        report_unknown(program != nullptr ? program : "", keyword);
    }
}

void run_command(const char *program, const char *text, NyxApi *api) {
    std::string_view name = program != nullptr ? program : "";
    const auto [keyword, argument] = split_command(text);
    if (keyword.empty()) {
        return;
    }

    if (keyword == "start") {
        set_running(api, true);
    } else if (keyword == "stop") {
        set_running(api, false);
    } else if (keyword == "version") {
        print_server_version(api);
    } else if (keyword == "interfaces") {
        print_available_interfaces(api);
    } else if (keyword == "interface") {
        if (argument.empty()) {
            print_interface(api);
        } else {
            set_interface(api, argument);
        }
    } else if (keyword == "channelcounts") {
        print_available_channel_counts(api);
    } else if (keyword == "channelcount") {
        if (argument.empty()) {
            print_channel_count(api);
        } else {
            set_channel_count(api, argument);
        }
    } else if (keyword == "audio") {
        if (argument.empty()) {
            print_audio_interface(api);
        } else if (argument == "wdm") {
            set_audio_interface(api, NYXAPI_AUDIO_INTERFACE_WDM);
        } else if (argument == "asio") {
            set_audio_interface(api, NYXAPI_AUDIO_INTERFACE_ASIO);
        } else {
            print_usage(name);
        }
    } else if (keyword == "asiobuffersizes") {
        print_available_asio_buffer_sizes(api);
    } else if (keyword == "asiobuffersize") {
        if (argument.empty()) {
            print_asio_buffer_size(api);
        } else {
            set_asio_buffer_size(api, argument);
        }
    } else if (keyword == "asioencodings") {
        print_available_asio_encodings(api);
    } else if (keyword == "asioencoding") {
        if (argument.empty()) {
            print_asio_encoding(api);
        } else {
            set_asio_encoding(api, argument);
        }
    } else if (keyword == "asiolatencies") {
        print_available_asio_latencies(api);
    } else if (keyword == "asiolatency") {
        if (argument.empty()) {
            print_asio_latency(api);
        } else {
            set_asio_latency(api, argument);
        }
    } else if (keyword == "corvolatencies") {
        print_available_corvo_latencies(api);
    } else if (keyword == "corvolatency") {
        if (argument.empty()) {
            print_corvo_latency(api);
        } else {
            set_corvo_latency(api, argument);
        }
    } else if (keyword == "networkstatus") {
        print_network_status(api);
    } else if (keyword == "devicename") {
        print_device_name(api);
    } else if (keyword == "domain") {
        print_domain_info(api);
    } else if (keyword == "cleardomain") {
        clear_domain(api);
    } else if (keyword == "lockstatus") {
        print_lock_status(api);
    } else if (keyword == "log") {
        collect_logs();
    } else if (keyword == "exit") {
        exit_now();
    } else if (keyword == "?" || keyword == "help") {
        print_usage(name);
    } else {
        report_unknown(name, keyword);
    }
}

} // namespace nyxcli
