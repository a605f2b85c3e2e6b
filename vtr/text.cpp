// Bounded text copies.
#include "vtr/vtr_socket.h"

#include <cstring>

size_t vtr_strlcpy(char *dst, const char *src, size_t size) {
    size_t length = strlen(src);
    if (size > 0 && dst != nullptr) {
        size_t n = length < size - 1 ? length : size - 1;
        memmove(dst, src, n);
        dst[n] = '\0';
    }
    return length;
}

size_t vtr_strlcat(char *dst, const char *src, size_t size) {
    const char *end = static_cast<const char *>(memchr(dst, '\0', size));
    if (end == nullptr) {
        return size; // no terminated text within size bytes: nothing is appended
    }
    size_t present = static_cast<size_t>(end - dst);
    return present + vtr_strlcpy(dst + present, src, size - present);
}

size_t vtr_wcslcpy(char16_t *dst, const char16_t *src, size_t size) {
    size_t length = 0;
    while (src[length] != 0) {
        ++length;
    }
    if (size > 0 && dst != nullptr) {
        size_t n = length < size - 1 ? length : size - 1;
        memmove(dst, src, n * sizeof(char16_t));
        dst[n] = 0;
    }
    return length;
}
