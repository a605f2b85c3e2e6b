#include "tests/e2e/harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace e2e {

namespace fs = std::filesystem;

std::string env_or(const char *name, const std::string &fallback) {
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

void write_file(const fs::path &path, const std::string &text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::unique_ptr<Process> start_sim(const std::string &sim, const std::vector<std::string> &args) {
    std::vector<std::string> argv{sim};
    argv.insert(argv.end(), args.begin(), args.end());
    auto p = std::make_unique<Process>(argv);
    EXPECT_TRUE(p->wait_out("nyx-sim: listening on 127.0.0.1:8899\n", 0, milliseconds(5000)))
        << p->err();
    return p;
}

void sim_command(Process &sim, const std::string &line, const std::string &reply) {
    size_t mark = sim.out_size();
    sim.write(line + "\n");
    ASSERT_TRUE(sim.wait_out(reply, mark, milliseconds(5000))) << line << "\n" << sim.err();
}

void kill_wineserver(const std::string &wine) {
    fs::path beside = fs::path(wine).parent_path() / "wineserver";
    Process({fs::exists(beside) ? beside.string() : "/usr/bin/wineserver", "-k"})
        .wait_exit(milliseconds(10000));
}

} // namespace e2e
