// A child process whose standard output and error go to files of its own, so it never
// blocks on them; its input is a pipe.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace e2e {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class Process {
  public:
    // Starts argv[0] (a path) with the given arguments in a process group of its own.
    explicit Process(const std::vector<std::string> &argv);
    ~Process(); // kills what is still running
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return pid_; }
    void write(const std::string &text);
    void close_stdin();
    void signal(int sig);

    // Output so far; line ends "\r\n" are read as "\n".
    std::string out() { return read(0); }
    std::string err() { return read(1); }
    size_t out_size() { return out().size(); }

    // Waits until the stream holds `count` occurrences of `text` at or after `from`; returns
    // where the last of them starts.
    std::optional<size_t> wait_out(const std::string &text, size_t from, milliseconds timeout,
                                   size_t count = 1) {
        return wait_in(0, text, from, timeout, count);
    }
    std::optional<size_t> wait_err(const std::string &text, size_t from, milliseconds timeout) {
        return wait_in(1, text, from, timeout, 1);
    }
    // Waits until neither stream has grown for `quiet`, at most `timeout` in all.
    void settle(milliseconds quiet, milliseconds timeout);
    // The exit status (-signal when killed by one), or nullopt when still running after
    // `timeout`.
    std::optional<int> wait_exit(milliseconds timeout);

  private:
    std::string read(int stream);
    std::optional<size_t> wait_in(int stream, const std::string &text, size_t from,
                                  milliseconds timeout, size_t count);

    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    std::string files_[2];
    std::optional<int> status_;
};

} // namespace e2e
