// Minimal device services: enough to link and run.
#include "tqdevice/tqlog.h"
#include "tqdevice/tqprofile.h"
#include "tqdevice/tqupd.h"
#include "tqdevice/tqusrmgr.h"
#include "tqdevice/tqxml.h"

extern "C" {
int tqupd_busy(void) { return 0; }
int tqupd_changeFilename(const char *) { return 0; }
int tqupd_firmwareDelayed(const char *, uint8_t) { return 0; }
int tqupd_sshKeyDelayed(const char *, uint8_t) { return 0; }
int tqupd_httpsCertDelayed(const char *, uint8_t) { return 0; }
int tqupd_ldapCacertDelayed(const char *, uint8_t) { return 0; }
int tqupd_vpnCertDelayed(const char *, uint8_t) { return 0; }
int tqupd_configDelayed(const char *, uint8_t) { return 0; }
int tqlog_preInit(void) { return 0; }
int tqlog_throwMsg(const char *, int, uint32_t, int, int, ...) { return 0; }
int tqusrMgr_GetForcePasswordStatus(int *status) { *status = 0; return 0; }
int tq2FMProfileEntry_invalidateCache(int, int, int) { return 0; }
int tqapi_xml_convert_compress_XMLData_by_Callback(int, const char *, tqapi_xml_sink,
                                                   void *, int, const char *) { return 1; }
}
