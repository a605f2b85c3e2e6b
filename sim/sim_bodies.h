// The manager's side of the service bodies: encoders for what it sends (version, options,
// state, name) and the decoder of what it receives (a configuration). Each encoder appends
// its body to a message whose header is already written.
#pragma once

#include "client/nyx_records.h"
#include "sbcp2/sbcp2_message.h"

#include <cstdint>

vtr_error nyxsim_encode_server_version(sbcp2_message *msg, const nyx_server_version *version);
vtr_error nyxsim_encode_system_options(sbcp2_message *msg, const nyx_system_options *options);
vtr_error nyxsim_encode_system_state(sbcp2_message *msg, const nyx_system_state *state);
vtr_error nyxsim_encode_name(sbcp2_message *msg, const nyx_name *name);
// The configuration group, as the SET_CONFIG body and inside the state body; *offset (may
// be nullptr) receives the offset of its slot array.
vtr_error nyxsim_encode_system_config(sbcp2_message *msg, const nyx_system_config *config,
                                      uint16_t *offset);

// Decodes the configuration group at `offset` (0 for a SET_CONFIG body). The record is
// zero-filled first; missing slots leave their fields zero.
vtr_error nyxsim_decode_system_config(const sbcp2_message *msg, uint32_t offset,
                                      nyx_system_config *config);
// The connect value of a connect body (slot 0 of its root array).
vtr_error nyxsim_decode_connect(const sbcp2_message *msg, uint16_t *value);
