// The frame every interposed call runs in: the application's errno kept, and
// the thread marked as inside the library.
#pragma once

#include <cerrno>
#include <cstdint>

// Where the outermost library frame of this thread sits on its stack while
// the thread runs the library's own work; 0 outside. A call the thread makes
// meanwhile (from a signal handler that interrupted the library, or through
// a function the library itself calls) goes straight to the system,
// untraced: the library's stdio and route state are not re-entrant.
extern thread_local std::uintptr_t inside_library __attribute__((tls_model("initial-exec")));

// Whether a call whose frame is at here is nested in the library's work. A
// mark whose frame is gone (a longjmp out of the library left it: here is
// above it, on the same stack) is stale and does not count; a frame far
// away is another stack, a signal handler's, and still nested.
inline bool nested_at(std::uintptr_t here)
{
    constexpr std::uintptr_t same_stack_reach = std::uintptr_t{64} << 20;
    std::uintptr_t mark = inside_library;
    return mark != 0 && !(here > mark && here - mark < same_stack_reach);
}

// Keeps the application's errno: the library's own work (trace writes, name
// lookups) never shows, and the application sees exactly what the real call
// left. The real call itself runs with the errno the application had.
class call_frame {
public:
    __attribute__((always_inline)) call_frame()
        : saved_errno_(errno), here_(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0))),
          nested_(nested_at(here_))
    {
        if (!nested_) {
            inside_library = here_;
        }
    }
    ~call_frame()
    {
        if (!nested_) {
            inside_library = 0;
        }
        errno = saved_errno_;
    }
    call_frame(const call_frame &) = delete;
    call_frame &operator=(const call_frame &) = delete;

    // True when the thread was already inside the library: the call must only
    // be passed through.
    bool nested() const { return nested_; }

    template <typename RealCall>
    auto real(RealCall &&call)
    {
        errno = saved_errno_;
        auto result = call();
        saved_errno_ = errno;
        return result;
    }

private:
    int saved_errno_;
    std::uintptr_t here_;
    bool nested_;
};

// What every exported function is marked with: the library's own symbols
// stay hidden, and calls/exports.map lists exactly these.
#define KANDREL_EXPORTED __attribute__((visibility("default")))

// The frame of an exported call: straight to the system (real) when the
// thread is already inside the library, else traced(frame), which makes the
// real call through frame.real.
template <typename RealCall, typename Traced>
__attribute__((always_inline)) inline auto interposed(RealCall real, Traced traced)
{
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    return traced(frame);
}
