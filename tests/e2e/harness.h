// What the end-to-end suites share: their environment, the simulator and wine.
#pragma once

#include "tests/e2e/process.h"

#include <filesystem>
#include <memory>

namespace e2e {

// The variable's value, or `fallback` when it is unset or empty.
std::string env_or(const char *name, const std::string &fallback);
void write_file(const std::filesystem::path &path, const std::string &text);

// Starts nyx-sim (a path) with `args` and expects it to serve on 127.0.0.1:8899 in time.
std::unique_ptr<Process> start_sim(const std::string &sim,
                                   const std::vector<std::string> &args = {});
// Sends a simulator command and asserts that `reply` comes back.
void sim_command(Process &sim, const std::string &line, const std::string &reply);

// Kills the wineserver of `wine` (the loader's path): one left from an earlier run may live
// in another network namespace, and the sockets it makes would be there.
void kill_wineserver(const std::string &wine);

} // namespace e2e
