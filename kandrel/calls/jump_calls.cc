// The exported jumps: a program that jumps out of a signal handler which
// interrupted the library (an alarm ending a blocked call, or a round trip)
// leaves the library's frames for good, so the locks its thread holds are
// let go first. The thread's mark of being inside the library is left to
// go stale by itself (call_frame.hh).
#include <setjmp.h>

#include "call_frame.hh"
#include "library_lock.hh"
#include "real_calls.hh"

extern "C" {

KANDREL_EXPORTED void longjmp(jmp_buf environment, int value)
{
    release_every_held_lock();
    real_calls().longjmp(environment, value);
    __builtin_unreachable();
}

KANDREL_EXPORTED void _longjmp(jmp_buf environment, int value)
{
    release_every_held_lock();
    real_calls().longjmp(environment, value);
    __builtin_unreachable();
}

KANDREL_EXPORTED void siglongjmp(sigjmp_buf environment, int value)
{
    release_every_held_lock();
    real_calls().siglongjmp(environment, value);
    __builtin_unreachable();
}

KANDREL_EXPORTED void __longjmp_chk(sigjmp_buf environment, int value)
{
    release_every_held_lock();
    real_calls().longjmp_chk(environment, value);
    __builtin_unreachable();
}

}  // extern "C"
