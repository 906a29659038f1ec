#include "server/gateway/pacer.h"

#include <algorithm>
#include <thread>

namespace tamix::gateway {

Pacer::Pacer(int perSecond, std::chrono::milliseconds window)
    : perWindow_(static_cast<std::size_t>(std::max(perSecond, 1))), window_(window) {
}

Pacer::Clock::time_point Pacer::TurnAt(Clock::time_point now) const {
    // The turn perWindow_ places back must be a whole window ago; turns only grow, so the
    // queue stays in order.
    if (turns_.size() < perWindow_) return now;
    return std::max(now, turns_[turns_.size() - perWindow_] + window_);
}

Pacer::Clock::time_point Pacer::Wait() {
    Clock::time_point turn;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        turn = TurnAt(Clock::now());
        turns_.push_back(turn);
        while (turns_.size() > perWindow_)
            turns_.pop_front();
    }
    std::this_thread::sleep_until(turn);
    return turn;
}

Pacer::Clock::time_point Pacer::NextTurn() {
    std::lock_guard<std::mutex> lock(mutex_);
    return TurnAt(Clock::now());
}

} // namespace tamix::gateway
