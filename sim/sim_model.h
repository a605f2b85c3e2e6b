// What the simulated manager knows about itself: its options, state, version and name, the
// state file keys that change them, and the rules by which it accepts a configuration.
#pragma once

#include "client/nyx_bodies.h"
#include "client/nyx_records.h"

#include <cstdint>
#include <string>

struct nyxsim_model {
    nyx_system_options options;
    nyx_system_state state;
    nyx_server_version version;
    nyx_name name;
};

// System errors the simulator sets by itself.
enum : uint16_t {
    NYXSIM_ERROR_NONE = 0x0000,
    NYXSIM_ERROR_RUNNING = 0x0001,
    NYXSIM_ERROR_STOPPED = 0x0011,
};

// The built-in manager: three interfaces, stopped, link up, not enrolled.
void nyxsim_model_defaults(nyxsim_model *model);

// Applies one state file key. On failure the model is unchanged and *message says why.
vtr_error nyxsim_model_set(nyxsim_model *model, const std::string &key, const std::string &value,
                           std::string *message);

// Applies a whole state file text. Keys apply in file order, except `interface`, which is
// resolved after the interface list. On failure the model is unchanged and *message names the
// line.
vtr_error nyxsim_model_load_text(nyxsim_model *model, const std::string &text,
                                 std::string *message);

// The reply status a SET_CONFIG with this configuration gets: SBCP2_STATUS_RESPONSE when it
// is applied, NYX_STATUS_INVALID_DATA when the options do not allow it, NYX_STATUS_INVALID_STATE
// when the running or locked soundcard refuses the change.
uint16_t nyxsim_model_check_config(const nyxsim_model *model, const nyx_system_config *config);
// Takes a configuration already accepted; starting or stopping moves system_error along.
void nyxsim_model_apply_config(nyxsim_model *model, const nyx_system_config *config);
// The error that CLEAR_SYSTEM_ERROR leaves: running or stopped, whichever is true.
void nyxsim_model_clear_error(nyxsim_model *model);
// Forgets the domain enrolment.
void nyxsim_model_clear_domain(nyxsim_model *model);
// Starting or stopping moves system_error along.
void nyxsim_model_set_running(nyxsim_model *model, uint32_t run);
// The interface with this MAC, or nullptr.
const nyx_interface *nyxsim_model_find_interface(const nyxsim_model *model, const uint8_t mac[6]);
// After the interface list changes the selected interface follows its MAC, or falls back to
// the first one, so that the state never names an interface the manager does not have.
void nyxsim_model_reselect_interface(nyxsim_model *model);
// A whole interface record from a terminated name (at most 63 units are kept) and a MAC.
void nyxsim_interface_set(nyx_interface *interface, const char16_t *name, const uint8_t mac[6]);
// SUCCESS when options and state fit into one datagram each.
vtr_error nyxsim_model_check_size(const nyxsim_model *model, std::string *message);

// One-line summaries for the datagram trace and the `show` command.
std::string nyxsim_describe_config(const nyx_system_config *config);
std::string nyxsim_describe_state(const nyx_system_state *state);
std::string nyxsim_describe_options(const nyx_system_options *options);
std::string nyxsim_describe_version(const nyx_server_version *version);
// The name of an opcode for the trace ("SET_CONFIG", "?" when unknown). Statuses are named by
// nyx_status_name.
const char *nyxsim_opcode_name(uint16_t opcode);
// One trace line for a datagram (without the newline): direction ("<-", "->"), peer, then the
// header fields and the body summary.
std::string nyxsim_describe_datagram(const char *direction, const std::string &peer,
                                     const uint8_t *data, size_t length,
                                     const std::string &summary);
// Every key with its current value, in state file form.
std::string nyxsim_model_dump(const nyxsim_model *model);

// UTF-8 text to a terminated UTF-16 field of `capacity` units; false when the text is not
// UTF-8 or does not fit.
bool nyxsim_utf8_to_utf16(const std::string &text, char16_t *out, size_t capacity);
std::string nyxsim_utf16_to_utf8(const char16_t *text, size_t capacity);
