// Platform start-up and debugger output on Windows.
#include "vtr/core_internal.h"
#include "vtr/vtr_socket.h"

#include <winsock2.h>
#include <windows.h>

namespace {

char class_name[256];
bool class_registered = false;

// The power-state monitor's window procedure: nothing creates a window of this class, so it
// leaves every message to the default handling.
LRESULT CALLBACK sleep_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    return DefWindowProcA(window, message, wparam, lparam);
}

} // namespace

vtr_error vtr_platform_init(void) {
    WSADATA data;
    int result = WSAStartup(MAKEWORD(2, 2), &data);
    if (result != 0) {
        return vtr_error_from_system(static_cast<uint32_t>(result));
    }
    vtr_strlcpy(class_name, "VTR_WIN32_SLEEP_WINDOW_CLASS_NAME", sizeof class_name);
    if (!class_registered) {
        WNDCLASSEXA window_class;
        ZeroMemory(&window_class, sizeof window_class);
        window_class.cbSize = sizeof window_class;
        window_class.lpfnWndProc = sleep_window_proc;
        window_class.hInstance = GetModuleHandleA(nullptr);
        window_class.lpszClassName = class_name;
        if (RegisterClassExA(&window_class) == 0) {
            return vtr_error_from_last_system();
        }
        class_registered = true;
    }
    return VTR_SUCCESS;
}

void vtr_debugger_output(const char *text) { OutputDebugStringA(text); }
