// What the end-to-end suites of nyxcli and nyxctl share: the program under test (run through
// wine when NYX_E2E_WINE names the loader), the simulator NYX_E2E_SIM and a scratch folder.
#pragma once

#include "tests/e2e/process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace e2e {

struct Config {
    std::string program, wine, sim;
    std::filesystem::path temp;
    bool under_wine() const { return !wine.empty(); }
};
extern Config g_config;

// Registers the suite's environment: the program is named by the variable `program_var`; the
// tests are skipped when it or NYX_E2E_SIM is unset.
// Under wine a fresh wineserver starts in this network namespace (one left from an earlier
// run may live in another, and the sockets it makes would be there).
void add_environment(const char *program_var);
std::string env_or(const char *name, const std::string &fallback);
void write_file(const std::filesystem::path &path, const std::string &text);
// Wine starts a process in seconds, not milliseconds.
milliseconds scaled(int ms);

std::unique_ptr<Process> start_program(const std::vector<std::string> &args);
// Starts nyx-sim with `args` and expects it to serve on 127.0.0.1:8899 in time.
std::unique_ptr<Process> start_sim(const std::vector<std::string> &args = {});
// Sends a simulator command and asserts that `reply` comes back.
void sim_command(Process &sim, const std::string &line, const std::string &reply);

} // namespace e2e
