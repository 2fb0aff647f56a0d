/* The device's profile manager. */
#ifndef TQDEVICE_TQPROFILE_H
#define TQDEVICE_TQPROFILE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Drops the cached list of profiles; the plug-in passes three zeros. */
int tq2FMProfileEntry_invalidateCache(int a, int b, int c);

#ifdef __cplusplus
}
#endif

#endif
