// Shell services for log collection: the 32-bit program files folder, UTF-8 to UTF-16
// conversion, local time text and starting a script without waiting for it.
//
// The POSIX back end is our own stand-in for the Windows shell:
// - the program files folder is $NYX_PROGRAM_FILES_X86 when set and not empty, else
//   "/opt/program-files-x86";
// - UTF-8 conversion is strict: any invalid sequence gives 0 (Windows, asked with flags 0 as
//   the system does, replaces bad bytes instead);
// - vtr_shell_execute turns '\' into '/' in the file and the directory, splits the parameters
//   at blanks (no quoting, as the Windows command interpreter does for an unquoted text), and
//   runs "/bin/sh file words..." in the directory, detached (double fork, new session, standard
//   input from /dev/null). It waits only for the intermediate child, never for the script.
//   Its codes follow the Windows shell: 2 file not found, 3 directory not found, 5 access
//   denied, 8 out of resources, 42 started.
#pragma once

#include "vtr/vtr_error.h"

#include <cstddef>
#include <cstdint>

// The 32-bit program files folder as a NUL-terminated UTF-16 path allocated by the platform;
// release it with vtr_known_folder_free. NOTFOUND when it cannot be determined.
vtr_error vtr_known_folder_program_files_x86(char16_t **path);
void vtr_known_folder_free(char16_t *path);

// Converts NUL-terminated UTF-8 to UTF-16 and returns the code units written, the NUL
// included. With no buffer (or capacity 0) returns the units needed. 0 when the text cannot be
// converted or the buffer is too small.
size_t vtr_utf8_to_utf16(const char *text, char16_t *buffer, size_t capacity);

// The current local time formatted with the C library's strftime. Returns the length written,
// 0 on failure (buffer too small included).
size_t vtr_local_time_format(const char *format, char *buffer, size_t size);

// Opens file (a script) with the parameter text in directory (may be null) and returns at
// once. *code receives the shell's value: 32 or more counts as started. INVALIDPARAMETER when
// file or code is missing or a text cannot be converted.
vtr_error vtr_shell_execute(const char16_t *file, const char16_t *params, const char16_t *directory,
                            intptr_t *code);
