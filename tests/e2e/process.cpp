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

// Appends a chunk, turning "\r\n" into "\n", also across chunks.
void append_text(std::string &buffer, const char *data, size_t size) {
    size_t at = buffer.empty() ? 0 : buffer.size() - 1;
    buffer.append(data, size);
    while ((at = buffer.find("\r\n", at)) != std::string::npos) {
        buffer.erase(at, 1);
    }
}

} // namespace

Process::Process(const std::vector<std::string> &argv) {
    // A child that has ended (as it may, after an interrupt) must not take the test with it
    // when its input is written: the write fails instead.
    std::signal(SIGPIPE, SIG_IGN);
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
    if (pid_ > 0 && !wait_exit(milliseconds(0))) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        wait_exit(milliseconds(5000));
    }
    close_stdin();
    if (reader_.joinable()) {
        reader_.join();
    }
}

void Process::read_loop(int out_fd, int err_fd) {
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
            append_text(i == 0 ? out_ : err_, chunk, size_t(n));
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
    for (size_t done = 0; stdin_fd_ >= 0 && done < text.size();) {
        ssize_t n = ::write(stdin_fd_, text.data() + done, text.size() - done);
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

std::optional<size_t> Process::wait_in(const std::string &buffer, const std::string &text,
                                       size_t from, milliseconds timeout, size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<size_t> found;
    grown_.wait_for(lock, timeout, [&] {
        size_t at = from, seen = 0;
        for (; seen < count && (at = buffer.find(text, at)) != std::string::npos; ++seen) {
            found = at;
            at += text.size();
        }
        if (seen < count) {
            found.reset();
        }
        return found.has_value();
    });
    return found;
}

std::optional<size_t> Process::wait_out(const std::string &text, size_t from, milliseconds timeout,
                                        size_t count) {
    return wait_in(out_, text, from, timeout, count);
}

std::optional<size_t> Process::wait_err(const std::string &text, size_t from,
                                        milliseconds timeout) {
    return wait_in(err_, text, from, timeout, 1);
}

void Process::settle(milliseconds quiet, milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex_);
    while (Clock::now() < deadline && Clock::now() < last_growth_ + quiet) {
        grown_.wait_until(lock, std::min(last_growth_ + quiet, deadline));
    }
}

std::optional<int> Process::wait_exit(milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (pid_ > 0 && !reaped_) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            std::lock_guard<std::mutex> lock(mutex_);
            reaped_ = true;
            status_ = status;
        } else if ((r < 0 && errno != EINTR) || Clock::now() >= deadline) {
            return std::nullopt;
        } else {
            std::this_thread::sleep_for(milliseconds(10));
        }
    }
    if (!reaped_) {
        return std::nullopt;
    }
    // The reader stops once the pipes are drained.
    if (reader_.joinable()) {
        reader_.join();
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -WTERMSIG(status_);
}

} // namespace e2e
