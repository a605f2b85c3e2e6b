// The control commands typed on nyx-sim's standard input. One table entry per command gives
// its name, its usage, its help lines and what it does; the help text is made from the table.
#include "sim/sim_internal.h"
#include "vtr/vtr_text.h"

#include <memory>
#include <sstream>
#include <utility>

std::string nyxsim_push_changes(nyxsim *sim, const nyxsim_model &before) {
    std::string pushed;
    auto push = [&](uint16_t opcode) {
        nyxsim_broadcast(sim, opcode, nullptr);
        pushed += pushed.empty() ? "" : ", ";
        pushed += nyxsim_opcode_name(opcode);
    };
    if (!nyx_system_options_equal(&before.options, &sim->model.options))
        push(NYX_OPCODE_OPTIONS);
    if (!nyx_system_state_equal(&before.state, &sim->model.state))
        push(NYX_OPCODE_STATE);
    if (!nyx_name_equal(&before.name, &sim->model.name))
        push(NYX_OPCODE_NAME);
    if (pushed.empty())
        return "nothing changed";
    return "pushed " + pushed + " to " + std::to_string(sim->peers.size()) + " client(s)";
}

std::string nyxsim_modes_text(nyxsim *sim) {
    std::string out = "port " + std::to_string(sim->port) +
                      (vtr_socket_is_valid(sim->sock) ? " open" : " closed");
    if (sim->silent)
        out += ", silent";
    if (sim->not_connected)
        out += ", notconnected";
    if (sim->no_reply)
        out += ", noreply";
    if (sim->forced_status >= 0)
        out += ", next status " + std::to_string(sim->forced_status);
    if (sim->drop_percent)
        out += ", drop " + std::to_string(sim->drop_percent) + "%";
    if (sim->dup_percent)
        out += ", dup " + std::to_string(sim->dup_percent) + "%";
    if (!sim->garble.empty())
        out += ", garble " + sim->garble;
    if (sim->delay_max_ms)
        out += ", delay " + std::to_string(sim->delay_min_ms) + "-" +
               std::to_string(sim->delay_max_ms) + " ms";
    return out;
}

namespace {

// What precedes the commands, whose lines come from their table.
const char HELP_HEAD[] =
    R"(nyx-sim: a simulated manager service for nyxcli and programs using its API.

usage: nyx-sim [--port N] [--max-clients N] [--state FILE] [--client-timeout MS] [-v]
       nyx-sim --print-state [--state FILE]
       nyx-sim --version

  --port N            UDP port on 127.0.0.1 (default 8899; 0 picks a free one)
  --max-clients N     connects beyond N clients get status 130 (default 8)
  --state FILE        start from the state in FILE ("key = value" lines, see
                      example-state.conf)
  --client-timeout MS a client silent this long is forgotten (default 30000)
  --print-state       print the state as a state file and exit
  -v, --verbose       one line per datagram in and out on standard error
  -h, --help          this text
  --version           print "nyx-sim" and the version, and exit

It prints "nyx-sim: listening on 127.0.0.1:PORT" once it serves, then reads
commands from standard input, one per line. End of input does not stop it;
SIGINT, SIGTERM or the command quit do.

Commands:
)";

std::vector<std::string> words(const std::string &line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string w;
    while (in >> w)
        out.push_back(w);
    return out;
}

// The text after the first `n` words.
std::string rest_after(const std::string &line, size_t n) {
    size_t i = 0;
    for (size_t k = 0; k < n; ++k) {
        i = line.find_first_not_of(" \t", i);
        if (i == std::string::npos)
            return "";
        i = line.find_first_of(" \t", i);
        if (i == std::string::npos)
            return "";
    }
    i = line.find_first_not_of(" \t", i);
    if (i == std::string::npos)
        return "";
    size_t e = line.find_last_not_of(" \t\r\n");
    return line.substr(i, e - i + 1);
}

bool parse_switch(const std::string &w, bool *on) {
    if (w == "on" || w == "1") {
        *on = true;
        return true;
    }
    if (w == "off" || w == "0") {
        *on = false;
        return true;
    }
    return false;
}

bool parse_number(const std::string &w, uint32_t max, uint32_t *out) {
    uint64_t v = 0;
    if (!vtr_parse_uint_strict(w.data(), w.size(), max, VTR_PARSE_HEX_PREFIX, &v))
        return false;
    *out = uint32_t(v);
    return true;
}

// Applies key/value pairs all or nothing, then pushes what changed.
vtr_error set_keys(nyxsim *sim, std::initializer_list<std::pair<const char *, std::string>> keys,
                   std::string *out) {
    auto before = std::make_unique<nyxsim_model>(sim->model);
    auto work = std::make_unique<nyxsim_model>(sim->model);
    for (const auto &kv : keys) {
        vtr_error e = nyxsim_model_set(work.get(), kv.first, kv.second, out);
        if (e != VTR_SUCCESS)
            return e;
    }
    sim->model = *work;
    *out = nyxsim_push_changes(sim, *before);
    return VTR_SUCCESS;
}

