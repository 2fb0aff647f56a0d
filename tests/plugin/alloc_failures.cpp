#include "alloc_failures.h"

#include <errno.h>
#include <stddef.h>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t n, size_t size);
char *__real_strdup(const char *s);
}

namespace {

bool armed = false;
int countdown = 0;
int counted = 0;

bool fail_now()
{
    if (!armed)
        return false;
    counted++;
    if (countdown < 0 || countdown-- != 0)
        return false;
    errno = ENOMEM;
    return true;
}

}  // namespace

namespace tqtest {

FailAllocation::FailAllocation(int nth)
{
    armed = true;
    countdown = nth;  // negative: none fails
    counted = 0;
}

FailAllocation::~FailAllocation() { armed = false; }

int FailAllocation::allocations() const { return counted; }

}  // namespace tqtest

extern "C" {

void *__wrap_malloc(size_t size)
{
    return fail_now() ? nullptr : __real_malloc(size);
}

void *__wrap_calloc(size_t n, size_t size)
{
    return fail_now() ? nullptr : __real_calloc(n, size);
}

char *__wrap_strdup(const char *s)
{
    return fail_now() ? nullptr : __real_strdup(s);
}

}  // extern "C"
