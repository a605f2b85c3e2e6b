#include "tests/e2e/harness.h"

#include <cstdlib>
#include <fstream>

namespace e2e {

namespace fs = std::filesystem;
Config g_config;

std::string env_or(const char *name, const std::string &fallback) {
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

void write_file(const fs::path &path, const std::string &text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

milliseconds scaled(int ms) {
    return milliseconds(g_config.under_wine() ? ms * 6 : ms);
}

namespace {

void kill_wineserver() {
    fs::path beside = fs::path(g_config.wine).parent_path() / "wineserver";
    Process({fs::exists(beside) ? beside.string() : "/usr/bin/wineserver", "-k"})
        .wait_exit(milliseconds(10000));
}

class Environment : public ::testing::Environment {
  public:
    explicit Environment(const char *program_var) : program_var_(program_var) {}
    void SetUp() override {
        g_config = {
            env_or(program_var_, ""), env_or("NYX_E2E_WINE", ""), env_or("NYX_E2E_SIM", ""), {}};
        if (g_config.program.empty() || g_config.sim.empty()) {
            GTEST_SKIP() << program_var_ << " and NYX_E2E_SIM name the programs";
        }
        char pattern[] = "/tmp/nyx-e2e-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            g_config.temp = pattern;
        }
        if (g_config.under_wine()) {
            kill_wineserver();
            Process({g_config.wine, "wineboot", "-i"}).wait_exit(milliseconds(180000));
        }
    }
    void TearDown() override {
        if (g_config.under_wine()) {
            kill_wineserver();
        }
        std::error_code ignored;
        fs::remove_all(g_config.temp, ignored);
    }

  private:
    const char *program_var_;
};

} // namespace

void add_environment(const char *program_var) {
    ::testing::AddGlobalTestEnvironment(new Environment(program_var));
}

std::unique_ptr<Process> start_program(const std::vector<std::string> &args) {
    std::vector<std::string> argv;
    if (g_config.under_wine()) {
        argv.push_back(g_config.wine);
    }
    argv.push_back(g_config.program);
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Process>(argv);
}

std::unique_ptr<Process> start_sim(const std::vector<std::string> &args) {
    std::vector<std::string> argv{g_config.sim};
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

} // namespace e2e
