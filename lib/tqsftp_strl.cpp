// Bounded string copies for C libraries that lack them: the result is always
// NUL-terminated (size > 0) and the length the caller tried to make is returned.
#include <string.h>

#include "tqsftp_internal.h"

extern "C" {

size_t strlcpy(char *dst, const char *src, size_t size)
{
    size_t len = strlen(src);
    if (size > 0) {
        size_t n = len < size - 1 ? len : size - 1;
        memcpy(dst, src, n);
        dst[n] = '\0';
    }
    return len;
}

size_t strlcat(char *dst, const char *src, size_t size)
{
    size_t used = strnlen(dst, size);
    if (used == size)
        return size + strlen(src);
    return used + strlcpy(dst + used, src, size - used);
}

}  // extern "C"
