// nyxcli: console control of the virtual network soundcard service.
#include "cli/cli.h"

#include <chrono>
#include <csignal>
#include <iostream>
#include <string>
#include <thread>

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);

extern "C" void on_interrupt(int) {
    nyxcli::g_running = false;
}

} // namespace

int main(int argc, char **argv) {
    using namespace nyxcli;
    const char *program = argc > 0 && argv[0] != nullptr ? argv[0] : "";

    NyxApi *api = nullptr;
    NyxApiResult result = NyxApiNew(&api);
    if (result != NYXAPI_SUCCESS) {
        err_line(std::string("Error creating NyxApi handle: ") + result_name(result));
    } else {
        out_line("API Version = " + version_text(NyxApiGetApiVersion(api)));
        NyxApiSetEventFn(api, event_report);
        result = NyxApiStart(api);
        if (result != NYXAPI_SUCCESS) {
            err_line(std::string("Error starting NyxApi handle: ") + result_name(result));
        } else {
            std::signal(SIGINT, on_interrupt);
            // No time limit: the handle keeps trying until the manager answers.
            while (NyxApiGetState(api) != NYXAPI_STATE_CONNECTED) {
                std::this_thread::sleep_for(kPollInterval);
            }
            out_line("Connected, listening for events");

            for (int i = 1; i < argc; ++i) {
                run_command(program, argv[i], api);
            }

            std::string line;
            while (g_running) {
                out_line("");
                std::cout << "Input a command: ";
                std::cout.flush();
                try {
                    if (read_command_line(std::cin, line) == LineRead::TooLong) {
                        refuse_command(program, line.c_str());
                    } else {
                        run_command(program, line.c_str(), api);
                    }
                } catch (...) {
                    // A command that runs out of memory is abandoned; the loop goes on.
                    note_exception("command");
                }
                std::this_thread::sleep_for(kPollInterval);
            }
        }
    }

    if (api != nullptr) {
        NyxApiStop(api);
        NyxApiDelete(api);
    }
    return 0;
}
