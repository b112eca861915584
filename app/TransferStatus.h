#pragma once
// What the status bar says about the file being sent, beside the bar and
// the percentage: the bytes sent of the file's size, the speed and the time
// left. The speed is smoothed over samples half a second apart, and speed
// and time left appear once the file has been going for a second.

#include <QString>
#include <cstdint>

class TransferRate {
public:
    // Sampling and smoothing, in milliseconds of a monotonic clock.
    static constexpr std::int64_t SampleMs = 500;
    static constexpr std::int64_t SettleMs = 1000;

    // A new file of `size` bytes starts at `nowMs`.
    void Start(std::int64_t size, std::int64_t nowMs);
    void Stop() { running_ = false; }
    [[nodiscard]] bool Running() const { return running_; }
    // `count` bytes of the file have gone by `nowMs`. True when the text
    // has something new to say (at most once per sample, and the first
    // count of the file).
    [[nodiscard]] bool Update(std::int64_t count, std::int64_t nowMs);
    // "12.3 MB of 300 MB", then ", 4.1 MB/s, 1 min 10 s left" once settled.
    [[nodiscard]] QString Text() const;

private:
    bool running_ = false;
    std::int64_t size_ = 0;
    std::int64_t count_ = 0;
    std::int64_t start_ = 0;
    std::int64_t sampleAt_ = 0;
    std::int64_t sampleCount_ = 0;
    double bytesPerSecond_ = -1; // none yet
    bool shownOnce_ = false;
    bool settled_ = false;
};

// "45 s", "1 min 10 s", "2 h 5 min": a time left, rounded up to the second.
[[nodiscard]] QString TimeLeftText(std::int64_t seconds);
