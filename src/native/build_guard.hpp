// A way to stop a long index build from the thread that started it.
//
// The build calls step() as it goes, on every thread it uses.  On the thread
// that made the guard, every few hundred steps, step() asks `poll` whether
// to stop (the binding checks for signals there, with the interpreter lock
// retaken); once it says so, or stop() is called, every thread's next step
// throws build_stopped, and the build unwinds as from any other exception.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <thread>
#include <utility>

namespace orin {

struct build_stopped : std::exception {
    const char* what() const noexcept override { return "index build stopped"; }
};

class build_guard {
public:
    build_guard() = default;
    explicit build_guard(std::function<bool()> poll) : poll_(std::move(poll)) {}
    build_guard(const build_guard&) = delete;
    build_guard& operator=(const build_guard&) = delete;

    void step() {
        if (stopped_.load(std::memory_order_relaxed)) throw build_stopped{};
        // A clock read and a lock handover are not worth every step.
        if (!poll_ || std::this_thread::get_id() != owner_ || (++steps_ & 255u) != 0) return;
        if (poll_()) {
            stop();
            throw build_stopped{};
        }
    }

    // Makes every thread's next step throw.
    void stop() noexcept { stopped_.store(true, std::memory_order_relaxed); }

private:
    std::function<bool()> poll_;
    std::thread::id owner_ = std::this_thread::get_id();
    std::uint32_t steps_ = 0;
    std::atomic<bool> stopped_{false};
};

}  // namespace orin
