/* The device's XML service. */
#ifndef TQDEVICE_TQXML_H
#define TQDEVICE_TQXML_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Receives the converted form piece by piece; -1 stops the conversion. */
typedef int (*tqapi_xml_sink)(uintptr_t opaque, void *context,
                              const void *data, uint32_t length);

/*
 * Converts the stored profile at path into its compressed XML form and
 * delivers it to sink with context.  The plug-in passes module 24, mode 2
 * and the tag "CompressedData".  0 when the whole form was delivered.
 */
int tqapi_xml_convert_compress_XMLData_by_Callback(int module, const char *path,
                                                   tqapi_xml_sink sink,
                                                   void *context, int mode,
                                                   const char *tag);

#ifdef __cplusplus
}
#endif

#endif
