// nyx-sim: the simulated manager service as a program of its own.
#include "sim/sim.h"
#include "sim/sim_model.h"
#include "vtr/vtr_text.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

namespace {

volatile std::sig_atomic_t g_signal = 0;

extern "C" void on_signal(int sig) {
    g_signal = sig;
}

bool parse_arg_number(const char *text, unsigned long long max, unsigned long long *out) {
    uint64_t v = 0;
    if (!text || !vtr_parse_uint_strict(text, strlen(text), max, VTR_PARSE_DECIMAL, &v))
        return false;
    *out = v;
    return true;
}

int usage_error(const char *what, const char *arg) {
    fprintf(stderr, "nyx-sim: %s%s%s\nTry nyx-sim --help.\n", what, arg ? ": " : "",
            arg ? arg : "");
    return 2;
}

// Longer command lines are read to their end and refused.
constexpr size_t MAX_COMMAND = 4096;

// One line of at most MAX_COMMAND bytes; false at end of input. *too_long tells that the
// line was longer (and what was kept is no command).
bool read_line(std::string *line, bool *too_long) {
    line->clear();
    *too_long = false;
    std::streambuf *in = std::cin.rdbuf();
    for (;;) {
        int c = in->sbumpc();
        if (c == std::char_traits<char>::eof())
            return !line->empty() || *too_long;
        if (c == '\n')
            return true;
        if (line->size() < MAX_COMMAND)
            *line += char(c);
        else
            *too_long = true;
    }
}

// Commands come from standard input on a thread of their own, so that the main thread can
// notice a signal while a read is blocked. End of input is not a reason to stop: the
// simulator is often started in the background with nothing to read.
void read_commands(nyxsim *sim) {
    std::string line;
    bool too_long = false;
    while (nyxsim_serving(sim) && read_line(&line, &too_long)) {
        if (too_long) {
            fprintf(stderr, "nyx-sim: command longer than %zu bytes ignored\n", MAX_COMMAND);
            continue;
        }
        size_t b = line.find_first_not_of(" \t\r");
        std::string cmd = b == std::string::npos ? "" : line.substr(b);
        while (!cmd.empty() && (cmd.back() == '\r' || cmd.back() == ' ' || cmd.back() == '\t'))
            cmd.pop_back();
        std::string reply;
        vtr_error e = nyxsim_command(sim, cmd.c_str(), &reply);
        if (e != VTR_SUCCESS)
            fprintf(stderr, "nyx-sim: %s\n", reply.c_str());
        else if (!reply.empty())
            printf("%s\n", reply.c_str());
        fflush(stdout);
    }
}

} // namespace

int main(int argc, char **argv) {
    nyxsim_options options;
    const char *state_file = nullptr;
    bool print_state = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string value;
        bool has_value = false;
        size_t eq = a.find('=');
        if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
            has_value = true;
        }
        auto take = [&](const char **out) {
            if (has_value) {
                *out = nullptr;
                return true;
            }
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        const char *next = nullptr;
        unsigned long long n = 0;
        if (a == "-h" || a == "--help") {
            fputs(nyxsim_help_text(), stdout);
            return 0;
        } else if (a == "--version") {
            printf("nyx-sim %s\n", NYX_VERSION);
            return 0;
        } else if (a == "-v" || a == "--verbose") {
            options.verbose = true;
        } else if (a == "--print-state") {
            print_state = true;
        } else if (a == "--port" || a == "--max-clients" || a == "--client-timeout" ||
                   a == "--state") {
            if (!take(&next))
                return usage_error("missing value after", a.c_str());
            const char *text = next ? next : value.c_str();
            if (a == "--state") {
                state_file = next ? next : argv[i] + strlen("--state=");
            } else if (a == "--port") {
                if (!parse_arg_number(text, 65535, &n))
                    return usage_error("not a port number", text);
                options.port = uint16_t(n);
            } else if (a == "--max-clients") {
                if (!parse_arg_number(text, 1000000, &n))
                    return usage_error("not a client count", text);
                options.max_clients = uint32_t(n);
            } else {
                if (!parse_arg_number(text, 86400000, &n) || n == 0)
                    return usage_error("not a timeout in milliseconds", text);
                options.client_timeout_ms = uint32_t(n);
            }
        } else {
            return usage_error("unknown argument", argv[i]);
        }
    }

    nyxsim *sim = nullptr;
    vtr_error e = nyxsim_new(&options, &sim);
    if (e != VTR_SUCCESS) {
        fprintf(stderr, "nyx-sim: cannot create the simulator\n");
        return 1;
    }
    if (state_file) {
        std::string message;
        if (nyxsim_load_file(sim, state_file, &message) != VTR_SUCCESS) {
            fprintf(stderr, "nyx-sim: %s\n", message.c_str());
            nyxsim_delete(sim);
            return 1;
        }
    }
    if (print_state) {
        std::string reply;
        nyxsim_command(sim, "show", &reply);
        // Only the keys, not the switches and clients that follow them.
        size_t end = reply.find("\nport ");
        fputs(reply.substr(0, end == std::string::npos ? end : end + 1).c_str(), stdout);
        nyxsim_delete(sim);
        return 0;
    }

    e = nyxsim_start(sim);
    if (e != VTR_SUCCESS) {
        char text[VTR_ERROR_TEXT_SIZE];
        fprintf(stderr, "nyx-sim: cannot listen on 127.0.0.1:%u: %s\n", options.port,
                vtr_error_text(e, text));
        nyxsim_delete(sim);
        return 1;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    printf("nyx-sim: listening on 127.0.0.1:%u\n", nyxsim_port(sim));
    fflush(stdout);

    std::thread(read_commands, sim).detach();
    // Until a signal, or until the quit command has ended the serving thread.
    while (g_signal == 0 && nyxsim_serving(sim))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));

    // The reader may still be blocked on standard input or inside a command, so the
    // simulator is stopped but not freed; the process ends here.
    nyxsim_stop(sim);
    fflush(stdout);
    fflush(stderr);
    std::_Exit(0);
}
