// Allocation failures on demand.  Only for the test programs linked with
// TQ_ALLOC_WRAP (tests/plugin/CMakeLists.txt): their calls of malloc, calloc
// and strdup, the plug-in's included, pass through counting wrappers.
#ifndef TQ_TEST_ALLOC_FAILURES_H
#define TQ_TEST_ALLOC_FAILURES_H

namespace tqtest {

// While one lives, the allocation numbered `nth` (0 = the next one; negative:
// none) fails with ENOMEM; allocations() counts those made since then.
class FailAllocation {
public:
    explicit FailAllocation(int nth);
    ~FailAllocation();
    FailAllocation(const FailAllocation &) = delete;
    FailAllocation &operator=(const FailAllocation &) = delete;
    int allocations() const;
};

}  // namespace tqtest

#endif
