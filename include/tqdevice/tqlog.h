/* The device's log service. */
#ifndef TQDEVICE_TQLOG_H
#define TQDEVICE_TQLOG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Argument type code of a text argument: (TQLOG_ARG_STRING, max, text). */
#define TQLOG_ARG_STRING 3
#define TQLOG_ARG_END 0

int tqlog_preInit(void);
/*
 * One message: source file and line, message id, syslog priority, module,
 * then (type, max length, pointer) triples ended by TQLOG_ARG_END.
 */
int tqlog_throwMsg(const char *file, int line, uint32_t id, int priority,
                   int module, ...);

#ifdef __cplusplus
}
#endif

#endif
