// Shell services on POSIX: our own equivalents of the Windows shell calls (see vtr_shell.h).
#include "vtr/core_internal.h"
#include "vtr/vtr_shell.h"
#include "vtr/vtr_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

const char kDefaultProgramFiles[] = "/opt/program-files-x86";

// Codes as the Windows shell gives them.
constexpr intptr_t kFileNotFound = 2;
constexpr intptr_t kPathNotFound = 3;
constexpr intptr_t kAccessDenied = 5;
constexpr intptr_t kOutOfResources = 8;
constexpr intptr_t kStarted = 42;

void to_slashes(std::string *path) {
    for (char &c : *path) {
        if (c == '\\') {
            c = '/';
        }
    }
}

void wait_child(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

vtr_error vtr_known_folder_program_files_x86(char16_t **path) {
    if (!path) {
        return VTR_INVALIDPARAMETER;
    }
    *path = nullptr;
    const char *folder = std::getenv("NYX_PROGRAM_FILES_X86");
    if (!folder || !*folder) {
        folder = kDefaultProgramFiles;
    }
    size_t units = vtr_utf8_to_utf16(folder, nullptr, 0);
    if (units == 0) {
        return VTR_NOTFOUND;
    }
    auto *buffer = static_cast<char16_t *>(std::malloc(units * sizeof(char16_t)));
    if (!buffer) {
        return VTR_NOMEMORY;
    }
    vtr_utf8_to_utf16(folder, buffer, units);
    *path = buffer;
    return VTR_SUCCESS;
}

void vtr_known_folder_free(char16_t *path) {
    std::free(path);
}

size_t vtr_utf8_to_utf16(const char *text, char16_t *buffer, size_t capacity) {
    return vtr_utf8_to_utf16_strict(text, SIZE_MAX, buffer, capacity);
}

bool vtr_local_time(time_t now, struct tm *local) {
    return localtime_r(&now, local) != nullptr;
}

vtr_error vtr_shell_execute(const char16_t *file, const char16_t *params, const char16_t *directory,
                            intptr_t *code) {
    if (!file || !code) {
        return VTR_INVALIDPARAMETER;
    }
    std::string script, text, dir;
    // An unpaired surrogate has no UTF-8 and no file could be named by it.
    auto to_utf8 = [](const char16_t *wide, std::string *out) {
        return vtr_utf16_to_utf8_string(wide, SIZE_MAX, VTR_UTF16_STRICT, out);
    };
    if (!to_utf8(file, &script) || (params && !to_utf8(params, &text)) ||
        (directory && !to_utf8(directory, &dir))) {
        return VTR_INVALIDPARAMETER;
    }
    to_slashes(&script);
    to_slashes(&dir);

    struct stat info;
    if (!dir.empty() && (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
        *code = kPathNotFound;
        return VTR_SUCCESS;
    }
    if (stat(script.c_str(), &info) != 0) {
        *code = kFileNotFound;
        return VTR_SUCCESS;
    }
    if (access(script.c_str(), R_OK) != 0) {
        *code = kAccessDenied;
        return VTR_SUCCESS;
    }

    // Everything the children need is built here: after fork only async-signal-safe calls.
    std::vector<std::string> words;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t start = text.find_first_not_of(" \t", pos);
        if (start == std::string::npos) {
            break;
        }
        size_t end = text.find_first_of(" \t", start);
        words.push_back(text.substr(start, end - start));
        pos = end == std::string::npos ? text.size() : end;
    }
    std::vector<char *> argv;
    static char shell[] = "/bin/sh";
    argv.push_back(shell);
    argv.push_back(script.data());
    for (std::string &word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    long open_max = sysconf(_SC_OPEN_MAX);
    int max_fd = open_max > 0 && open_max < 65536 ? static_cast<int>(open_max) : 65536;
    const char *workdir = dir.empty() ? nullptr : dir.c_str();

    pid_t child = fork();
    if (child < 0) {
        *code = kOutOfResources;
        return VTR_SUCCESS;
    }
    if (child == 0) {
        setsid();
        pid_t grandchild = fork();
        if (grandchild != 0) {
            _exit(grandchild < 0 ? 1 : 0);
        }
        if (workdir && chdir(workdir) != 0) {
            _exit(127);
        }
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) {
            dup2(null, 0);
        }
        for (int fd = 3; fd < max_fd; ++fd) {
            close(fd);
        }
        execv(shell, argv.data());
        _exit(127);
    }
    wait_child(child);
    *code = kStarted;
    return VTR_SUCCESS;
}
