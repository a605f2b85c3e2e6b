// Collects the lines a logger hands to its callback sink.
#pragma once

#include "vtr/vtr.h"

#include <algorithm>
#include <string>
#include <vector>

struct LogCapture {
    vtr_logger *logger = nullptr;
    std::vector<std::string> lines;

    // Takes over an existing logger (an environment's) or makes its own.
    explicit LogCapture(vtr_logger *existing = nullptr, uint32_t level = VTR_LOG_VERBOSE)
        : logger(existing), owned(!existing) {
        if (!logger)
            vtr_logger_new(&logger);
        logger->callback = [](vtr_logger *l, const char *, uint32_t, const char *text, size_t n) {
            static_cast<LogCapture *>(l->callback_context)->lines.emplace_back(text, n);
        };
        logger->callback_context = this;
        vtr_logger_set_overall_level(logger, level);
        vtr_logger_set_level(logger, VTR_SINK_CALLBACK, level);
    }
    ~LogCapture() { owned ? vtr_logger_delete(logger) : void(logger->callback = nullptr); }
    LogCapture(const LogCapture &) = delete;

    size_t count(const std::string &line) const {
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }
    bool has(const std::string &line) const { return count(line) > 0; }
    bool has_prefix(const std::string &part) const {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string &l) { return l.rfind(part, 0) == 0; });
    }

  private:
    bool owned;
};
