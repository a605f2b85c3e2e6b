#include "tests/e2e/process.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {

Process::Process(const std::vector<std::string> &argv) {
    // A child that has ended (as it may, after an interrupt) must not take the test with it
    // when its input is written: the write fails instead.
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], fds[2];
    for (int i = 0; i < 2; ++i) {
        char name[] = "/tmp/nyx-process-XXXXXX";
        fds[i] = mkostemp(name, O_CLOEXEC);
        files_[i] = name;
    }
    if (pipe2(in, O_CLOEXEC) != 0) {
        return;
    }
    std::vector<char *> args;
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    if ((pid_ = fork()) == 0) {
        setpgid(0, 0);
        dup2(in[0], 0);
        dup2(fds[0], 1);
        dup2(fds[1], 2);
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGPIPE, SIG_DFL);
        execv(args[0], args.data());
        _exit(127);
    }
    setpgid(pid_, pid_);
    for (int fd : {in[0], fds[0], fds[1]}) {
        close(fd);
    }
    stdin_fd_ = in[1];
}

Process::~Process() {
    if (pid_ > 0 && !wait_exit(milliseconds(0))) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        wait_exit(milliseconds(5000));
    }
    close_stdin();
    for (const std::string &file : files_) {
        unlink(file.c_str());
    }
}

// A blocking write to a pipe takes all of the text, or fails once the reader is gone.
void Process::write(const std::string &text) {
    if (stdin_fd_ >= 0 && ::write(stdin_fd_, text.data(), text.size()) < 0) {
        close_stdin();
    }
}

void Process::close_stdin() {
    if (stdin_fd_ >= 0) {
        close(stdin_fd_);
        stdin_fd_ = -1;
    }
}

void Process::signal(int sig) {
    if (pid_ > 0) {
        kill(pid_, sig);
    }
}

std::string Process::read(int stream) {
    std::ifstream file(files_[stream], std::ios::binary);
    std::string s{std::istreambuf_iterator<char>(file), {}};
    for (size_t at = 0; (at = s.find("\r\n", at)) != std::string::npos;) {
        s.erase(at, 1);
    }
    return s;
}

std::optional<size_t> Process::wait_in(int stream, const std::string &text, size_t from,
                                       milliseconds timeout, size_t count) {
    for (const Clock::time_point deadline = Clock::now() + timeout;;) {
        std::string buffer = read(stream);
        size_t at = from, seen = 0, last = 0;
        for (; seen < count && (at = buffer.find(text, at)) != std::string::npos; ++seen) {
            last = at;
            at += text.size();
        }
        if (seen == count) {
            return last;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
}

void Process::settle(milliseconds quiet, milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (size_t size = 0, last = 1; size != last && Clock::now() < deadline;) {
        last = size;
        std::this_thread::sleep_for(quiet);
        size = read(0).size() + read(1).size();
    }
}

std::optional<int> Process::wait_exit(milliseconds timeout) {
    for (const Clock::time_point deadline = Clock::now() + timeout; pid_ > 0 && !status_;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        } else if (Clock::now() >= deadline) {
            break;
        } else {
            std::this_thread::sleep_for(milliseconds(10));
        }
    }
    return status_;
}

} // namespace e2e
