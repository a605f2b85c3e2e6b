// nyxctl: read, change, watch and export the virtual soundcard's configuration from scripts.
#include "ctl/commands.h"
#ifdef NYXCTL_METRICS
#include "ctl/metrics_server.h"
#endif

#include <CLI/CLI.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <thread>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#endif


namespace {

using namespace nyxctl;

const char kExitStatus[] = R"(Exit status:
  0  success
  1  unexpected failure
  2  usage error or invalid value; nothing was sent
  3  timed out waiting for a completion
  4  the manager refused the change (the result's name goes to standard error)
  5  the API refused the request before sending it (not running where required, locked,
     value not among the choices); the result is named
  8  the manager was not reachable within the timeout)";

// What a SIGINT or SIGTERM does while monitor or metrics runs.
std::mutex g_interrupt_mutex;
std::function<void()> g_on_interrupt;

void run_interrupt() {
    std::function<void()> fn;
    {
        std::lock_guard<std::mutex> lock(g_interrupt_mutex);
        fn = g_on_interrupt;
    }
    if (fn) {
        fn();
    }
}

#ifdef _WIN32
// The C runtime runs a console's Ctrl+C handler on a thread of its own.
extern "C" void on_signal(int) {
    run_interrupt();
}
void catch_interrupts() {
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGBREAK, on_signal);
}
#else
// The signals are blocked in every thread (the API's worker included, which inherits the mask)
// and taken by one thread of our own, which may lock and notify.
void catch_interrupts() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        int sig = 0;
        sigwait(&set, &sig);
        run_interrupt();
    }).detach();
}
#endif

#ifdef _WIN32
// The arguments as UTF-8: Windows hands main() the ANSI code page's text.
std::vector<std::string> utf8_arguments() {
    std::vector<std::string> out;
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; wide != nullptr && i < count; ++i) {
        int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(size_t(size > 0 ? size : 1), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), size, nullptr, nullptr);
        arg.resize(arg.size() - 1);
        out.push_back(arg);
    }
    LocalFree(wide);
    return out;
}
#endif

void on_interrupt(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(g_interrupt_mutex);
    g_on_interrupt = std::move(fn);
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"nyxctl: read, change, watch and export the virtual soundcard's configuration.\n"
                 "Talks to the manager service through the NyxApi library.",
                 "nyxctl"};
    app.footer(kExitStatus);
    app.set_version_flag("--version", "nyxctl " NYX_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    app.allow_windows_style_options(false); // "/path" is a file name

    double timeout_s = 10;
    Options o;
    app.add_option("--timeout", timeout_s,
                   "Seconds to wait for the manager and for each completion (default 10)")
        ->check(CLI::PositiveNumber);
    app.add_flag("--json", o.json,
                 "JSON output (get, set, apply, version; JSON Lines for monitor)");

    std::vector<std::string> fields, assignments;
    std::string file;
    CLI::App *get = app.add_subcommand("get", "Current values; every field when none is named");
    get->add_option("FIELD", fields, "Field names");
    CLI::App *set = app.add_subcommand(
        "set", "Apply the changes in the order given, each one awaited; stop at the first failure");
    set->add_option("FIELD=VALUE", assignments, "Changes")->required();
    CLI::App *dump = app.add_subcommand("dump", "The whole configuration as a JSON document");
    CLI::App *apply = app.add_subcommand(
        "apply", "Make the configuration equal to a JSON document as dump writes it; send only "
                 "what differs");
    apply->add_option("FILE", file, "The document, or - for standard input")->required();
    CLI::App *monitor = app.add_subcommand(
        "monitor", "One line per event until interrupted; survives the manager going away");
    CLI::App *version = app.add_subcommand(
        "version", "The API version, and the manager's version when it is reachable");
#ifdef NYXCTL_METRICS
    std::string listen_text = "127.0.0.1:" + std::to_string(kDefaultMetricsPort);
    double read_timeout_s = 5;
    CLI::App *metrics =
        app.add_subcommand("metrics", "Serve the figures for Prometheus at /metrics");
    metrics->add_option(
        "--listen", listen_text,
        "ADDRESS:PORT to serve on (default 127.0.0.1:" + std::to_string(kDefaultMetricsPort) + ")");
    metrics
        ->add_option("--read-timeout", read_timeout_s,
                     "Seconds a client has to send its whole request (default 5)")
        ->check(CLI::PositiveNumber);

#endif

    try {
#ifdef _WIN32
        std::vector<std::string> args = utf8_arguments();
        if (!args.empty()) {
            args.erase(args.begin());
            std::reverse(args.begin(), args.end()); // CLI11 takes them last first
            app.parse(args);
        } else {
            app.parse(argc, argv);
        }
#else
        app.parse(argc, argv);
#endif
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "nyxctl: %s\n", e.what());
        return EXIT_USAGE;
    }
    o.timeout = std::chrono::milliseconds(static_cast<long long>(timeout_s * 1000));

    try {
        if (get->parsed())
            return cmd_get(o, fields);
        if (set->parsed())
            return cmd_set(o, assignments);
        if (dump->parsed())
            return cmd_dump(o);
        if (apply->parsed())
            return cmd_apply(o, file);
        if (version->parsed())
            return cmd_version(o);
        if (monitor->parsed()) {
            catch_interrupts();
            Session session;
            on_interrupt([&session] { session.interrupt(); });
            int status = cmd_monitor(o, session);
            on_interrupt(nullptr);
            return status;
        }
#ifdef NYXCTL_METRICS
        if (metrics->parsed()) {
            std::optional<Listen> listen = parse_listen(listen_text);
            if (!listen) {
                std::fprintf(stderr, "nyxctl: --listen: expected ADDRESS:PORT, got \"%s\"\n",
                             listen_text.c_str());
                return EXIT_USAGE;
            }
            catch_interrupts();
            Session session;
            NyxApiResult r = session.start(false);
            if (r != NYXAPI_SUCCESS) {
                std::fprintf(stderr, "nyxctl: cannot start the API: %s\n", result_name(r));
                return EXIT_UNEXPECTED;
            }
            int status = serve_metrics(
                session, *listen,
                std::chrono::milliseconds(static_cast<long long>(read_timeout_s * 1000)),
                [&session](std::function<void()> stop) {
                    on_interrupt([&session, stop] {
                        session.interrupt();
                        stop();
                    });
                });
            on_interrupt(nullptr);
            return status;
        }
#endif
    } catch (const std::exception &e) {
        std::fprintf(stderr, "nyxctl: unexpected failure: %s\n", e.what());
        return EXIT_UNEXPECTED;
    }
    return EXIT_USAGE;
}
