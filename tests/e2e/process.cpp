#include "tests/e2e/process.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {

namespace {

// Appends a chunk, turning "\r\n" into "\n" (a '\r' at a chunk's end waits for the next one).
void append_text(std::string &buffer, bool &held_cr, const char *data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        char c = data[i];
        if (held_cr) {
            held_cr = false;
            if (c != '\n') {
                buffer += '\r';
            }
        }
        if (c == '\r') {
            held_cr = true;
            continue;
        }
        buffer += c;
    }
}

} // namespace

Process::Process(const std::vector<std::string> &argv) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return;
    }
    std::vector<char *> args;
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGPIPE, SIG_DFL);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        return;
    }
    setpgid(pid, pid);
    pid_ = pid;
    stdin_fd_ = in[1];
    reader_ = std::thread(&Process::read_loop, this, out[0], err[0]);
}

Process::~Process() {
    if (pid_ > 0) {
        if (!wait_exit(milliseconds(0))) {
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            wait_exit(milliseconds(5000));
        }
    }
    close_stdin();
    if (reader_.joinable()) {
        reader_.join();
    }
}

void Process::read_loop(int out_fd, int err_fd) {
    bool out_cr = false, err_cr = false;
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    int open_fds = 2;
    char chunk[4096];
    while (open_fds > 0) {
        if (poll(fds, 2, 200) < 0 && errno != EINTR) {
            break;
        }
        // Descendants such as a started script may keep the pipes open: stop once the
        // process itself is gone and the pipes are drained.
        bool idle = true;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
                continue;
            }
            idle = false;
            std::lock_guard<std::mutex> lock(mutex_);
            append_text(i == 0 ? out_ : err_, i == 0 ? out_cr : err_cr, chunk, size_t(n));
            last_growth_ = Clock::now();
            grown_.notify_all();
        }
        if (idle) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (reaped_) {
                break;
            }
        }
    }
    for (pollfd &fd : fds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
}

void Process::write(const std::string &text) {
    size_t done = 0;
    while (stdin_fd_ >= 0 && done < text.size()) {
        ssize_t n = ::write(stdin_fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += size_t(n);
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

std::string Process::out() {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string Process::err() {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

size_t Process::out_size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_.size();
}

std::optional<size_t> Process::wait_in(std::string Process::*buffer, const std::string &text,
                                       size_t from, milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<size_t> found;
    grown_.wait_for(lock, timeout, [&] {
        size_t at = (this->*buffer).find(text, from);
        if (at != std::string::npos) {
            found = at;
        }
        return found.has_value();
    });
    return found;
}

std::optional<size_t> Process::wait_out(const std::string &text, size_t from,
                                        milliseconds timeout) {
    return wait_in(&Process::out_, text, from, timeout);
}

std::optional<size_t> Process::wait_err(const std::string &text, size_t from,
                                        milliseconds timeout) {
    return wait_in(&Process::err_, text, from, timeout);
}

bool Process::wait_out_count(const std::string &text, size_t from, size_t count,
                             milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return grown_.wait_for(lock, timeout, [&] {
        size_t seen = 0;
        for (size_t at = out_.find(text, from); at != std::string::npos;
             at = out_.find(text, at + text.size())) {
            ++seen;
        }
        return seen >= count;
    });
}

void Process::settle(milliseconds quiet, milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex_);
    while (Clock::now() < deadline) {
        Clock::time_point quiet_end = last_growth_ + quiet;
        if (Clock::now() >= quiet_end) {
            return;
        }
        grown_.wait_until(lock, std::min(quiet_end, deadline));
    }
}

std::optional<int> Process::wait_exit(milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (reaped_) {
                return WIFEXITED(status_) ? WEXITSTATUS(status_) : -WTERMSIG(status_);
            }
        }
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            std::lock_guard<std::mutex> lock(mutex_);
            reaped_ = true;
            status_ = status;
            continue;
        }
        if (r < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
}

} // namespace e2e
