/* The device's user manager. */
#ifndef TQDEVICE_TQUSRMGR_H
#define TQDEVICE_TQUSRMGR_H

#ifdef __cplusplus
extern "C" {
#endif

/* 0 on success; *status is then 1 while a forced password change is pending. */
int tqusrMgr_GetForcePasswordStatus(int *status);

#ifdef __cplusplus
}
#endif

#endif
