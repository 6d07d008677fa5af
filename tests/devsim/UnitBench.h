// The simulated unit fed by hand, message by message, on a clock the test
// sets, and the message numbers and tags of a clean update.
#pragma once

#include "DeviceMessages.h"
#include "DeviceSimulator.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace testsupport {

using namespace orvik::devsim;

inline constexpr std::uint32_t kSerial = 123456789;

inline DeviceSettings settings()
{
    DeviceSettings s;
    s.serialNumber = kSerial;
    return s;
}

inline int count(const std::vector<Reply>& replies, std::uint8_t command)
{
    int n = 0;
    for (const auto& r : replies)
        n += r.bytes.size() == 11 && r.bytes[9] == command;
    return n;
}

// Message numbers of a clean update: slice s of block b, and its commit.
inline std::uint64_t sliceMessage(int block, int s)
{
    return 1 + std::uint64_t(block) * 7 + s;
}

// Feeds one block the way the tool sends it.
inline void feedBlock(DeviceSimulator& sim, const Bytes& image, int block, int tag)
{
    for (int n = 0; n < kSliceCount; ++n) {
        const Bytes m = slice(image, block, n);
        sim.receive(m.data(), m.size());
    }
    const Bytes c = commit(std::uint8_t(tag));
    sim.receive(c.data(), c.size());
}

inline int tagAfter(int commits)
{
    return commits == 0 ? 0 : (commits & 7) + 1;
}

inline const Bytes& scrambledImage()
{
    static const Bytes image = scrambledFor(plainImage(), kSerial);
    return image;
}

struct Bench
{
    explicit Bench(DeviceSettings s)
        : sim(std::move(s), plainImage(), [this](Reply r) { replies.push_back(std::move(r)); })
    {
        sim.setClock([this] { return DeviceTime(at); });
    }
    void send(const Bytes& m) { sim.receive(m.data(), m.size()); }
    void begin() { send(beginUpdate()); }
    void wholeImage()
    {
        for (int b = 0; b < kBlockCount; ++b)
            feedBlock(sim, scrambledImage(), b, tagAfter(b));
    }
    std::uint8_t lastCommand() const { return replies.empty() ? 0 : replies.back().bytes[9]; }

    std::chrono::milliseconds at{0};
    std::vector<Reply> replies;
    DeviceSimulator sim;
};

} // namespace testsupport
