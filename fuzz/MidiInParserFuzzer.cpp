// The MIDI layer's input parser on its own, without ports or threads: every
// callback it asks for is checked against the bytes that caused it.
//
// Input, as for the loopbackinput target (whose seeds fit here too): byte 0
// picks the buffers (count and size), byte 1 how the stream is cut, byte 2
// whether returned buffers are queued again, whether the input is stopped
// half-way and whether the stream is cut where it says (see there); the rest
// is the byte stream.

#include "FuzzCheck.h"
#include "MidiInParser.h"
#include "StreamCutter.h"
#include "SysExBufferCheck.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

using orvik::winmm::MidiInParser;

namespace {

struct Buffer
{
    MIDIHDR header{};
    std::unique_ptr<char[]> data;
    int queued = 0;
    int returned = 0;
};

constexpr DWORD kBufferSizes[8] = {1, 2, 3, 11, 64, 256, 1023, 1024};

struct Run
{
    MidiInParser parser;
    std::vector<std::unique_ptr<Buffer>> buffers;
    bool requeue = false;

    Buffer& find(DWORD_PTR param)
    {
        auto* header = reinterpret_cast<MIDIHDR*>(param);
        for (auto& buffer : buffers)
            if (&buffer->header == header)
                return *buffer;
        FUZZ_CHECK(!"a header that was never queued");
        std::abort();
    }

    // `flushing`: a stop or reset, which may hand back a buffer with any
    // amount in it.
    void check(const MidiInParser::Events& events, bool flushing)
    {
        std::vector<Buffer*> returned;
        for (const orvik::winmm::InputEvent& event : events) {
            switch (event.message) {
            case MIM_DATA:
                // A status byte and up to two data bytes, nothing above.
                FUZZ_CHECK(event.param1 & 0x80);
                FUZZ_CHECK(!(event.param1 & 0x8000) && !(event.param1 & 0x800000));
                FUZZ_CHECK(event.param1 >> 24 == 0);
                break;
            case MIM_ERROR:
                FUZZ_CHECK(event.param1 <= 0xFF);
                break;
            case MIM_LONGDATA:
            case MIM_LONGERROR: {
                Buffer& buffer = find(event.param1);
                const MIDIHDR& header = buffer.header;
                ++buffer.returned;
                FUZZ_CHECK(buffer.returned <= buffer.queued);
                FUZZ_CHECK(header.dwFlags & MHDR_DONE);
                FUZZ_CHECK(!(header.dwFlags & MHDR_INQUEUE));
                FUZZ_CHECK(header.dwBytesRecorded <= header.dwBufferLength);
                FUZZ_CHECK(header.dwBytesRecorded > 0 || flushing);
                FUZZ_CHECK(wellFormed(header));
                // Handed back whole while the message goes on only when
                // there is no room left in it.
                const auto last =
                    header.dwBytesRecorded == 0
                        ? 0
                        : static_cast<std::uint8_t>(header.lpData[header.dwBytesRecorded - 1]);
                if (event.message == MIM_LONGDATA && !flushing && last != 0xF7)
                    FUZZ_CHECK(header.dwBytesRecorded == header.dwBufferLength);
                returned.push_back(&buffer);
                break;
            }
            default:
                FUZZ_CHECK(!"unknown input message");
            }
        }
        if (requeue && !flushing) {
            for (Buffer* buffer : returned) {
                ++buffer->queued;
                FUZZ_CHECK(parser.addBuffer(&buffer->header) == MMSYSERR_NOERROR);
            }
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const int bufferCount = 1 + (data[0] & 3);
    const DWORD bufferSize = kBufferSizes[(data[0] >> 2) & 7];
    Run run;
    run.requeue = data[2] & 1;
    const bool stopHalfway = data[2] & 2;
    StreamCutter cutter(data[1], data[2] & 8);
    data += 3;
    size -= 3;

    for (int i = 0; i < bufferCount; ++i) {
        auto buffer = std::make_unique<Buffer>();
        buffer->data = std::make_unique<char[]>(bufferSize);
        buffer->header.lpData = buffer->data.get();
        buffer->header.dwBufferLength = bufferSize;
        buffer->header.dwFlags = MHDR_PREPARED;
        ++buffer->queued;
        FUZZ_CHECK(run.parser.addBuffer(&buffer->header) == MMSYSERR_NOERROR);
        // A buffer already queued is refused, and stays queued once.
        FUZZ_CHECK(run.parser.addBuffer(&buffer->header) == MIDIERR_STILLPLAYING);
        run.buffers.push_back(std::move(buffer));
    }

    MidiInParser::Events events;
    std::size_t offset = 0;
    bool stopped = false;
    DWORD time = 0;
    while (offset < size) {
        const std::size_t piece = cutter.next(data, size, offset);
        if (piece == 0)
            break;
        run.parser.parse(data + offset, piece, ++time, events);
        run.check(events, false);
        events.clear();
        offset += piece;
        if (stopHalfway && !stopped && offset >= size / 2) {
            stopped = true;
            run.parser.stop(time, events);
            run.check(events, true);
            events.clear();
        }
    }

    run.parser.reset(time, events);
    run.check(events, true);
    FUZZ_CHECK(!run.parser.hasBuffers());
    for (const auto& buffer : run.buffers)
        FUZZ_CHECK(buffer->returned == buffer->queued);
    return 0;
}
