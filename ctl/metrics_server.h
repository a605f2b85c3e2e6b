// The HTTP side of `nyxctl metrics`.
#pragma once

#include "ctl/nyxctl.h"

#include <functional>

namespace nyxctl {

constexpr int kDefaultMetricsPort = 9899;
// The most a request may send, request line and headers included.
constexpr size_t kRequestBudget = 16 * 1024;

// Serves until the function handed to `on_stop` is called; returns the exit status.
int serve_metrics(Session &session, const Listen &listen, std::chrono::milliseconds read_timeout,
                  const std::function<void(std::function<void()>)> &on_stop);

} // namespace nyxctl
