// Shell services on Windows.
#include "vtr/core_internal.h"
#include "vtr/vtr_shell.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <climits>
#include <ctime>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wide characters");

vtr_error vtr_known_folder_program_files_x86(char16_t **path) {
    if (!path) {
        return VTR_INVALIDPARAMETER;
    }
    *path = nullptr;
    PWSTR folder = nullptr;
    HRESULT hr = SHGetKnownFolderPath(FOLDERID_ProgramFilesX86, 0, NULL, &folder);
    if (FAILED(hr)) {
        CoTaskMemFree(folder);
        return VTR_NOTFOUND;
    }
    *path = reinterpret_cast<char16_t *>(folder);
    return VTR_SUCCESS;
}

void vtr_known_folder_free(char16_t *path) {
    CoTaskMemFree(path);
}

size_t vtr_utf8_to_utf16(const char *text, char16_t *buffer, size_t capacity) {
    if (!text) {
        return 0;
    }
    int room = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
    int units = MultiByteToWideChar(
        65001, 0, text, -1, buffer ? reinterpret_cast<LPWSTR>(buffer) : nullptr, buffer ? room : 0);
    return units > 0 ? static_cast<size_t>(units) : 0;
}

bool vtr_local_time(time_t now, struct tm *local) {
    return localtime_s(local, &now) == 0;
}

vtr_error vtr_shell_execute(const char16_t *file, const char16_t *params, const char16_t *directory,
                            intptr_t *code) {
    if (!file || !code) {
        return VTR_INVALIDPARAMETER;
    }
    HINSTANCE result =
        ShellExecuteW(NULL, L"open", reinterpret_cast<LPCWSTR>(file),
                      reinterpret_cast<LPCWSTR>(params), reinterpret_cast<LPCWSTR>(directory), 1);
    *code = reinterpret_cast<intptr_t>(result);
    return VTR_SUCCESS;
}
