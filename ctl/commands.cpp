// The commands of nyxctl. Each returns its exit status; errors go to standard error, one
// line each, naming the field and the reason.
#include "ctl/commands.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace nyxctl {

namespace {

using std::chrono::milliseconds;

void error_line(const std::string &text) {
    std::fprintf(stderr, "nyxctl: %s\n", text.c_str());
}

int report(const std::vector<std::string> &errors, int status) {
    for (const std::string &e : errors) {
        error_line(e);
    }
    return status;
}

void out_line(const std::string &text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

std::string seconds_text(milliseconds ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", double(ms.count()) / 1000.0);
    return text;
}

// Starts the handle and waits for the manager; the exit status on failure.
std::optional<int> connect(Session &session, const Options &o) {
    NyxApiResult r = session.start(false);
    if (r != NYXAPI_SUCCESS) {
        error_line(std::string("cannot start the API: ") + result_name(r));
        return EXIT_UNEXPECTED;
    }
    if (!session.wait_connected(o.timeout)) {
        error_line("manager: not reachable within " + seconds_text(o.timeout));
        return EXIT_UNREACHABLE;
    }
    return std::nullopt;
}

// Why the API refused a setter before sending, as far as the cache tells.
std::string refusal_reason(const Snapshot &s, const Change &c, NyxApiResult r) {
    if (r == NYXAPI_ACCESS_DENIED) {
        return s.device_lock_status != 0
                   ? "device locked (lock status " + std::to_string(s.device_lock_status) + ")"
                   : "the domain forbids local configuration";
    }
    if (r == NYXAPI_INVALID_STATE) {
        if (s.state != NYXAPI_STATE_CONNECTED)
            return "not connected";
        bool needs_stop = c.field == "interface" || c.field == "channel_count" ||
                          c.field == "audio_interface" || c.field == "corvo_latency_ms";
        bool needs_asio = c.field == "channel_count" || c.field.rfind("asio_", 0) == 0;
        if (needs_stop && s.running)
            return "the soundcard is running";
        if (needs_asio && s.audio_interface != NYXAPI_AUDIO_INTERFACE_ASIO)
            return "ASIO is not selected";
        return "another request is in flight";
    }
    if (r == NYXAPI_INVALID_DATA) {
        return "the value is not among the choices";
    }
    return "";
}

// Sends the changes one by one, each awaited; stops at the first failure.
int run_changes(Session &session, const std::vector<Change> &changes, const Options &o) {
    json applied = json::object();
    int status = EXIT_OK;
    for (const Change &c : changes) {
        NyxApiResult r = session.send(c);
        if (r != NYXAPI_SUCCESS) {
            std::string reason = refusal_reason(session.snapshot(), c, r);
            error_line(c.field + ": refused before sending: " + result_name(r) +
                       (reason.empty() ? "" : " (" + reason + ")"));
            status = EXIT_REJECTED;
            break;
        }
        std::optional<NyxApiResult> done = session.wait_completion(o.timeout);
        if (!done) {
            error_line(c.field + ": no completion within " + seconds_text(o.timeout));
            status = EXIT_TIMEOUT;
            break;
        }
        if (*done != NYXAPI_SUCCESS) {
            error_line(c.field + ": refused by the manager: " + result_name(*done));
            status = EXIT_REFUSED;
            break;
        }
        if (o.json) {
            applied[c.field] = c.shown;
        } else {
            out_line(c.field + "=" + c.shown);
        }
    }
    if (o.json) {
        out_line(applied.dump());
    }
    return status;
}

std::string timestamp(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    std::time_t seconds = system_clock::to_time_t(t);
    auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count() % 1000;
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &seconds);
#else
    gmtime_r(&seconds, &tm);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms));
    return text;
}

} // namespace

bool check_field_names(const std::vector<std::string> &names) {
    std::vector<std::string> errors;
    for (const std::string &n : names) {
        if (find_field(n) == nullptr) {
            errors.push_back(n + ": unknown field");
        }
    }
    report(errors, EXIT_USAGE);
    return errors.empty();
}

int cmd_get(const Options &o, const std::vector<std::string> &names) {
    if (!check_field_names(names)) {
        return EXIT_USAGE;
    }
    Session session;
    if (std::optional<int> failed = connect(session, o)) {
        return *failed;
    }
    Snapshot s = session.snapshot();
    std::vector<std::string> wanted = names;
    if (wanted.empty()) {
        for (const Field &f : all_fields()) {
            wanted.push_back(f.name);
        }
    }
    if (o.json) {
        json out = json::object();
        for (const std::string &n : wanted) {
            out[n] = field_json(s, n);
        }
        out_line(out.dump());
    } else {
        for (const std::string &n : wanted) {
            for (const std::string &line : field_text(s, n)) {
                out_line(line);
            }
        }
    }
    return EXIT_OK;
}

