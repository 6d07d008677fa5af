#include "MidiInParser.h"

#include <algorithm>
#include <cstring>

namespace orvik::winmm {

namespace {

// Data bytes that follow a status byte (running status aside).
int dataLength(std::uint8_t status)
{
    switch (status & 0xF0) {
    case 0xC0:
    case 0xD0:
        return 1;
    case 0xF0:
        switch (status) {
        case 0xF1:
        case 0xF3:
            return 1;
        case 0xF2:
            return 2;
        default:
            return 0;
        }
    default:
        return 2;
    }
}

} // namespace

MMRESULT MidiInParser::addBuffer(MIDIHDR* header)
{
    if (!(header->dwFlags & MHDR_PREPARED))
        return MIDIERR_UNPREPARED;
    if (header->dwFlags & MHDR_INQUEUE)
        return MIDIERR_STILLPLAYING;
    if (!header->lpData || header->dwBufferLength == 0)
        return MMSYSERR_INVALPARAM;
    header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    header->dwBytesRecorded = 0;
    buffers_.push_back(header);
    return MMSYSERR_NOERROR;
}

void MidiInParser::stop(DWORD time, Events& events)
{
    if (!buffers_.empty() && buffers_.front()->dwBytesRecorded > 0)
        returnBuffer(MIM_LONGDATA, time, events);
    clear();
}

void MidiInParser::reset(DWORD time, Events& events)
{
    while (!buffers_.empty())
        returnBuffer(MIM_LONGDATA, time, events);
    clear();
}

void MidiInParser::clear()
{
    inSysex_ = false;
    dropping_ = false;
    status_ = 0;
    count_ = 0;
}

void MidiInParser::returnBuffer(UINT message, DWORD time, Events& events)
{
    MIDIHDR* header = buffers_.front();
    buffers_.pop_front();
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    events.push_back({message, reinterpret_cast<DWORD_PTR>(header), time});
}

// Copies a run of SysEx bytes into the queued buffers. With no buffer left
// the rest of this message is dropped: continuing later in a fresh buffer
// would hand over a tail that looks like a whole message.
void MidiInParser::sysexBytes(const std::uint8_t* data, std::size_t size, DWORD time,
                              Events& events)
{
    while (size > 0 && !dropping_) {
        if (buffers_.empty()) {
            dropping_ = true;
            return;
        }
        MIDIHDR* header = buffers_.front();
        const std::size_t room = header->dwBufferLength - header->dwBytesRecorded;
        const std::size_t n = std::min(room, size);
        std::memcpy(header->lpData + header->dwBytesRecorded, data, n);
        header->dwBytesRecorded += static_cast<DWORD>(n);
        data += n;
        size -= n;
        if (header->dwBytesRecorded >= header->dwBufferLength)
            returnBuffer(MIM_LONGDATA, time, events);
    }
}

void MidiInParser::endSysex(UINT message, DWORD time, Events& events)
{
    if (!dropping_ && !buffers_.empty() && buffers_.front()->dwBytesRecorded > 0)
        returnBuffer(message, time, events);
    inSysex_ = false;
    dropping_ = false;
}

void MidiInParser::parse(const std::uint8_t* data, std::size_t size, DWORD time, Events& events)
{
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t byte = data[i];
        if (inSysex_ && byte < 0x80) {
            std::size_t run = i + 1;
            while (run < size && data[run] < 0x80)
                ++run;
            sysexBytes(data + i, run - i, time, events);
            i = run;
            continue;
        }
        ++i;
        if (byte >= 0xF8) {
            // Real-time messages may sit anywhere, even inside SysEx.
            events.push_back({MIM_DATA, byte, time});
            continue;
        }
        if (inSysex_) {
            if (byte == 0xF7) {
                sysexBytes(&byte, 1, time, events);
                endSysex(MIM_LONGDATA, time, events);
                continue;
            }
            endSysex(MIM_LONGERROR, time, events);
        }
        if (byte == 0xF0) {
            inSysex_ = true;
            dropping_ = false;
            status_ = 0;
            sysexBytes(&byte, 1, time, events);
            continue;
        }
        if (byte == 0xF7) {
            events.push_back({MIM_ERROR, byte, time});
            status_ = 0;
            continue;
        }
        if (byte >= 0x80) {
            status_ = byte;
            count_ = 0;
            if (dataLength(byte) == 0) {
                events.push_back({MIM_DATA, byte, time});
                status_ = 0;
            }
            continue;
        }
        if (status_ == 0) {
            events.push_back({MIM_ERROR, byte, time});
            continue;
        }
        data_[count_++] = byte;
        const int needed = dataLength(status_);
        if (count_ == needed) {
            DWORD_PTR packed = status_ | (DWORD_PTR{data_[0]} << 8);
            if (needed == 2)
                packed |= DWORD_PTR{data_[1]} << 16;
            events.push_back({MIM_DATA, packed, time});
            count_ = 0;
            if (status_ >= 0xF0)
                status_ = 0; // system common ends running status
        }
    }
}

} // namespace orvik::winmm
