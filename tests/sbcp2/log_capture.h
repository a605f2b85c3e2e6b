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
    explicit LogCapture(vtr_logger *existing = nullptr) : logger(existing), owned(!existing) {
        if (!logger)
            vtr_logger_new(&logger);
        logger->callback = &LogCapture::sink;
        logger->callback_context = this;
        vtr_logger_set_overall_level(logger, VTR_LOG_VERBOSE);
        vtr_logger_set_level(logger, VTR_SINK_CALLBACK, VTR_LOG_VERBOSE);
    }
    ~LogCapture() {
        if (owned)
            vtr_logger_delete(logger);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    bool has(const std::string &line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    size_t count(const std::string &line) const {
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }
    // Lines containing the given text.
    size_t count_containing(const std::string &part) const {
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](auto &l) {
            return l.find(part) != std::string::npos;
        }));
    }

  private:
    bool owned;
    static void sink(vtr_logger *logger, const char *, uint32_t, const char *text, size_t length) {
        static_cast<LogCapture *>(logger->callback_context)->lines.emplace_back(text, length);
    }
};