int cmd_dump(const Options &o) {
    Session session;
    if (std::optional<int> failed = connect(session, o)) {
        return *failed;
    }
    out_line(snapshot_json(session.snapshot()).dump(2));
    return EXIT_OK;
}

int cmd_set(const Options &o, const std::vector<std::string> &assignments) {
    std::vector<std::string> errors;
    for (const std::string &a : assignments) {
        parse_assignment_value(a, errors);
    }
    if (!errors.empty()) {
        return report(errors, EXIT_USAGE);
    }
    Session session;
    if (std::optional<int> failed = connect(session, o)) {
        return *failed;
    }
    Snapshot s = session.snapshot();
    std::vector<Change> changes;
    for (const std::string &a : assignments) {
        if (std::optional<Change> c = parse_assignment(s, a, errors)) {
            changes.push_back(*c);
        }
    }
    if (!errors.empty()) {
        return report(errors, EXIT_USAGE);
    }
    return run_changes(session, changes, o);
}

int cmd_apply(const Options &o, const std::string &file) {
    std::ifstream in;
    if (file != "-") {
        in.open(file, std::ios::binary);
        if (!in) {
            error_line(file + ": cannot be read");
            return EXIT_USAGE;
        }
    }
    // Connecting first lets the connection overlap with whatever writes the document into a
    // pipe (`nyxctl dump | edit | nyxctl apply -`).
    Session session;
    if (std::optional<int> failed = connect(session, o)) {
        return *failed;
    }
    std::istream &source = file == "-" ? std::cin : in;
    std::string text{std::istreambuf_iterator<char>(source), std::istreambuf_iterator<char>()};
    json document = json::parse(text, nullptr, false);
    if (document.is_discarded()) {
        error_line((file == "-" ? std::string("standard input") : file) + ": not a JSON document");
        return EXIT_USAGE;
    }
    std::vector<std::string> errors;
    std::optional<std::vector<Change>> plan = plan_apply(session.snapshot(), document, errors);
    if (!plan) {
        return report(errors, EXIT_USAGE);
    }
    return run_changes(session, *plan, o);
}

int cmd_version(const Options &o) {
    Session session;
    NyxApiResult r = session.start(false);
    if (r != NYXAPI_SUCCESS) {
        error_line(std::string("cannot start the API: ") + result_name(r));
        return EXIT_UNEXPECTED;
    }
    json out = {{"api_version", version_text(NyxApiGetApiVersion(session.api()))},
                {"manager_version", nullptr}};
    if (session.wait_connected(o.timeout)) {
        out["manager_version"] = field_json(session.snapshot(), "manager_version");
    }
    if (o.json) {
        out_line(out.dump());
        return EXIT_OK;
    }
    out_line("api_version=" + out["api_version"].get<std::string>());
    if (!out["manager_version"].is_null()) {
        out_line("manager_version=" + out["manager_version"].get<std::string>());
    }
    return EXIT_OK;
}

std::string event_line(const Event &e, bool as_json) {
    json values = json::object();
    std::string text;
    for (const Field &f : all_fields()) {
        if (e.changes & f.flag) {
            values[f.name] = field_json(e.values, f.name);
            for (const std::string &line : field_text(e.values, f.name)) {
                text += " " + line;
            }
        }
    }
    std::vector<std::string> names = change_names(e.changes);
    if (as_json) {
        json line = {{"timestamp", timestamp(e.time)}, {"changes", names}, {"values", values}};
        if (e.changes & NYXAPI_CHANGE_REQUEST_COMPLETED) {
            line["result"] = result_name(e.result);
        }
        return line.dump();
    }
    std::string joined;
    for (const std::string &n : names) {
        joined += (joined.empty() ? "" : ",") + n;
    }
    if (e.changes & NYXAPI_CHANGE_REQUEST_COMPLETED) {
        text += std::string(" result=") + result_name(e.result);
    }
    return timestamp(e.time) + " " + joined + text;
}

int cmd_monitor(const Options &o, Session &session) {
    NyxApiResult r = session.start(true);
    if (r != NYXAPI_SUCCESS) {
        error_line(std::string("cannot start the API: ") + result_name(r));
        return EXIT_UNEXPECTED;
    }
    while (std::optional<Event> e = session.next_event()) {
        out_line(event_line(*e, o.json));
        std::fflush(stdout);
    }
    return EXIT_OK;
}

} // namespace nyxctl