std::string clients_text(nyxsim *sim) {
    std::string out = std::to_string(sim->peers.size()) + " client(s)";
    auto now = nyxsim_clock::now();
    for (const nyxsim_peer &p : sim->peers) {
        auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - p.last_seen);
        out +=
            "\n  " + nyxsim_peer_text(&p.address) + " idle " + std::to_string(idle.count()) + " ms";
    }
    return out;
}

vtr_error socket_command(nyxsim *sim, std::unique_lock<std::mutex> &lock, nyxsim_socket_request r,
                         std::string *out) {
    const auto limit = std::chrono::seconds(5);
    // One socket command at a time: another one's request is answered first.
    bool free = sim->changed.wait_for(
        lock, limit, [sim] { return nyxsim_winding_down(sim) || sim->job == nullptr; });
    if (nyxsim_winding_down(sim)) {
        *out = "not serving";
        return VTR_INVALIDSTATE;
    }
    if (!free) {
        *out = "the serving thread did not answer";
        return VTR_TIMEDOUT;
    }
    nyxsim_socket_job job;
    job.what = r;
    sim->job = &job;
    bool answered =
        sim->changed.wait_for(lock, limit, [&] { return job.done || nyxsim_winding_down(sim); });
    if (!job.done) {
        // Withdrawn: a stop (or quit) came first, or the thread hangs. Nothing was done.
        if (sim->job == &job)
            sim->job = nullptr;
        sim->changed.notify_all();
        *out = answered ? "stopped before the socket was changed"
                        : "the serving thread did not answer";
        return answered ? VTR_INVALIDSTATE : VTR_TIMEDOUT;
    }
    if (job.result != VTR_SUCCESS) {
        char text[VTR_ERROR_TEXT_SIZE];
        *out = std::string("cannot open the socket: ") + vtr_error_text(job.result, text);
        return job.result;
    }
    *out = job.reply;
    return VTR_SUCCESS;
}

// ---- the commands ----

struct command;

struct command_call {
    nyxsim *sim;
    std::unique_lock<std::mutex> &lock;
    const std::string &line;
    const std::vector<std::string> &w; // w[0] is the command's name
    size_t argc;
    const command &cmd;
    std::string *out;
};

struct command {
    const char *name;
    const char *usage; // after "usage: " when the arguments are wrong
    // Help lines, "SYNOPSIS\tTEXT"; a continuation line has no synopsis. nullptr: not listed.
    const char *help;
    vtr_error (*run)(command_call &c);
    const char *key = nullptr; // the state key a one-argument command sets
};

vtr_error usage(command_call &c) {
    *c.out = std::string("usage: ") + c.cmd.usage;
    return VTR_INVALIDPARAMETER;
}

vtr_error answer(command_call &c, std::string text) {
    *c.out = std::move(text);
    return VTR_SUCCESS;
}

vtr_error run_set(command_call &c) {
    std::string rest = rest_after(c.line, 1);
    size_t eq = rest.find('=');
    if (eq == std::string::npos)
        return usage(c);
    std::string key = rest.substr(0, eq);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
        key.pop_back();
    return set_keys(c.sim, {{key.c_str(), rest.substr(eq + 1)}}, c.out);
}

vtr_error run_name(command_call &c) {
    std::string text = rest_after(c.line, 1);
    return set_keys(c.sim, {{"device_name", text}, {"name", text}}, c.out);
}

vtr_error run_link(command_call &c) {
    uint32_t speed = 0;
    if (c.argc == 1 && c.w[1] == "down")
        return set_keys(c.sim, {{"link_up", "0"}}, c.out);
    if (c.argc == 1 && c.w[1] == "up")
        return set_keys(c.sim, {{"link_up", "1"}}, c.out);
    if (c.argc == 2 && c.w[1] == "up" && parse_number(c.w[2], UINT32_MAX, &speed))
        return set_keys(c.sim, {{"link_up", "1"}, {"link_speed", c.w[2]}}, c.out);
    return usage(c);
}

vtr_error run_one_key(command_call &c) {
    if (c.argc != 1)
        return usage(c);
    return set_keys(c.sim, {{c.cmd.key, c.w[1]}}, c.out);
}

