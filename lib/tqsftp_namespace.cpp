// The virtual namespace: lexical normalisation of client paths, the access
// list that is the tree every client sees, and resolution of a client path
// to its row and real path.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "tqsftp_internal.h"

namespace {

constexpr int max_components = 256;

struct FreeDeleter {
    void operator()(char *p) const { free(p); }
};
using Buffer = std::unique_ptr<char, FreeDeleter>;

// A work buffer of size bytes: on the stack for the usual short path, on the
// heap beyond; get() is null when the heap has no room.
class Scratch {
public:
    explicit Scratch(size_t size)
        : heap_(size > sizeof local_ ? static_cast<char *>(malloc(size)) : nullptr),
          buf_(size > sizeof local_ ? heap_.get() : local_)
    {
    }
    char *get() const { return buf_; }

private:
    char local_[256];
    Buffer heap_;
    char *buf_;
};

// strlcat's rule with the length kept: what does not fit is cut, and out
// stays terminated within size.
void append(char *out, size_t size, size_t &len, const char *s, size_t n)
{
    size_t room = size - 1 - len;
    if (n > room)
        n = room;
    memcpy(out + len, s, n);
    len += n;
    out[len] = '\0';
}

// The access list ignores the case of ASCII letters, and of nothing else.
char fold(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_letter(char a, char b)
{
    return a == b || fold(a) == fold(b);
}

// The next component of a path cut at its slashes, or null at its end.
char *next_component(char *&at)
{
    while (*at == '/')
        at++;
    if (*at == '\0')
        return nullptr;
    char *c = at;
    while (*at != '\0' && *at != '/')
        at++;
    if (*at == '/')
        *at++ = '\0';
    return c;
}

}  // namespace

extern "C" {

int tqsftp_normalizePath(const char *in, char *out, size_t size)
{
    // A size of 0 cannot hold even "/": refused like an impossible path.
    if (in == nullptr || out == nullptr || size == 0) {
        errno = ENOMEM;
        return -1;
    }
    Scratch scratch(size);
    if (scratch.get() == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    // The strlcpy rule, but reading no more of the input than size allows.
    size_t n = strnlen(in, size - 1);
    memcpy(scratch.get(), in, n);
    scratch.get()[n] = '\0';

    const char *stack[max_components];
    int depth = 0;
    char *at = scratch.get();
    for (char *c; (c = next_component(at)) != nullptr;) {
        if (strcmp(c, ".") == 0)
            continue;
        if (strcmp(c, "..") == 0) {
            if (depth > 0)
                depth--;
            continue;
        }
        if (depth == max_components) {
            errno = ENOMEM;
            return -1;
        }
        stack[depth++] = c;
    }

    if (depth == 0) {
        strlcpy(out, "/", size);
        return 0;
    }
    size_t len = 0;
    for (int i = 0; i < depth; i++) {
        append(out, size, len, "/", 1);
        append(out, size, len, stack[i], strlen(stack[i]));
    }
    return 0;
}

int tqsftp_match_exact(const tqsftp_access *entry, const char *path)
{
    if (entry == nullptr || entry->prefix == nullptr || path == nullptr)
        return -1;
    const char *p = entry->prefix;
    while (*p != '\0' && same_letter(*p, *path)) {
        p++;
        path++;
    }
    return *p == '\0' && *path == '\0' ? 0 : -1;
}

int tqsftp_match_prefix(const tqsftp_access *entry, const char *path)
{
    if (entry == nullptr || entry->prefix == nullptr || path == nullptr)
        return -1;
    // A path shorter than the prefix ends in a NUL that no letter matches.
    for (const char *p = entry->prefix; *p != '\0'; p++, path++) {
        if (!same_letter(*p, *path))
            return -1;
    }
    return 0;
}

#define EXACT tqsftp_match_exact
#define PREFIX tqsftp_match_prefix
#define RO &tqsftp_funcs_readonly

// The virtual tree.  The first row that matches the normalised client path
// wins, ignoring the case of ASCII letters.
const tqsftp_access tqsftp_access_list[TQSFTP_ACCESS_ROWS] = {
    {"/", "/tmp/sftp", EXACT, RO, nullptr},
    {"/..", "/tmp/sftp", EXACT, RO, nullptr},
    {"/.", "/tmp/sftp", EXACT, RO, nullptr},
    {"/nv", "/tmp/sftp/nv", EXACT, RO, nullptr},
    {"/nv/cfg", "/flash/cfg", EXACT, &tqsftp_funcs_nvmcfg_dir, nullptr},
    {"/nv/cfg/profile.cur", "/flash/cfg/profile.cur", EXACT, RO, nullptr},
    {"/nv/cfg/help", "/tmp/sftp/nv/cfg/help", EXACT, RO, nullptr},
    {"/nv/cfg/status", "/tmp/sftp/nv/cfg/status", EXACT, RO, nullptr},
    {"/nv/cfg/ok", "/tmp/sftp/nv/cfg/ok", EXACT, RO, nullptr},
    {"/nv/cfg/error", "/tmp/sftp/nv/cfg/error", EXACT, RO, nullptr},
    {"/nv/cfg/", "/flash/cfg/", PREFIX, &tqsftp_funcs_nvmcfg_file,
     tqsftp_config_action},
    {"/usb/cfg", "/usb0/cfg", PREFIX, &tqsftp_funcs_envmcfg, nullptr},
    {"/usb", "/usb0", EXACT, RO, nullptr},
    {"/usb/", "/usb0/", PREFIX, &tqsftp_funcs_full, nullptr},
    {"/sd/cfg", "/sd/cfg", PREFIX, &tqsftp_funcs_envmcfg, nullptr},
    {"/sd", "/sd", EXACT, RO, nullptr},
    {"/sd/", "/sd/", PREFIX, &tqsftp_funcs_full, nullptr},
    {"/upload/firmware/help", "/tmp/sftp/upload/firmware/help", EXACT, RO,
     nullptr},
    {"/upload/firmware/ok", "/tmp/sftp/upload/firmware/ok", EXACT, RO, nullptr},
    {"/upload/firmware/error", "/tmp/sftp/upload/firmware/error", EXACT, RO,
     nullptr},
    {"/upload/firmware/updating", "/tmp/sftp/upload/firmware/updating", EXACT,
     RO, nullptr},
    {"/upload/firmware/", "/tmp/sftp/upload/firmware/", PREFIX,
     &tqsftp_funcs_full_nodir, tqsftp_firmware_action},
    {"/upload/ssh-key/help", "/tmp/sftp/upload/ssh-key/help", EXACT, RO,
     nullptr},
    {"/upload/ssh-key/ok", "/tmp/sftp/upload/ssh-key/ok", EXACT, RO, nullptr},
    {"/upload/ssh-key/error", "/tmp/sftp/upload/ssh-key/error", EXACT, RO,
     nullptr},
    {"/upload/ssh-key/", "/tmp/sftp/upload/ssh-key/", PREFIX,
     &tqsftp_funcs_full_nodir, tqsftp_sshKey_action},
    {"/upload/https-cert/help", "/tmp/sftp/upload/https-cert/help", EXACT, RO,
     nullptr},
    {"/upload/https-cert/ok", "/tmp/sftp/upload/https-cert/ok", EXACT, RO,
     nullptr},
    {"/upload/https-cert/error", "/tmp/sftp/upload/https-cert/error", EXACT, RO,
     nullptr},
    {"/upload/https-cert/", "/tmp/sftp/upload/https-cert/", PREFIX,
     &tqsftp_funcs_full_nodir, tqsftp_https_action},
    {"/upload/ldap-cert/help", "/tmp/sftp/upload/ldap-cert/help", EXACT, RO,
     nullptr},
    {"/upload/ldap-cert/ok", "/tmp/sftp/upload/ldap-cert/ok", EXACT, RO,
     nullptr},
    {"/upload/ldap-cert/error", "/tmp/sftp/upload/ldap-cert/error", EXACT, RO,
     nullptr},
    {"/upload/ldap-cert/", "/tmp/sftp/upload/ldap-cert/", PREFIX,
     &tqsftp_funcs_full_nodir, tqsftp_ldap_action},
    {"/upload/vpn-cert/help", "/tmp/sftp/upload/vpn-cert/help", EXACT, RO,
     nullptr},
    {"/upload/vpn-cert/ok", "/tmp/sftp/upload/vpn-cert/ok", EXACT, RO, nullptr},
    {"/upload/vpn-cert/error", "/tmp/sftp/upload/vpn-cert/error", EXACT, RO,
     nullptr},
    {"/upload/vpn-cert/", "/tmp/sftp/upload/vpn-cert/", PREFIX,
     &tqsftp_funcs_full_nodir, tqsftp_vpn_action},
    {"/upload", "/tmp/sftp/upload", PREFIX, RO, nullptr},
    {nullptr, nullptr, nullptr, &tqsftp_funcs_deny, nullptr},
};

#undef EXACT
#undef PREFIX
#undef RO

const tqsftp_access *tqsftp_access_dummy =
    &tqsftp_access_list[TQSFTP_ACCESS_ROWS - 1];

const tqsftp_access *tqsftp_resolve(const char *client_path, char **real_path)
{
    if (real_path != nullptr)
        *real_path = nullptr;

    size_t size = strlen(client_path) + 5;
    Scratch norm(size);
    if (norm.get() == nullptr) {
        errno = ENOMEM;
        return tqsftp_access_dummy;
    }
    if (tqsftp_normalizePath(client_path, norm.get(), size) != 0)
        return tqsftp_access_dummy;

    const tqsftp_access *row = nullptr;
    for (const tqsftp_access *e = tqsftp_access_list; e->prefix != nullptr;
         e++) {
        if (e->match != nullptr && e->match(e, norm.get()) == 0) {
            row = e;
            break;
        }
    }
    if (row == nullptr || row->path == nullptr)
        return tqsftp_access_dummy;
    if (real_path == nullptr)
        return row;

    // Every prefix has at least one character, so this holds the real path:
    // the row's path followed by what the client wrote beyond the prefix.
    size_t path_len = strlen(row->path);
    char *real = static_cast<char *>(malloc(path_len + strlen(norm.get())));
    if (real == nullptr)
        return tqsftp_access_dummy;
    memcpy(real, row->path, path_len);
    strcpy(real + path_len, norm.get() + strlen(row->prefix));
    *real_path = real;
    return row;
}

}  // extern "C"
