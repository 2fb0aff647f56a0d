// The long name of a listed file, as `ls -l` prints it.
#ifndef TQHOST_LONG_NAME_H
#define TQHOST_LONG_NAME_H

#include <stddef.h>
#include <sys/stat.h>
#include <time.h>

namespace tqhost {

// "-rw-r--r--    1 root     root         1234 Mar  4 12:00 name".  A name
// whose attributes are unknown (st null) gets question marks in their place.
void long_name(char *out, size_t size, const char *name, const struct stat64 *st, time_t now);

}  // namespace tqhost

#endif
