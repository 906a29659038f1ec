// NCBI's rule for the E-utilities: no more than 3 requests a second from one machine, 10
// with an API key. Requests wait their turn, in order; none is dropped.
#pragma once

#include <chrono>
#include <deque>
#include <mutex>

namespace tamix::gateway {

class Pacer {
public:
    using Clock = std::chrono::steady_clock;

    // perSecond requests in any window of this length. The window is a little longer than
    // a second so that a request delayed on its way still arrives within the rule.
    explicit Pacer(int perSecond,
                   std::chrono::milliseconds window = std::chrono::milliseconds(1100));

    // Returns when the next request may go out (at once while the window has room), with
    // the turn it was given.
    Clock::time_point Wait();
    // When Wait() would return for a request asked for now, without taking the turn.
    Clock::time_point NextTurn();

private:
    Clock::time_point TurnAt(Clock::time_point now) const;

    const std::size_t perWindow_;
    const std::chrono::milliseconds window_;
    std::mutex mutex_;
    // The turns given, in order: the last perWindow_ of them.
    std::deque<Clock::time_point> turns_;
};

} // namespace tamix::gateway
