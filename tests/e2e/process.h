// A child process with pipes on its three standard streams, read by a thread of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
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

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void write(const std::string &text);
    void close_stdin();
    void signal(int sig);

    // Output so far; line ends "\r\n" are read as "\n".
    std::string out();
    std::string err();
    size_t out_size() { return out().size(); }

    // Waits until standard output holds `count` occurrences of `text` at or after `from`;
    // returns where the last of them starts.
    std::optional<size_t> wait_out(const std::string &text, size_t from, milliseconds timeout,
                                   size_t count = 1);
    std::optional<size_t> wait_err(const std::string &text, size_t from, milliseconds timeout);
    // Waits until neither stream has grown for `quiet`, at most `timeout` in all.
    void settle(milliseconds quiet, milliseconds timeout);

    // The exit status (-signal when killed by one), or nullopt when still running after
    // `timeout`. Once it has ended, all its output has been read.
    std::optional<int> wait_exit(milliseconds timeout);

  private:
    void read_loop(int out_fd, int err_fd);
    std::optional<size_t> wait_in(const std::string &buffer, const std::string &text, size_t from,
                                  milliseconds timeout, size_t count);

    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable grown_;
    std::string out_, err_;
    Clock::time_point last_growth_ = Clock::now();
    bool reaped_ = false;
    int status_ = 0;
};

} // namespace e2e
