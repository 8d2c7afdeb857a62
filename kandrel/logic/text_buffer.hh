// The fixed-size buffers that hold formatted trace texts.
#pragma once

#include <cstddef>

// Every formatted name or address text fits here; the longest is a local
// socket path, bounded to the buffer.
constexpr std::size_t text_buffer_size = 150;

// One buffer per thread and per formatting function, so texts built by
// threads tracing at once are never torn. initial-exec TLS keeps the preload
// library free of a dependency on the dynamic linker's TLS helper.
#define KANDREL_THREAD_TEXT_BUFFER(name)                                                                     \
    static thread_local char name[text_buffer_size] __attribute__((tls_model("initial-exec")))
