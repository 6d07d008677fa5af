// Raw MIDI bytes from the other end of a loopback cable into an open input,
// through the same winmm calls the port pair makes: any mix of SysEx, short,
// running-status and real-time bytes, cut into pieces at arbitrary points,
// against a few input buffers of varying size.
//
// Input: byte 0 picks the buffers (count and size), byte 1 how the stream is
// cut, byte 2 whether returned buffers are queued again from the callback,
// whether the input is stopped and restarted half-way, whether it is closed
// and opened again at the end, and whether the stream is cut where it says
// (the pieces as a MIDI system's events hand them over: the ALSA sequencer
// splits a SysEx where it likes, and RtMidi glues an event that came in the
// middle of one to the part before it); the rest is the byte stream.
//
// After every input the port is reset, and every buffer must have come back
// exactly as often as it was queued: a buffer kept by the layer, or handed
// back twice, is a leak or a double free in the port pair.

#include "FuzzCheck.h"
#include "Loopback.h"
#include "StreamCutter.h"
#include "SysExBufferCheck.h"
#include "winmm.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

struct Buffer
{
    MIDIHDR header{};
    std::unique_ptr<char[]> data;
    int queued = 0;
    int returned = 0;
};

struct Run
{
    std::vector<std::unique_ptr<Buffer>> buffers;
    bool requeue = false;
    // Set before the reset: the buffers it hands back stay with us instead
    // of going straight back into the queue.
    std::atomic<bool> closing{false};

    Buffer* find(MIDIHDR* header)
    {
        for (auto& buffer : buffers)
            if (&buffer->header == header)
                return buffer.get();
        return nullptr;
    }
};

void CALLBACK onInput(HMIDIIN handle, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR)
{
    auto* run = reinterpret_cast<Run*>(instance);
    switch (message) {
    case MIM_OPEN:
    case MIM_CLOSE:
    case MIM_ERROR:
        return;
    case MIM_DATA:
        FUZZ_CHECK(param1 & 0x80);
        return;
    case MIM_LONGDATA:
    case MIM_LONGERROR:
        break;
    default:
        FUZZ_CHECK(!"unknown input message");
    }

    auto* header = reinterpret_cast<MIDIHDR*>(param1);
    Buffer* buffer = run->find(header);
    FUZZ_CHECK(buffer);
    ++buffer->returned;
    FUZZ_CHECK(buffer->returned <= buffer->queued);
    FUZZ_CHECK(header->dwFlags & MHDR_DONE);
    FUZZ_CHECK(!(header->dwFlags & MHDR_INQUEUE));
    FUZZ_CHECK(header->dwBytesRecorded <= header->dwBufferLength);
    // Only a reset hands back a buffer with nothing in it.
    FUZZ_CHECK(header->dwBytesRecorded > 0 || run->closing);
    if (message == MIM_LONGERROR)
        FUZZ_CHECK(header->dwBytesRecorded > 0);
    FUZZ_CHECK(wellFormed(*header));

    if (run->requeue && !run->closing) {
        if (midiInAddBuffer(handle, header, sizeof(MIDIHDR)) == MMSYSERR_NOERROR)
            ++buffer->queued;
    }
}

orvik::loopback::Link& link()
{
    static auto* instance = new orvik::loopback::Link("fuzz", {});
    return *instance;
}

// One open input for the whole run, as the port pair keeps one open for a
// whole update; an input can ask for it to be closed and opened anew.
Run& run()
{
    static Run* instance = new Run;
    return *instance;
}

HMIDIIN input = nullptr;

void openInput()
{
    FUZZ_CHECK(midiInOpen(&input, static_cast<UINT>(link().inputDeviceNumber()),
                          reinterpret_cast<DWORD_PTR>(&onInput),
                          reinterpret_cast<DWORD_PTR>(&run()),
                          CALLBACK_FUNCTION) == MMSYSERR_NOERROR);
}

// Closed before the leak check that runs at exit. The input's worker keeps
// what it has allocated for as long as the input is open, and after a few
// ten thousand reopens the thread ids come round again: this sanitizer never
// learns that a joined thread is gone, takes the live worker for a dead one
// of the same id and does not look at its stack, so the worker's memory
// would look leaked. Closed, the worker is joined and has freed it, and the
// check also sees that a close gives everything back. Every run has taken
// its buffers back by then, so the close must succeed.
void closeInputAtExit()
{
    FUZZ_CHECK(midiInClose(input) == MMSYSERR_NOERROR);
    input = nullptr;
}

constexpr DWORD kBufferSizes[8] = {1, 2, 3, 11, 64, 256, 1023, 1024};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The first open also lists the system's MIDI ports once and keeps the
    // list: done here, that one-time allocation stays out of the runs.
    openInput();
    std::atexit(closeInputAtExit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const int bufferCount = 1 + (data[0] & 3);
    const DWORD bufferSize = kBufferSizes[(data[0] >> 2) & 7];
    Run& r = run();
    r.buffers.clear();
    r.closing = false;
    r.requeue = data[2] & 1;
    const bool stopHalfway = data[2] & 2;
    StreamCutter cutter(data[1], data[2] & 8);
    const bool reopen = data[2] & 4;
    data += 3;
    size -= 3;

    for (int i = 0; i < bufferCount; ++i) {
        auto buffer = std::make_unique<Buffer>();
        buffer->data = std::make_unique<char[]>(bufferSize);
        buffer->header.lpData = buffer->data.get();
        buffer->header.dwBufferLength = bufferSize;
        FUZZ_CHECK(midiInPrepareHeader(input, &buffer->header, sizeof(MIDIHDR)) ==
                   MMSYSERR_NOERROR);
        // Counted before the add: the callback may hand it back at once.
        ++buffer->queued;
        r.buffers.push_back(std::move(buffer));
        FUZZ_CHECK(midiInAddBuffer(input, &r.buffers.back()->header, sizeof(MIDIHDR)) ==
                   MMSYSERR_NOERROR);
    }
    FUZZ_CHECK(midiInStart(input) == MMSYSERR_NOERROR);

    std::size_t offset = 0;
    bool stopped = false;
    while (offset < size) {
        const std::size_t piece = cutter.next(data, size, offset);
        if (piece == 0)
            break;
        link().toTool(data + offset, piece);
        offset += piece;
        if (stopHalfway && !stopped && offset >= size / 2) {
            stopped = true;
            FUZZ_CHECK(midiInStop(input) == MMSYSERR_NOERROR);
            FUZZ_CHECK(midiInStart(input) == MMSYSERR_NOERROR);
        }
    }

    // The reset also forgets any message left half-way, so the next input
    // starts from a clean parser.
    r.closing = true;
    FUZZ_CHECK(midiInReset(input) == MMSYSERR_NOERROR);
    for (auto& buffer : r.buffers) {
        FUZZ_CHECK(buffer->returned == buffer->queued);
        FUZZ_CHECK(midiInUnprepareHeader(input, &buffer->header, sizeof(MIDIHDR)) ==
                   MMSYSERR_NOERROR);
    }
    if (reopen) {
        FUZZ_CHECK(midiInClose(input) == MMSYSERR_NOERROR);
        openInput();
    }
    r.buffers.clear();
    return 0;
}
