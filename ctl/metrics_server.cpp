// `nyxctl metrics`: serves the cache's figures over HTTP with cpp-httplib.
//
// httplib parses, routes and answers; the connection it reads from is ours, so that one
// request must arrive whole within the read timeout and within a byte budget. Its own stream
// bounds each read and each line, but not a client that trickles header lines for ever.
#include "ctl/metrics_server.h"

#include <httplib.h>

#include <cstdio>

#ifndef _WIN32
#include <poll.h>
#endif

namespace nyxctl {

namespace {

using Clock = std::chrono::steady_clock;

#ifdef _WIN32
void close_socket(socket_t sock) {
    shutdown(sock, SD_BOTH);
    closesocket(sock);
}
#else
void close_socket(socket_t sock) {
    shutdown(sock, SHUT_RDWR);
    close(sock);
}
#endif

// Waits until the socket is ready (for reading, else writing) or the deadline passes; what
// is ready at the deadline still counts, however late this thread got to run.
bool wait_ready(socket_t sock, bool for_read, Clock::time_point deadline) {
    for (;;) {
        auto left = std::max(
            std::chrono::milliseconds(0),
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
#ifdef _WIN32
        fd_set set;
        FD_ZERO(&set);
        FD_SET(sock, &set);
        timeval tv{long(left.count() / 1000), long(left.count() % 1000) * 1000};
        int n = select(0, for_read ? &set : nullptr, for_read ? nullptr : &set, nullptr, &tv);
#else
        pollfd p{sock, short(for_read ? POLLIN : POLLOUT), 0};
        int n = poll(&p, 1, int(left.count()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
#endif
        return n > 0;
    }
}

std::pair<std::string, int> address_text(const sockaddr_storage &a) {
    char host[64] = {};
    int port = 0;
    if (a.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&a);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
    } else if (a.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&a);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
    }
    return {host, port};
}

class BoundedStream : public httplib::Stream {
  public:
    BoundedStream(socket_t sock, std::chrono::milliseconds read_timeout, size_t budget)
        : sock_(sock), read_deadline_(Clock::now() + read_timeout), budget_(budget) {}

    bool is_readable() const override { return wait_ready(sock_, true, read_deadline_); }
    bool is_writable() const override {
        return wait_ready(sock_, false, Clock::now() + std::chrono::seconds(5));
    }
    ssize_t read(char *ptr, size_t size) override {
        if (budget_ == 0 || !is_readable()) {
            return -1;
        }
        int n = int(recv(sock_, ptr, int(std::min(size, budget_)), 0));
        if (n > 0) {
            budget_ -= size_t(n);
        }
        return n;
    }
    ssize_t write(const char *ptr, size_t size) override {
        if (!is_writable()) {
            return -1;
        }
#ifdef _WIN32
        return send(sock_, ptr, int(size), 0);
#else
        return send(sock_, ptr, size, MSG_NOSIGNAL);
#endif
    }
    void get_remote_ip_and_port(std::string &ip, int &port) const override {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        if (getpeername(sock_, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
            std::tie(ip, port) = address_text(a);
        }
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        if (getsockname(sock_, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
            std::tie(ip, port) = address_text(a);
        }
    }
    socket_t socket() const override {
        return sock_;
    }

  private:
    socket_t sock_;
    Clock::time_point read_deadline_;
    size_t budget_;
};

class BoundedServer : public httplib::Server {
  public:
    BoundedServer(std::chrono::milliseconds read_timeout, size_t budget)
        : read_timeout_(read_timeout), budget_(budget) {}

  private:
    // One request per connection, read whole within the timeout and the budget.
    bool process_and_close_socket(socket_t sock) override {
        bool closed = false;
        bool ok;
        {
            BoundedStream stream(sock, read_timeout_, budget_);
            ok = process_request(stream, true, closed, nullptr);
        }
        close_socket(sock);
        return ok;
    }

    std::chrono::milliseconds read_timeout_;
    size_t budget_;
};

const char kIndex[] = "<!DOCTYPE html>\n<html><head><title>nyxctl metrics</title></head>\n"
                      "<body><h1>nyxctl metrics</h1>\n"
                      "<p><a href=\"/metrics\">Metrics</a></p></body></html>\n";

} // namespace

int serve_metrics(Session &session, const Listen &listen, std::chrono::milliseconds read_timeout,
                  const std::function<void(std::function<void()>)> &on_stop) {
    BoundedServer server(read_timeout, kRequestBudget);
    server.set_payload_max_length(kRequestBudget);
    server.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &res) {
        if (req.path != "/" && req.path != "/metrics") {
            res.status = 404;
            res.set_content("Not found\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method != "GET" && req.method != "HEAD") {
            res.status = 405;
            res.set_header("Allow", "GET, HEAD");
            res.set_content("Method not allowed\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.Get("/", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(kIndex, "text/html; charset=utf-8");
    });
    server.Get("/metrics", [&session](const httplib::Request &, httplib::Response &res) {
        res.set_content(metrics_text(session.snapshot(), session.counters()),
                        "text/plain; version=0.0.4; charset=utf-8");
    });

    int port = listen.port;
    bool bound = port == 0 ? (port = server.bind_to_any_port(listen.host)) > 0
                           : server.bind_to_port(listen.host, port);
    std::string where =
        (listen.host.find(':') != std::string::npos ? "[" + listen.host + "]" : listen.host) + ":" +
        std::to_string(port);
    if (!bound) {
        fprintf(stderr, "nyxctl: metrics: cannot listen on %s\n", where.c_str());
        return EXIT_UNEXPECTED;
    }
    printf("nyxctl: serving http://%s/metrics\n", where.c_str());
    fflush(stdout);
    on_stop([&server] {
        // A stop before the accept loop has begun would be forgotten by it.
        for (int i = 0; i < 1000 && !server.is_running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        server.stop();
    });
    bool ok = server.listen_after_bind();
    return ok || session.interrupted() ? EXIT_OK : EXIT_UNEXPECTED;
}

} // namespace nyxctl
