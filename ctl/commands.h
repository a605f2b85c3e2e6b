// The commands of nyxctl.
#pragma once

#include "ctl/nyxctl.h"

namespace nyxctl {

struct Options {
    std::chrono::milliseconds timeout{10000}; // for the connection and each completion
    bool json = false;
};

// Whether every name is a field; names the unknown ones on standard error.
bool check_field_names(const std::vector<std::string> &names);

int cmd_get(const Options &o, const std::vector<std::string> &names);
int cmd_set(const Options &o, const std::vector<std::string> &assignments);
int cmd_dump(const Options &o);
int cmd_apply(const Options &o, const std::string &file);
int cmd_version(const Options &o);
// Runs until the session is interrupted.
int cmd_monitor(const Options &o, Session &session);

// One line of monitor output: timestamp, change flags and the new values of what changed.
std::string event_line(const Event &e, bool as_json);

} // namespace nyxctl