vtr_error run_domain(command_call &c) {
    if (c.argc == 1 && c.w[1] == "none")
        return set_keys(c.sim,
                        {{"domain_enrolled", "0"},
                         {"domain_connected", "0"},
                         {"domain_config_allowed", "1"},
                         {"domain_name", ""},
                         {"domain_text", ""},
                         {"domain_value", "0"}},
                        c.out);
    bool locked = false, offline = false, bad = c.argc < 1;
    for (size_t i = 2; i <= c.argc; ++i) {
        if (c.w[i] == "locked")
            locked = true;
        else if (c.w[i] == "offline")
            offline = true;
        else
            bad = true;
    }
    if (bad)
        return usage(c);
    return set_keys(c.sim,
                    {{"domain_enrolled", "1"},
                     {"domain_connected", offline ? "0" : "1"},
                     {"domain_config_allowed", locked ? "0" : "1"},
                     {"domain_name", c.w[1]}},
                    c.out);
}

vtr_error run_push(command_call &c) {
    static const std::pair<const char *, uint16_t> what[] = {
        {"options", NYX_OPCODE_OPTIONS}, {"state", NYX_OPCODE_STATE}, {"name", NYX_OPCODE_NAME}};
    if (c.argc != 1)
        return usage(c);
    bool any = false;
    for (const auto &p : what)
        if (c.w[1] == p.first || c.w[1] == "all") {
            nyxsim_broadcast(c.sim, p.second, nullptr);
            any = true;
        }
    if (!any)
        return usage(c);
    return answer(c,
                  "pushed " + c.w[1] + " to " + std::to_string(c.sim->peers.size()) + " client(s)");
}

vtr_error toggle(command_call &c, bool *flag) {
    bool on = false;
    if (c.argc != 1 || !parse_switch(c.w[1], &on))
        return usage(c);
    *flag = on;
    return answer(c, std::string(c.cmd.name) + (on ? " on" : " off"));
}

vtr_error run_status(command_call &c) {
    uint32_t status = 0;
    if (c.argc == 1 && c.w[1] == "off") {
        c.sim->forced_status = -1;
        return answer(c, "status off");
    }
    if (c.argc != 1 || !parse_number(c.w[1], 0xffff, &status))
        return usage(c);
    c.sim->forced_status = int32_t(status);
    return answer(c, "next reply gets status " + std::to_string(status) + " (" +
                         nyx_status_name(uint16_t(status)) + ")");
}

vtr_error percent(command_call &c, uint32_t *share) {
    uint32_t p = 0;
    if (c.argc != 1 || !parse_number(c.w[1], 100, &p))
        return usage(c);
    *share = p;
    return answer(c, std::string(c.cmd.name) + " " + std::to_string(p) + "%");
}

vtr_error run_garble(command_call &c) {
    if (c.argc != 1)
        return usage(c);
    const std::string &how = c.w[1];
    if (how != "size" && how != "truncate" && how != "opcode" && how != "off")
        return usage(c);
    c.sim->garble = how == "off" ? "" : how;
    return answer(c, "garble " + how);
}

vtr_error run_delay(command_call &c) {
    uint32_t low = 0, high = 0;
    if (c.argc == 1 && c.w[1] == "off") {
        c.sim->delay_min_ms = c.sim->delay_max_ms = 0;
        return answer(c, "delay off");
    }
    if (c.argc < 1 || c.argc > 2 || !parse_number(c.w[1], 60000, &low) ||
        (c.argc == 2 && !parse_number(c.w[2], 60000, &high)))
        return usage(c);
    if (c.argc == 1)
        high = low;
    if (high < low)
        std::swap(low, high);
    c.sim->delay_min_ms = low;
    c.sim->delay_max_ms = high;
    return answer(c, "delay " + std::to_string(low) + "-" + std::to_string(high) + " ms");
}

vtr_error run_quit(command_call &c) {
    if (nyxsim_winding_down(c.sim)) {
        *c.out = "not serving";
        return VTR_INVALIDSTATE;
    }
    // The serving thread ends by itself; nyxsim_stop or nyxsim_delete still joins it.
    c.sim->stopping = true;
    return answer(c, "quitting");
}

vtr_error run_socket(command_call &c) {
    static const std::pair<const char *, nyxsim_socket_request> what[] = {
        {"stop", NYXSIM_SOCKET_CLOSE},
        {"start", NYXSIM_SOCKET_OPEN},
        {"restart", NYXSIM_SOCKET_REOPEN}};
    for (const auto &p : what)
        if (c.argc == 1 && c.w[1] == p.first)
            return socket_command(c.sim, c.lock, p.second, c.out);
    return usage(c);
}

