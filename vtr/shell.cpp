// Shell services written once for every platform.
#include "vtr/core_internal.h"
#include "vtr/vtr_shell.h"

size_t vtr_local_time_format(const char *format, char *buffer, size_t size) {
    if (!format || !buffer || size == 0) {
        return 0;
    }
    struct tm local = {};
    if (!vtr_local_time(time(nullptr), &local)) {
        return 0;
    }
    return strftime(buffer, size, format, &local);
}
