/*
 * tqsftp: the plug-in that gives every SFTP client of the device one fixed
 * virtual file tree.  This is its whole exported interface, plain C.
 *
 * The host (the SFTP server) calls tqsftp_get_sftp_func_cb() for every path a
 * client names, passing its own table of the twelve file operations, and then
 * performs the request through the slots of the table it gets back, with the
 * client path.  Paths, tables and texts are fixed; there is no configuration.
 */
#ifndef TQSFTP_H
#define TQSFTP_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define TQSFTP_API __attribute__((visibility("default")))
#else
#define TQSFTP_API
#endif

/* The platform's 64-bit stat and directory entry; only pointers pass here. */
struct stat64;
struct dirent64;

/*
 * The host's table of file operations, twelve slots in this order with
 * nothing between them.  Any slot may be absent (NULL).  Every path is a
 * NUL-terminated text; failures are a negative result (or NULL) with errno set.
 *
 * Slots 3 and 4 belong to the host; the plug-in never calls them.  For the
 * reference host they are positional transfers on a descriptor from slot 0,
 * with pread()/pwrite() semantics: at most len bytes at byte offset off;
 * the number of bytes moved (0 at end of file for read), or -1 with errno.
 */
typedef struct tqsftp_funcs {
    int (*open)(const char *path, int flags, int mode);          /* 0 */
    int (*close)(int fd);                                        /* 1 */
    int (*stat)(const char *path, struct stat64 *buf);           /* 2 */
    ssize_t (*read)(int fd, void *buf, size_t len, int64_t off); /* 3 */
    ssize_t (*write)(int fd, const void *buf, size_t len,
                     int64_t off);                               /* 4 */
    void *(*opendir)(const char *path);                          /* 5 */
    struct dirent64 *(*readdir)(void *dir);                      /* 6 */
    int (*mkdir)(const char *path, int mode);                    /* 7 */
    int (*rmdir)(const char *path);                              /* 8 */
    int (*unlink)(const char *path);                             /* 9 */
    int (*rename)(const char *old_path, const char *new_path);   /* 10 */
    int (*link)(const char *old_path, const char *new_path);     /* 11 */
} tqsftp_funcs;

/*
 * The entry.  path: the client path, never NULL.  host: the host's own table,
 * passed on every call (it is copied once, by the call that sets up).
 * Returns one of the plug-in's tables below, never NULL, valid for the life
 * of the process; the host must neither free nor change it.
 */
TQSFTP_API tqsftp_funcs *tqsftp_get_sftp_func_cb(const char *path,
                                                  const tqsftp_funcs *host);

/* The copy of the host's table and the eight derived tables. */
TQSFTP_API extern tqsftp_funcs tqsftp_default_cb;
TQSFTP_API extern tqsftp_funcs tqsftp_funcs_full;
TQSFTP_API extern tqsftp_funcs tqsftp_funcs_full_nodir;
TQSFTP_API extern tqsftp_funcs tqsftp_funcs_rw_limit;
TQSFTP_API extern tqsftp_funcs tqsftp_funcs_readonly;
TQSFTP_API extern tqsftp_funcs tqsftp_funcs_deny;
TQSFTP_API extern tqsftp_funcs tqsftp_funcs_nvmcfg_dir;
TQSFTP_API extern tqsftp_funcs tqsftp_funcs_nvmcfg_file;
TQSFTP_API extern tqsftp_funcs tqsftp_funcs_envmcfg;

/* The start directory of the virtual tree: "/". */
TQSFTP_API extern const char *tqsftp_start_dir;

/*
 * Lexical normalisation: repeated slashes, "." and ".." removed, never above
 * the root, at most 256 components.  size bounds both the input read and the
 * output written.  0, or -1 with errno ENOMEM (output untouched).
 */
TQSFTP_API int tqsftp_normalizePath(const char *in, char *out, size_t size);

/* One row of the access list: the virtual tree. */
typedef struct tqsftp_access tqsftp_access;
typedef int (*tqsftp_match_fn)(const tqsftp_access *entry, const char *path);
typedef int (*tqsftp_action_fn)(int cmd, const char *a, const char *b);

