// Cuts a raw MIDI byte stream into messages, as the unit's own receiver does
// with what arrives on its MIDI IN socket. Behind a raw device nothing frames
// the bytes for us: reads end wherever the driver's buffer did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace orvik::devsim {

class ByteStreamFramer
{
public:
    using Message = std::function<void(const std::uint8_t* data, std::size_t size)>;

    // The unit's receive buffer: a longer SysEx is handed on cut at this
    // length, and what follows until its end is lost.
    static constexpr std::size_t kMaxMessage = 65536;

    explicit ByteStreamFramer(Message message) : message_(std::move(message)) {}

    void feed(const std::uint8_t* data, std::size_t size);

private:
    void flush();

    Message message_;
    std::vector<std::uint8_t> pending_;
    std::size_t expected_ = 0; // length of the channel or common message begun
    std::uint8_t runningStatus_ = 0;
    bool inSysEx_ = false;
    bool overflowed_ = false;
};

} // namespace orvik::devsim
