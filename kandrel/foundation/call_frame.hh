// The frame every interposed call runs in: the application's errno kept, and
// the thread marked as inside the library.
#pragma once

#include <cerrno>

// Set while this thread runs the library's own work. A call the thread makes
// meanwhile (from a signal handler that interrupted the library, or through a
// function the library itself calls) goes straight to the system, untraced:
// the library's stdio and route state are not re-entrant.
extern thread_local bool inside_library __attribute__((tls_model("initial-exec")));

// Keeps the application's errno: the library's own work (trace writes, name
// lookups) never shows, and the application sees exactly what the real call
// left. The real call itself runs with the errno the application had.
class call_frame {
public:
    call_frame() : saved_errno_(errno), nested_(inside_library) { inside_library = true; }
    ~call_frame()
    {
        if (!nested_) {
            inside_library = false;
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
    bool nested_;
};

// What every exported function is marked with: the library's own symbols
// stay hidden, and calls/exports.map lists exactly these.
#define KANDREL_EXPORTED __attribute__((visibility("default")))

// The frame of an exported call: straight to the system (real) when the
// thread is already inside the library, else traced(frame), which makes the
// real call through frame.real.
template <typename RealCall, typename Traced>
auto interposed(RealCall real, Traced traced)
{
    call_frame frame;
    if (frame.nested()) {
        return frame.real(real);
    }
    return traced(frame);
}