struct tqsftp_access {
    const char *prefix;      /* client path, or its leading part */
    const char *path;        /* the real path that stands for prefix */
    tqsftp_match_fn match;   /* tqsftp_match_exact or tqsftp_match_prefix */
    tqsftp_funcs *funcs;     /* the table of the paths of this row */
    tqsftp_action_fn action; /* upload action, or NULL */
};

#define TQSFTP_ACCESS_ROWS 40

TQSFTP_API int tqsftp_match_exact(const tqsftp_access *entry, const char *path);
TQSFTP_API int tqsftp_match_prefix(const tqsftp_access *entry,
                                   const char *path);
TQSFTP_API extern const tqsftp_access tqsftp_access_list[TQSFTP_ACCESS_ROWS];
TQSFTP_API extern const tqsftp_access *tqsftp_access_dummy;

/* Upload control blocks and the action protocol. */
enum {
    TQSFTP_ACT_START = 0,
    TQSFTP_ACT_OPENED = 1,
    TQSFTP_ACT_OPEN_FAILED = 2,
    TQSFTP_ACT_CLOSED = 3,
    TQSFTP_ACT_CLOSE_FAILED = 4,
    TQSFTP_ACT_RENAME = 5
};

#define TQSFTP_NAME_SIZE 80

typedef struct tqsftp_ucb {
    uint32_t upd_param;                 /* handed to the update service */
    char file_name[TQSFTP_NAME_SIZE];   /* the upload in progress */
    char temp_name[TQSFTP_NAME_SIZE];   /* its temporary file (profiles) */
    const char *help_path;
    const char *status_path;            /* may be NULL */
    const char *ok_path;
    const char *error_path;
    const char *help_text;
    const char *status_text;            /* may be NULL */
} tqsftp_ucb;

TQSFTP_API extern tqsftp_ucb tqsftp_firmware_ucb;
TQSFTP_API extern tqsftp_ucb tqsftp_sshkey_ucb;
TQSFTP_API extern tqsftp_ucb tqsftp_https_ucb;
TQSFTP_API extern tqsftp_ucb tqsftp_ldap_ucb;
TQSFTP_API extern tqsftp_ucb tqsftp_vpn_ucb;
TQSFTP_API extern tqsftp_ucb tqsftp_config_ucb;

TQSFTP_API int tqsftp_generic_action(int cmd, tqsftp_ucb *ucb, const char *a,
                                     const char *b);
TQSFTP_API int tqsftp_firmware_action(int cmd, const char *a, const char *b);
TQSFTP_API int tqsftp_sshKey_action(int cmd, const char *a, const char *b);
TQSFTP_API int tqsftp_https_action(int cmd, const char *a, const char *b);
TQSFTP_API int tqsftp_ldap_action(int cmd, const char *a, const char *b);
TQSFTP_API int tqsftp_vpn_action(int cmd, const char *a, const char *b);
TQSFTP_API int tqsftp_config_action(int cmd, const char *a, const char *b);

/* Creates the scratch and upload folders and writes the six help files: 0 or -1. */
TQSFTP_API int tqsftp_upload_init(void);
/* Replaces the file at path by exactly the bytes of text: 0 or -1. */
TQSFTP_API int tqsftp_writeTextFile(const char *path, const char *text,
                                    mode_t mode);

/*
 * The audit log: two messages to the device log (facility log audit, then
 * user).  errnum 0 is success; source is NULL for one-path operations.
 * errno is left as it was found.  Returns the log service's second answer.
 */
TQSFTP_API int tqsftp_log(int errnum, const char *label, const char *source,
                          const char *target);

/* Operation labels of the audit messages. */
TQSFTP_API extern const char *cmd_open;
TQSFTP_API extern const char *cmd_opendir;
TQSFTP_API extern const char *cmd_copy;
TQSFTP_API extern const char *cmd_link;
TQSFTP_API extern const char *cmd_rename;
TQSFTP_API extern const char *cmd_unlink;
TQSFTP_API extern const char *cmd_rmdir;
TQSFTP_API extern const char *cmd_mkdir;
TQSFTP_API extern const char *remote;

#ifdef __cplusplus
}
#endif

#endif /* TQSFTP_H */
