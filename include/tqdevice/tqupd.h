/* The device's update service: busy flag, delayed installs, rename notice. */
#ifndef TQDEVICE_TQUPD_H
#define TQDEVICE_TQUPD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The largest upload of each kind, in bytes, that the service takes, and the
 * plug-in with it; a larger file (a sparse one counts by its size) is refused
 * unread.  TQUPD_MAX_FIRMWARE, TQUPD_MAX_PROFILE and TQUPD_MAX_CERT (SSH key,
 * HTTPS, LDAP and VPN certificates) are build settings, the CMake cache
 * variables TQSFTP_MAX_FIRMWARE, _PROFILE and _CERT, passed to every source.
 * An uploaded profile is its compressed form; unpacked it may be up to
 * TQUPD_MAX_PROFILE_XML bytes.
 */
#if !defined(TQUPD_MAX_FIRMWARE) || !defined(TQUPD_MAX_PROFILE) || !defined(TQUPD_MAX_CERT)
#error "the upload ceilings TQUPD_MAX_FIRMWARE, _PROFILE and _CERT come from the build"
#endif
#define TQUPD_MAX_PROFILE_XML (64u << 20)

/* 1 while the service is busy (an upload must not start), else 0. */
int tqupd_busy(void);
/* The upload in progress now has this name. */
int tqupd_changeFilename(const char *name);

/*
 * Delayed installs.  name: the upload's name (the file_name buffer of its
 * upload control block; for profiles the client path, with the temporary
 * file's name in the buffer right behind it).  An answer of 1 means refused.
 */
int tqupd_firmwareDelayed(const char *name, uint8_t param);
int tqupd_sshKeyDelayed(const char *name, uint8_t param);
int tqupd_httpsCertDelayed(const char *name, uint8_t param);
int tqupd_ldapCacertDelayed(const char *name, uint8_t param);
int tqupd_vpnCertDelayed(const char *name, uint8_t param);
int tqupd_configDelayed(const char *name, uint8_t param);

#ifdef __cplusplus
}
#endif

#endif