// In help order.
const command COMMANDS[] = {
    {"help", nullptr, "help\tthis text",
     [](command_call &c) { return answer(c, nyxsim_help_text()); }},
    {"show", nullptr, "show\tevery state key, the switches and the clients",
     [](command_call &c) {
         return answer(c, nyxsim_model_dump(&c.sim->model) + nyxsim_modes_text(c.sim) + "\n" +
                              clients_text(c.sim));
     }},
    {"clients", nullptr, "clients\tthe connected clients",
     [](command_call &c) { return answer(c, clients_text(c.sim)); }},
    {"set", "set KEY = VALUE", "set KEY = VALUE\tchange one state file key, push what changed",
     run_set},
    {"name", nullptr, "name TEXT\tdevice name (state and name events)", run_name},
    {"link", "link up [MBITS] | link down",
     "link up [MBITS]|link down\tnetwork link, optionally with its speed", run_link},
    {"speed", "speed MBITS", "speed MBITS\tlink speed", run_one_key, "link_speed"},
    {"address", "address A.B.C.D", "address A.B.C.D\tIPv4 address", run_one_key, "ip_address"},
    {"error", "error CODE", "error CODE\tsystem error, e.g. 0x0301 (0x0011 stopped)", run_one_key,
     "system_error"},
    {"lock", "lock N", "lock N\tdevice lock status (0 = unlocked)", run_one_key,
     "device_lock_status"},
    {"domain", "domain none | domain NAME [locked] [offline]",
     "domain none\tnot enrolled\n"
     "domain NAME [locked] [offline]\tenrolled in NAME; locked forbids configuration,\n"
     "\toffline means the domain server is unreachable",
     run_domain},
    {"push", "push options|state|name|all",
     "push options|state|name|all\tsend the event(s) again to every client", run_push},
    {"silent", "silent on|off", "silent on|off\treceive but answer and send nothing at all",
     [](command_call &c) { return toggle(c, &c.sim->silent); }},
    {"notconnected", "notconnected on|off",
     "notconnected on|off\tanswer every request with 129 \"Not connected\"",
     [](command_call &c) { return toggle(c, &c.sim->not_connected); }},
    {"noreply", "noreply on|off", "noreply on|off\tanswer connects and keepalives only",
     [](command_call &c) { return toggle(c, &c.sim->no_reply); }},
    {"status", "status CODE|off",
     "status CODE|off\tstatus of the next reply to a connect or a\n"
     "\tservice request (not applied unless 1); it\n"
     "\treplaces a success only",
     run_status},
    {"drop", "drop PERCENT", "drop PERCENT\tdrop that share of outgoing datagrams",
     [](command_call &c) { return percent(c, &c.sim->drop_percent); }},
    {"dup", "dup PERCENT", "dup PERCENT\tsend that share of outgoing datagrams twice",
     [](command_call &c) { return percent(c, &c.sim->dup_percent); }},
    {"garble", "garble size|truncate|opcode|off",
     "garble size|truncate|opcode|off\tcorrupt outgoing datagrams: a size field 4 too\n"
     "\tlarge, the body cut in half, an unknown opcode",
     run_garble},
    {"delay", "delay MS [MAX_MS] | delay off",
     "delay MS [MAX_MS]|off\thold each outgoing datagram back MS ms, or a\n"
     "\trandom time from MS to MAX_MS (they overtake)",
     run_delay},
    {"socket", "socket stop|start|restart",
     "socket stop|start|restart\tclose or reopen the socket; clients are forgotten", run_socket},
    {"verbose", "verbose on|off", "verbose on|off\tthe datagram trace",
     [](command_call &c) { return toggle(c, &c.sim->options.verbose); }},
    {"quit", nullptr, "quit\tstop serving (the program ends)", run_quit},
    {"exit", nullptr, nullptr, run_quit},
};

std::string build_help() {
    std::string out = HELP_HEAD;
    for (const command &c : COMMANDS) {
        std::istringstream lines(c.help ? c.help : "");
        std::string line;
        while (std::getline(lines, line)) {
            size_t tab = line.find('\t');
            std::string lead = tab == 0 ? "" : "  " + line.substr(0, tab);
            // A synopsis too long for its column gets a line of its own.
            if (lead.size() > 27) {
                out += lead + "\n";
                lead.clear();
            }
            out += lead + std::string(29 - lead.size(), ' ') + line.substr(tab + 1) + "\n";
        }
    }
    return out;
}

} // namespace

vtr_error nyxsim_run_command(nyxsim *sim, std::unique_lock<std::mutex> &lock,
                             const std::string &line, std::string *out) {
    std::vector<std::string> w = words(line);
    if (w.empty() || w[0][0] == '#')
        return VTR_SUCCESS;
    for (const command &cmd : COMMANDS)
        if (w[0] == cmd.name) {
            command_call call{sim, lock, line, w, w.size() - 1, cmd, out};
            return cmd.run(call);
        }
    *out = "unknown command \"" + w[0] + "\"; try help";
    return VTR_NOTFOUND;
}

const char *nyxsim_help_text(void) {
    static const std::string help = build_help();
    return help.c_str();
}
