// Back-end hooks of the logger and the sockets, written once per platform, and the shared
// pieces the back ends call.
#pragma once

#include "vtr/vtr_socket.h"

#include <cstddef>
#include <ctime>

// Hands one finished line to the platform's debugger output (OutputDebugStringA on Windows).
void vtr_debugger_output(const char *text);

// Connects an open UDP socket and sets it up as a connected socket reports errors; the
// platform's error when it fails (never SUCCESS).
vtr_error vtr_socket_connect_native(vtr_socket sock, const vtr_address *address);

// Fills address from the platform's socket address of `length` bytes (the length as the
// platform reported it, even when only the first 16 bytes are kept).
void vtr_address_from_native(vtr_address *address, const void *native, size_t length);

// The local time of `now`; false when the platform cannot tell it.
bool vtr_local_time(time_t now, struct tm *local);
