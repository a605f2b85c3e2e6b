// The thread's last Windows error, its translation and its message text.
#include "vtr/vtr_error.h"

#include <windows.h>

uint32_t vtr_last_system_error(void) {
    // Windows sockets keep their error in the same per-thread value (WSAGetLastError).
    return static_cast<uint32_t>(GetLastError());
}

vtr_error vtr_error_from_last_system(void) { return vtr_error_from_system(vtr_last_system_error()); }

namespace {
char system_text[1024];
}

const char *vtr_system_error_text(uint32_t system_code) {
    system_text[0] = '\0';
    if (system_code == 0) {
        return system_text;
    }
    DWORD saved = GetLastError();
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, system_code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  system_text, sizeof system_text, nullptr);
    if (length == 0) {
        system_text[0] = '\0';
    } else if (length < sizeof system_text) {
        system_text[length] = '\0';
    } else {
        system_text[sizeof system_text - 1] = '\0';
    }
    SetLastError(saved);
    return system_text;
}
