// The per-thread mark of being inside the library.
#include "call_frame.hh"

thread_local bool inside_library __attribute__((tls_model("initial-exec"))) = false;
