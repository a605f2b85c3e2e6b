// Console input through the front end: bounded line reads, the command parser and every
// command, against a handle that is created but never started (setters are refused, getters
// give zeros). The log dialogue reads its folder word from the same input.
#include "cli/cli.h"
#include "tests/fuzz/fuzz_common.h"

#include <iostream>
#include <sstream>
#include <streambuf>

namespace {

struct Discard : std::streambuf {
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char *, std::streamsize n) override { return n; }
};

NyxApi *handle() {
    static NyxApi *api = [] {
        // No collection script is ever found, so the log command starts nothing.
        setenv("NYX_PROGRAM_FILES_X86", "/nonexistent", 1);
        static Discard discard;
        std::cout.rdbuf(&discard);
        std::cerr.rdbuf(&discard);
        NyxApi *created = nullptr;
        require(NyxApiNew(&created) == NYXAPI_SUCCESS, "no handle");
        return created;
    }();
    return api;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    NyxApi *api = handle();
    std::istringstream in(std::string(reinterpret_cast<const char *>(data), size));
    std::streambuf *console = std::cin.rdbuf(in.rdbuf());
    std::string line;
    for (int lines = 0; lines < 64 && in.good(); ++lines) {
        nyxcli::LineRead read = nyxcli::read_command_line(in, line);
        require(line.size() <= nyxcli::kLineMax, "line beyond its bound");
        if (nyxcli::split_command(line.c_str()).keyword == "exit")
            continue; // ends the process by design
        if (read == nyxcli::LineRead::TooLong)
            nyxcli::refuse_command("nyxcli", line.c_str());
        else
            nyxcli::run_command("nyxcli", line.c_str(), api);
    }
    std::cin.rdbuf(console);
    std::cin.clear();
    return 0;
}
