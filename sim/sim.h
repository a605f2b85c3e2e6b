// nyx-sim as a library: the simulated manager service, runnable on its own thread inside a
// test as well as from sim/main.cpp.
#pragma once

#include "client/nyx_records.h"
#include "vtr/vtr.h"

#include <cstdint>
#include <string>

struct nyxsim;

struct nyxsim_options {
    uint16_t port = 8899;     // UDP port on 127.0.0.1
    uint32_t max_clients = 8; // surplus connects are answered with status 130
    bool verbose = false;     // one line per datagram in and out on standard error, written by a
                              // thread of its own (lines a slow reader cannot take are dropped)
    uint32_t client_timeout_ms = 30000; // a client silent this long is forgotten
};

// Every function may be called from any thread, at the same time as the others.

// A manager with the built-in defaults (interfaces, options, state, version, name).
vtr_error nyxsim_new(const nyxsim_options *options, nyxsim **sim);
// Stops it first, then waits for calls under way on other threads (a socket command waiting
// for the serving thread gives up at the stop); no call may start after it.
void nyxsim_delete(nyxsim *sim);

// Reads a start-up state file of "key = value" lines; error text in *message on failure.
vtr_error nyxsim_load_file(nyxsim *sim, const char *path, std::string *message);

// Binds 127.0.0.1:port and serves on a thread of its own until stopped. Starts and stops are
// serialised: when nyxsim_stop returns, the simulator has stopped, whoever else stopped it.
vtr_error nyxsim_start(nyxsim *sim);
void nyxsim_stop(nyxsim *sim);
// False once stopped, or once the "quit" command has ended the serving thread.
bool nyxsim_serving(nyxsim *sim);
// The port it is bound to (the one picked when the options asked for port 0); 0 before start.
uint16_t nyxsim_port(nyxsim *sim);

// Runs one control command line, as typed on nyx-sim's standard input ("link down",
// "silent on", ...). The command's answer, if any, goes to *reply. A socket command that a
// stop overtakes fails (INVALIDSTATE) and changes nothing.
vtr_error nyxsim_command(nyxsim *sim, const char *line, std::string *reply);

// Snapshots for tests, thread-safe.
void nyxsim_get_state(nyxsim *sim, nyx_system_state *state);
void nyxsim_get_options(nyxsim *sim, nyx_system_options *options);
uint32_t nyxsim_client_count(nyxsim *sim);
// The last SET_CONFIG configuration received (valid or not); false when none came yet.
bool nyxsim_last_config(nyxsim *sim, nyx_system_config *config);
// Number of datagrams received with the given opcode since start.
uint32_t nyxsim_received_count(nyxsim *sim, uint16_t opcode);

// The text of `nyx-sim --help`.
const char *nyxsim_help_text(void);
