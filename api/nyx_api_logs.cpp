// Log collection: names the archive and starts the service's own collection script.
#include "api/nyx_api_impl.h"
#include "vtr/vtr_shell.h"

#include <cstring>
#include <memory>
#include <string>

namespace {

struct KnownFolderFree {
    void operator()(char16_t *path) const { vtr_known_folder_free(path); }
};

} // namespace

extern "C" NyxApiResult NyxApiCollectLogs(const char *folder, char *fileName) {
    if (!fileName) {
        return NYXAPI_INVALID_PARAMETER;
    }
    return nyx_api_guard(nullptr, __func__, [&]() -> NyxApiResult {
        char name[32];
        size_t length = vtr_local_time_format("nyx-log-%Y-%m-%d-%H-%M-%S.zip", name, sizeof name);
        if (length == 0) {
            return NYXAPI_OTHER;
        }
        std::memcpy(fileName, name, length + 1);

        char16_t *known = nullptr;
        if (vtr_known_folder_program_files_x86(&known) != VTR_SUCCESS) {
            // No installation folder, nothing to start; the caller already has the name.
            return NYXAPI_SUCCESS;
        }
        std::unique_ptr<char16_t, KnownFolderFree> release(known);
        std::u16string tools = std::u16string(known) + u"\\Vantorel\\Sonavel\\Tools";
        std::u16string script = tools + u"\\collect-logs.bat";
        std::u16string params = u" -s -f ";
        params.append(name, name + length); // plain ASCII
        if (folder) {
            size_t units = vtr_utf8_to_utf16(folder, nullptr, 0);
            if (units == 0) {
                return NYXAPI_INVALID_PARAMETER;
            }
            std::u16string wide(units, u'\0');
            if (vtr_utf8_to_utf16(folder, wide.data(), units) == 0) {
                return NYXAPI_INVALID_PARAMETER;
            }
            wide.resize(units - 1);
            params += u" -d ";
            params += wide;
        }
        release.reset();

        intptr_t code = 0;
        vtr_error error = vtr_shell_execute(script.c_str(), params.c_str(), tools.c_str(), &code);
        return error == VTR_SUCCESS && code >= 32 ? NYXAPI_SUCCESS : NYXAPI_OTHER;
    });
}
