// What the search benchmarks share: request times, their median and slowest, and files
// sent out of the page cache for a request from disk.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace tamix::bench {

using Clock = std::chrono::steady_clock;

inline double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

inline double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline double Slowest(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

// Asks the kernel to forget the files' cached pages.
inline void EvictFromPageCache(const std::vector<std::string>& files) {
    for (const std::string& file : files) {
        const int fd = ::open(file.c_str(), O_RDONLY);
        if (fd < 0) continue;
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

// Calls run(case, fromDisk) for every case in each round, in an order shuffled anew (so
// that a noisy neighbour hurts every case alike); every third round is from disk. Before
// the first round and after each from disk, warm(case) is called for every case, untimed:
// a request from memory then finds the page cache as earlier requests left it, not as the
// last case from disk did.
template <typename Run, typename Warm>
void InRounds(std::size_t cases, int rounds, Run run, Warm warm) {
    const auto fromDisk = [](int round) { return round % 3 == 2; };
    std::mt19937 random(42);
    std::vector<std::size_t> order(cases);
    std::iota(order.begin(), order.end(), 0);
    for (int round = 0; round < rounds; ++round) {
        std::shuffle(order.begin(), order.end(), random);
        if (!fromDisk(round) && (round == 0 || fromDisk(round - 1)))
            for (const std::size_t i : order)
                warm(i);
        for (const std::size_t i : order)
            run(i, fromDisk(round));
    }
}

} // namespace tamix::bench
