// The per-thread mark of being inside the library.
#include "call_frame.hh"

thread_local std::uintptr_t inside_library __attribute__((tls_model("initial-exec"))) = 0;
