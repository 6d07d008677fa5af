// Plays the updater's side against a DeviceSimulator without any MIDI: the
// tool's own slice encoder, a block sender that follows the unit's answers
// the way the real one does, and a watchdog that fires whenever the unit
// stays silent. Tests tamper with chosen messages on their way. The unit's
// clock is the model's own: an answer given with a delay arrives once that
// much time has passed, and a watchdog expiry costs six seconds.
#pragma once

#include "AccessCode.h"
#include "DataSlice.h"
#include "DeviceSimulator.h"
#include "ImagePreparation.h"
#include "Protocol.h"

#include <QFile>

#include <algorithm>
#include <chrono>

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

inline Bytes plainImage()
{
    QFile file(QString::fromLatin1(kImageResourcePath));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.readAll();
    return Bytes(data.begin(), data.end());
}

inline Bytes scrambledFor(Bytes image, std::uint32_t serial)
{
    std::uint8_t keystream[kKeystreamSize];
    buildKeystream(serial, keystream);
    scrambleImage(image.data(), std::uint32_t(image.size()), keystream);
    return image;
}

inline Bytes beginUpdate(std::uint8_t p1 = kImageVersionMajor, std::uint8_t p2 = kImageVersionMinor,
                         std::uint32_t length = kImageSize,
                         const std::uint8_t* code = UpdateAccessCode)
{
    Bytes m(21);
    WriteFrameHeader(m.data(), BeginUpdate);
    m[10] = p1;
    m[11] = p2;
    for (int i = 0; i < 4; ++i)
        m[12 + i] = (length >> (7 * i)) & 0x7F;
    for (int i = 0; i < 4; ++i)
        m[16 + i] = code[i];
    m[20] = 0xF7;
    return m;
}

inline Bytes command(std::uint8_t cmd)
{
    Bytes m(11);
    WriteFrameHeader(m.data(), cmd);
    m[10] = 0xF7;
    return m;
}

inline Bytes commit(std::uint8_t tag)
{
    Bytes m(12);
    WriteFrameHeader(m.data(), CommitBlock);
    m[10] = tag;
    m[11] = 0xF7;
    return m;
}

inline Bytes slice(const Bytes& image, int block, int n)
{
    Bytes m(kLongMessageBufferSize);
    m.resize(
        EncodeDataSlice(image.data(), std::uint32_t(block) * kBlockSize, n, DataSlice, m.data()));
    return m;
}

class ToolModel
{
public:
    // message number (0 = BeginUpdate), the message; return false to drop it
    using Tamper = std::function<bool(std::uint64_t, Bytes&)>;

    ToolModel(orvik::devsim::DeviceSettings settings, Tamper tamper = {})
        : plain_(plainImage()), image_(scrambledFor(plain_, settings.serialNumber)),
          tamper_(std::move(tamper)),
          sim_(std::move(settings), plain_, [this](orvik::devsim::Reply r) {
              replies.push_back(r);
              auto due = now_ + r.delay;
              if (!pending_.empty())
                  due = std::max(due, pending_.back().due);
              pending_.push_back({std::move(r.bytes), due});
          })
    {
        sim_.setClock([this] { return now_; });
    }

    orvik::devsim::DeviceSimulator& sim() { return sim_; }

    // Runs one update until the tool has sent its last commit and the unit
    // has nothing more to say, or `limit` messages went out.
    void run(std::uint64_t limit = 20000)
    {
        send(beginUpdate());
        while (sent_ < limit) {
            if (pending_.empty()) {
                if (done_)
                    return;
                watchdogFires++;
                now_ += std::chrono::seconds(6);
                sendNext(true);
                continue;
            }
            const Bytes reply = pending_.front().bytes;
            now_ = std::max(now_, pending_.front().due);
            pending_.pop_front();
            if (reply.size() < 10 || reply[0] != 0xF0 || reply[4] != kModelId || reply[1] != 0 ||
                reply[2] != 0x11 || reply[3] != 0x22)
                continue;
            switch (reply[9]) {
            case kReplyAckSlice:
            case kReplyAckCommit:
                if (!done_)
                    sendNext(false);
                break;
            case kReplyRepeat:
                // The tool only re-sends when its watchdog runs out.
                break;
            case kReplyRestart:
                offset_ = 0;
                step_ = 0;
                blocks_ = 0;
                done_ = false;
                sendNext(false);
                break;
            }
        }
    }

    std::vector<orvik::devsim::Reply> replies;
    int watchdogFires = 0;

private:
    void sendNext(bool repeat)
    {
        if (repeat) {
            if (step_ == 7) {
                offset_ -= kBlockSize;
                --committed_;
                --blocks_;
                done_ = false;
            }
            step_ = 0;
        }
        if (step_ == 6) {
            send(commit(committed_ == 0 ? 0 : (committed_ & 7) + 1));
            offset_ += kBlockSize;
            ++committed_;
            step_ = 7;
            done_ = ++blocks_ == kBlockCount;
            return;
        }
        const int n = step_ == 7 ? 0 : int(step_);
        send(slice(image_, int(offset_ / kBlockSize), n));
        step_ = n + 1;
    }

    void send(Bytes m)
    {
        const std::uint64_t number = sent_++;
        if (tamper_ && !tamper_(number, m))
            return;
        sim_.receive(m.data(), m.size());
    }

    Bytes plain_;
    Bytes image_;
    Tamper tamper_;
    struct Pending
    {
        Bytes bytes;
        orvik::devsim::DeviceTime due;
    };
    std::deque<Pending> pending_;
    orvik::devsim::DeviceTime now_{};
    orvik::devsim::DeviceSimulator sim_;
    std::uint32_t offset_ = 0;
    std::uint32_t step_ = 0;
    int committed_ = 0;
    int blocks_ = 0;
    bool done_ = false;
    std::uint64_t sent_ = 0;
};

} // namespace testsupport
