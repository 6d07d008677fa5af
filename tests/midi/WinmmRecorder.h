// What the winmm layer's tests share: recorders for a handle's callbacks and
// for the link's far end, buffers the layer can fill, and an open input on a
// fresh loopback link.
#pragma once

#include "Loopback.h"
#include "winmm.h"

#include <QTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace winmmtest {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

inline constexpr auto kDeadline = 10s;

// Everything one handle's callback saw, with the thread it ran on.
struct Recorder
{
    struct Call
    {
        UINT message;
        DWORD_PTR param1;
        DWORD_PTR param2;
        std::thread::id thread;
        Bytes data; // MIDIHDR contents at the time of the callback
        DWORD flags;
    };

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Call> calls;
    // Set by the test once close has returned; a callback after that is a bug.
    std::atomic<bool> closed{false};
    std::atomic<int> callsAfterClose{0};
    std::function<void(UINT, MIDIHDR*)> onCall;

    void record(UINT message, DWORD_PTR p1, DWORD_PTR p2)
    {
        if (closed)
            ++callsAfterClose;
        Call call{message, p1, p2, std::this_thread::get_id(), {}, 0};
        if ((message == MIM_LONGDATA || message == MIM_LONGERROR || message == MOM_DONE) && p1) {
            auto* header = reinterpret_cast<MIDIHDR*>(p1);
            const DWORD size =
                message == MOM_DONE ? header->dwBufferLength : header->dwBytesRecorded;
            call.data.assign(header->lpData, header->lpData + size);
            call.flags = header->dwFlags;
        }
        if (onCall)
            onCall(message, reinterpret_cast<MIDIHDR*>(p1));
        std::lock_guard lock(mutex);
        calls.push_back(std::move(call));
        changed.notify_all();
    }

    static void CALLBACK input(HMIDIIN, UINT message, DWORD_PTR self, DWORD_PTR p1, DWORD_PTR p2)
    {
        reinterpret_cast<Recorder*>(self)->record(message, p1, p2);
    }
    static void CALLBACK output(HMIDIOUT, UINT message, DWORD_PTR self, DWORD_PTR p1, DWORD_PTR p2)
    {
        reinterpret_cast<Recorder*>(self)->record(message, p1, p2);
    }

    std::size_t count(UINT message)
    {
        std::lock_guard lock(mutex);
        return std::count_if(calls.begin(), calls.end(),
                             [&](const Call& c) { return c.message == message; });
    }

    bool waitForCount(UINT message, std::size_t n)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kDeadline, [&] {
            return std::size_t(std::count_if(calls.begin(), calls.end(), [&](const Call& c) {
                       return c.message == message;
                   })) >= n;
        });
    }

    std::vector<Call> of(UINT message)
    {
        std::lock_guard lock(mutex);
        std::vector<Call> out;
        for (const Call& c : calls)
            if (c.message == message)
                out.push_back(c);
        return out;
    }

    std::vector<Call> all()
    {
        std::lock_guard lock(mutex);
        return calls;
    }
};

// The link's far end: what the tool sent, and on which thread it arrived.
struct Far
{
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Bytes> messages;
    std::thread::id thread;

    orvik::loopback::Link::Receiver receiver()
    {
        return [this](const std::uint8_t* data, std::size_t size) {
            std::lock_guard lock(mutex);
            thread = std::this_thread::get_id();
            messages.emplace_back(data, data + size);
            changed.notify_all();
        };
    }

    bool waitForCount(std::size_t n)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kDeadline, [&] { return messages.size() >= n; });
    }
};

inline Bytes sysex(std::size_t size, std::uint8_t seed)
{
    Bytes message(size);
    message.front() = 0xF0;
    for (std::size_t i = 1; i + 1 < size; ++i)
        message[i] = static_cast<std::uint8_t>((seed + i * 7) & 0x7F);
    message.back() = 0xF7;
    return message;
}

struct InputBuffer
{
    explicit InputBuffer(DWORD size) : data(size)
    {
        header.lpData = reinterpret_cast<LPSTR>(data.data());
        header.dwBufferLength = size;
    }
    std::vector<std::uint8_t> data;
    MIDIHDR header{};
};

struct OutputMessage
{
    explicit OutputMessage(Bytes bytes) : data(std::move(bytes))
    {
        header.lpData = reinterpret_cast<LPSTR>(data.data());
        header.dwBufferLength = static_cast<DWORD>(data.size());
    }
    Bytes data;
    MIDIHDR header{};
};

inline MMRESULT openRecorded(HMIDIOUT& out, int device, Recorder& recorder)
{
    return midiOutOpen(&out, UINT(device), reinterpret_cast<DWORD_PTR>(&Recorder::output),
                       reinterpret_cast<DWORD_PTR>(&recorder), CALLBACK_FUNCTION);
}

inline MMRESULT openRecorded(HMIDIIN& in, int device, Recorder& recorder)
{
    return midiInOpen(&in, UINT(device), reinterpret_cast<DWORD_PTR>(&Recorder::input),
                      reinterpret_cast<DWORD_PTR>(&recorder), CALLBACK_FUNCTION);
}

inline MMRESULT prepareAndSend(HMIDIOUT out, MIDIHDR& header)
{
    const MMRESULT prepared = midiOutPrepareHeader(out, &header, sizeof(MIDIHDR));
    return prepared != MMSYSERR_NOERROR ? prepared : midiOutLongMsg(out, &header, sizeof(MIDIHDR));
}

// An open input on a fresh link, started with `buffers` queued.
struct OpenInput
{
    explicit OpenInput(std::vector<DWORD> sizes, bool start = true)
        : link("layer test in", far.receiver())
    {
        QCOMPARE_EQ(openRecorded(handle, link.inputDeviceNumber(), recorder), MMSYSERR_NOERROR);
        for (DWORD size : sizes)
            add(size);
        if (start)
            QCOMPARE_EQ(midiInStart(handle), MMSYSERR_NOERROR);
    }

    ~OpenInput() { close(); }

    void add(DWORD size)
    {
        buffers.push_back(std::make_unique<InputBuffer>(size));
        MIDIHDR* header = &buffers.back()->header;
        QCOMPARE_EQ(midiInPrepareHeader(handle, header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
        QCOMPARE_EQ(midiInAddBuffer(handle, header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    }

    void feed(const Bytes& bytes) { link.toTool(bytes.data(), bytes.size()); }

    void close()
    {
        if (!handle)
            return;
        midiInReset(handle);
        QCOMPARE_EQ(midiInClose(handle), MMSYSERR_NOERROR);
        recorder.closed = true;
        handle = nullptr;
    }

    Far far;
    Recorder recorder;
    orvik::loopback::Link link;
    HMIDIIN handle = nullptr;
    std::vector<std::unique_ptr<InputBuffer>> buffers;
};

} // namespace winmmtest
