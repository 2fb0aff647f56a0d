// The profile-name test: one or more of the letters, digits, '-' and '_',
// then ".xml", at most 32 characters in all, case-sensitive.  Hand-written so
// that a check allocates nothing and needs no regular-expression engine.
#include <string.h>

#include "tqsftp_internal.h"

namespace {

constexpr size_t max_name = 32;
constexpr char extension[] = ".xml";
constexpr size_t extension_len = sizeof extension - 1;

bool stem_char(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c >= '0' && c <= '9') || c == '-' || c == '_';
}

}  // namespace

namespace tqsftp {

bool is_profile_name(const char *name)
{
    size_t len = strnlen(name, max_name + 1);
    if (len <= extension_len || len > max_name ||
        memcmp(name + len - extension_len, extension, extension_len) != 0)
        return false;
    for (size_t i = 0; i < len - extension_len; i++) {
        if (!stem_char(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

}  // namespace tqsftp
