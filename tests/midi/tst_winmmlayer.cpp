// The winmm-compatible layer's promises, driven through loopback devices.

#include "Loopback.h"
#include "winmm.h"

#include <QTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr auto kDeadline = 10s;

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

Bytes sysex(std::size_t size, std::uint8_t seed)
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

MMRESULT openRecorded(HMIDIOUT& out, int device, Recorder& recorder)
{
    return midiOutOpen(&out, UINT(device), reinterpret_cast<DWORD_PTR>(&Recorder::output),
                       reinterpret_cast<DWORD_PTR>(&recorder), CALLBACK_FUNCTION);
}

MMRESULT openRecorded(HMIDIIN& in, int device, Recorder& recorder)
{
    return midiInOpen(&in, UINT(device), reinterpret_cast<DWORD_PTR>(&Recorder::input),
                      reinterpret_cast<DWORD_PTR>(&recorder), CALLBACK_FUNCTION);
}

MMRESULT prepareAndSend(HMIDIOUT out, MIDIHDR& header)
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

} // namespace

class TestWinmmLayer : public QObject
{
    Q_OBJECT

private slots:
    void sendsArriveWholeInOrderAndComeBackOnce_data();
    void sendsArriveWholeInOrderAndComeBackOnce();
    void resetHandsBackPendingSendsBeforeReturning();
    void openAndCloseNoticesFrameTheCallbacks();
    void shortMessages_data();
    void shortMessages();
    void sysexFillsBuffersInOrder_data();
    void sysexFillsBuffersInOrder();
    void sysexWithoutBufferIsDropped();
    void cutOffSysexComesBackAsError();
    void inputNeedsStart();
    void resetAndStopHandBackInputBuffers();
    void closeRefusesWhileBuffersQueued();
    void callbacksNeverRunOnTheCaller();
    void callbackMayCallBackIntoTheLayer();
    void inputCallbackMayCloseItsOwnHandle();
    void errorCodes();
    void headerStateErrors();
    void deviceListsAndNames();
    void failingOpens();
    void destroyedLinkLeavesHandlesUsable();
    void concurrentFeedsWhileClosing();
};

void TestWinmmLayer::sendsArriveWholeInOrderAndComeBackOnce_data()
{
    // Sent by the handle's thread, or by the caller's where the backend's
    // send never waits; either way in order, each handed back once.
    QTest::addColumn<bool>("sendsAtOnce");
    QTest::newRow("the handle's thread sends") << false;
    QTest::newRow("the caller sends") << true;
}

void TestWinmmLayer::sendsArriveWholeInOrderAndComeBackOnce()
{
    QFETCH(bool, sendsAtOnce);
    Far far;
    orvik::loopback::LinkOptions options;
    options.sendsAtOnce = sendsAtOnce;
    orvik::loopback::Link link("layer test out", far.receiver(), options);
    Recorder recorder;
    HMIDIOUT out = nullptr;
    QCOMPARE_EQ(openRecorded(out, link.outputDeviceNumber(), recorder), MMSYSERR_NOERROR);

    constexpr int kCount = 200;
    std::vector<std::unique_ptr<OutputMessage>> sent;
    for (int i = 0; i < kCount; ++i) {
        sent.push_back(std::make_unique<OutputMessage>(sysex(3 + (i * 37) % 1400, i)));
        QCOMPARE_EQ(prepareAndSend(out, sent.back()->header), MMSYSERR_NOERROR);
    }
    QVERIFY(far.waitForCount(kCount));
    QVERIFY(recorder.waitForCount(MOM_DONE, kCount));
    {
        std::lock_guard lock(far.mutex);
        QCOMPARE_EQ(far.messages.size(), std::size_t(kCount));
        for (int i = 0; i < kCount; ++i)
            QVERIFY2(far.messages[i] == sent[i]->data, qPrintable(QString::number(i)));
        QVERIFY(far.thread != std::this_thread::get_id());
    }
    const auto done = recorder.of(MOM_DONE);
    for (int i = 0; i < kCount; ++i) {
        QCOMPARE_EQ(done[i].param1, reinterpret_cast<DWORD_PTR>(&sent[i]->header));
        QCOMPARE_EQ(done[i].flags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
    }
    for (auto& message : sent)
        QCOMPARE_EQ(midiOutUnprepareHeader(out, &message->header, sizeof(MIDIHDR)),
                    MMSYSERR_NOERROR);
    QCOMPARE_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    recorder.closed = true;
    QCOMPARE_EQ(recorder.count(MOM_DONE), std::size_t(kCount));
    QCOMPARE_EQ(recorder.callsAfterClose.load(), 0);
}

void TestWinmmLayer::resetHandsBackPendingSendsBeforeReturning()
{
    // The far end holds the first message until told, so that the rest are
    // certainly still pending when the reset comes.
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool held = false;
    bool open = false;
    std::atomic<int> arrived{0};
    orvik::loopback::Link link("layer test reset", [&](const std::uint8_t*, std::size_t) {
        ++arrived;
        std::unique_lock lock(gateMutex);
        held = true;
        gateChanged.notify_all();
        gateChanged.wait(lock, [&] { return open; });
    });
    Recorder recorder;
    HMIDIOUT out = nullptr;
    QCOMPARE_EQ(openRecorded(out, link.outputDeviceNumber(), recorder), MMSYSERR_NOERROR);
    constexpr int kCount = 50;
    std::vector<std::unique_ptr<OutputMessage>> sent;
    for (int i = 0; i < kCount; ++i) {
        sent.push_back(std::make_unique<OutputMessage>(sysex(100, i)));
        QCOMPARE_EQ(prepareAndSend(out, sent.back()->header), MMSYSERR_NOERROR);
        if (i == 0) {
            std::unique_lock lock(gateMutex);
            QVERIFY(gateChanged.wait_for(lock, kDeadline, [&] { return held; }));
        }
    }
    // The far end still holds the first message: the reset must not wait for it.
    QCOMPARE_EQ(midiOutReset(out), MMSYSERR_NOERROR);
    // Every message is back by now, sent or not, and not one twice.
    QCOMPARE_EQ(recorder.count(MOM_DONE), std::size_t(kCount));
    for (auto& message : sent)
        QCOMPARE_EQ(message->header.dwFlags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
    QCOMPARE_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    recorder.closed = true;
    {
        std::lock_guard lock(gateMutex);
        open = true;
    }
    gateChanged.notify_all();
    QCOMPARE_EQ(recorder.callsAfterClose.load(), 0);
    QCOMPARE_EQ(arrived.load(), 1); // the rest never left
}

void TestWinmmLayer::openAndCloseNoticesFrameTheCallbacks()
{
    OpenInput input({64});
    input.feed(sysex(10, 1));
    QVERIFY(input.recorder.waitForCount(MIM_LONGDATA, 1));
    input.close();
    const auto calls = input.recorder.all();
    QVERIFY(calls.size() >= 3);
    QCOMPARE_EQ(calls.front().message, MIM_OPEN);
    QCOMPARE_EQ(calls.back().message, MIM_CLOSE);
    QCOMPARE_EQ(input.recorder.count(MIM_OPEN), std::size_t(1));
    QCOMPARE_EQ(input.recorder.count(MIM_CLOSE), std::size_t(1));

    Far far;
    orvik::loopback::Link link("layer test notices", far.receiver());
    Recorder recorder;
    HMIDIOUT out = nullptr;
    QCOMPARE_EQ(openRecorded(out, link.outputDeviceNumber(), recorder), MMSYSERR_NOERROR);
    QCOMPARE_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    const auto outCalls = recorder.all();
    QCOMPARE_EQ(outCalls.size(), std::size_t(2));
    QCOMPARE_EQ(outCalls[0].message, MOM_OPEN);
    QCOMPARE_EQ(outCalls[1].message, MOM_CLOSE);
}

void TestWinmmLayer::shortMessages_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<quint32>>("data");   // MIM_DATA parameters, in order
    QTest::addColumn<QList<quint32>>("errors"); // MIM_ERROR parameters, in order

    QTest::newRow("note on") << QByteArray("\x90\x3C\x40", 3) << QList<quint32>{0x403C90}
                             << QList<quint32>{};
    QTest::newRow("running status") << QByteArray("\x90\x3C\x40\x3E\x41", 5)
                                    << QList<quint32>{0x403C90, 0x413E90} << QList<quint32>{};
    QTest::newRow("program change")
        << QByteArray("\xC5\x07\x08", 3) << QList<quint32>{0x07C5, 0x08C5} << QList<quint32>{};
    QTest::newRow("real-time inside a message")
        << QByteArray("\xB0\x07\xF8\x64", 4) << QList<quint32>{0xF8, 0x6407B0} << QList<quint32>{};
    QTest::newRow("system common ends running status")
        << QByteArray("\x90\x3C\x40\xF2\x01\x02\x3C", 7) << QList<quint32>{0x403C90, 0x0201F2}
        << QList<quint32>{0x3C};
    QTest::newRow("tune request") << QByteArray("\xF6", 1) << QList<quint32>{0xF6}
                                  << QList<quint32>{};
    QTest::newRow("stray data and end of exclusive")
        << QByteArray("\x12\xF7", 2) << QList<quint32>{} << QList<quint32>{0x12, 0xF7};
    QTest::newRow("split across feeds")
        << QByteArray("\xE0\x00|\x40", 4) << QList<quint32>{0x4000E0} << QList<quint32>{};
}

void TestWinmmLayer::shortMessages()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<quint32>, data);
    QFETCH(QList<quint32>, errors);

    OpenInput input({});
    // '|' marks where one feed ends and the next begins.
    for (const QByteArray& part : bytes.split('|'))
        input.feed(Bytes(part.begin(), part.end()));
    input.feed({0xFE}); // a marker that always comes through
    QVERIFY(input.recorder.waitForCount(MIM_DATA, std::size_t(data.size()) + 1));

    QList<quint32> gotData;
    for (const auto& call : input.recorder.of(MIM_DATA))
        gotData.append(quint32(call.param1));
    QCOMPARE_EQ(gotData.takeLast(), 0xFEu);
    QCOMPARE(gotData, data);
    QList<quint32> gotErrors;
    for (const auto& call : input.recorder.of(MIM_ERROR))
        gotErrors.append(quint32(call.param1));
    QCOMPARE(gotErrors, errors);
}

void TestWinmmLayer::sysexFillsBuffersInOrder_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("feedSize"); // bytes per toTool call
    QTest::addColumn<QList<int>>("pieces");

    QTest::newRow("short") << 11 << 1000 << QList<int>{11};
    QTest::newRow("exactly one buffer") << 1024 << 1000 << QList<int>{1024};
    QTest::newRow("one byte over") << 1025 << 1000 << QList<int>{1024, 1};
    QTest::newRow("two and a bit, byte by byte") << 2100 << 1 << QList<int>{1024, 1024, 52};
    QTest::newRow("two and a bit, odd chunks") << 2100 << 333 << QList<int>{1024, 1024, 52};
}

void TestWinmmLayer::sysexFillsBuffersInOrder()
{
    QFETCH(int, size);
    QFETCH(int, feedSize);
    QFETCH(QList<int>, pieces);

    OpenInput input({1024, 1024, 1024, 1024});
    const Bytes message = sysex(std::size_t(size), 3);
    const Bytes next = sysex(20, 9);
    for (std::size_t at = 0; at < message.size(); at += std::size_t(feedSize)) {
        const std::size_t n = std::min(message.size() - at, std::size_t(feedSize));
        input.feed(Bytes(message.begin() + at, message.begin() + at + n));
    }
    input.feed(next);
    QVERIFY(input.recorder.waitForCount(MIM_LONGDATA, std::size_t(pieces.size()) + 1));

    const auto done = input.recorder.of(MIM_LONGDATA);
    Bytes joined;
    for (int i = 0; i < pieces.size(); ++i) {
        QCOMPARE_EQ(int(done[i].data.size()), pieces[i]);
        // Buffers are used in the order they were added.
        QCOMPARE_EQ(done[i].param1, reinterpret_cast<DWORD_PTR>(&input.buffers[i]->header));
        QCOMPARE_EQ(done[i].flags & (MHDR_DONE | MHDR_INQUEUE | MHDR_PREPARED),
                    MHDR_DONE | MHDR_PREPARED);
        joined.insert(joined.end(), done[i].data.begin(), done[i].data.end());
    }
    QVERIFY(joined == message);
    // The next message starts a fresh buffer.
    QVERIFY(done[pieces.size()].data == next);
}

void TestWinmmLayer::sysexWithoutBufferIsDropped()
{
    OpenInput input({});
    input.feed(sysex(300, 1));
    input.feed({0x90, 0x3C, 0x40});
    QVERIFY(input.recorder.waitForCount(MIM_DATA, 1));
    QCOMPARE_EQ(input.recorder.count(MIM_LONGDATA), std::size_t(0));

    // Running out in the middle: the head is delivered, the tail is not
    // passed off as a message of its own when a buffer turns up.
    const Bytes long600 = sysex(600, 2);
    input.add(256);
    input.feed(Bytes(long600.begin(), long600.begin() + 400));
    QVERIFY(input.recorder.waitForCount(MIM_LONGDATA, 1));
    input.add(256);
    input.feed(Bytes(long600.begin() + 400, long600.end()));
    const Bytes after = sysex(30, 5);
    input.feed(after);
    QVERIFY(input.recorder.waitForCount(MIM_LONGDATA, 2));
    const auto done = input.recorder.of(MIM_LONGDATA);
    QCOMPARE_EQ(done[0].data.size(), std::size_t(256));
    QVERIFY(done[1].data == after);
}

void TestWinmmLayer::cutOffSysexComesBackAsError()
{
    OpenInput input({1024, 1024, 1024});
    Bytes cut = sysex(50, 4);
    cut.pop_back();
    cut.insert(cut.end(), {0x90, 0x3C, 0x40}); // a status byte ends it early
    input.feed(cut);
    input.feed(sysex(12, 6));
    QVERIFY(input.recorder.waitForCount(MIM_LONGDATA, 1));
    const auto errors = input.recorder.of(MIM_LONGERROR);
    QCOMPARE_EQ(errors.size(), std::size_t(1));
    QCOMPARE_EQ(errors[0].data.size(), std::size_t(49));
    QCOMPARE_EQ(input.recorder.of(MIM_DATA).at(0).param1, DWORD_PTR(0x403C90));
    QCOMPARE_EQ(input.recorder.of(MIM_LONGDATA).at(0).data.size(), std::size_t(12));

    // Real-time bytes do not cut it.
    Bytes clocked = sysex(20, 8);
    clocked.insert(clocked.begin() + 5, 0xF8);
    input.feed(clocked);
    QVERIFY(input.recorder.waitForCount(MIM_LONGDATA, 2));
    QVERIFY(input.recorder.of(MIM_LONGDATA).at(1).data == sysex(20, 8));
}

void TestWinmmLayer::inputNeedsStart()
{
    OpenInput input({1024}, false);
    input.feed(sysex(40, 1));
    input.feed({0x90, 0x3C, 0x40});
    QCOMPARE_EQ(midiInStart(input.handle), MMSYSERR_NOERROR);
    const Bytes after = sysex(20, 2);
    input.feed(after);
    QVERIFY(input.recorder.waitForCount(MIM_LONGDATA, 1));
    QCOMPARE_EQ(input.recorder.count(MIM_DATA), std::size_t(0));
    QVERIFY(input.recorder.of(MIM_LONGDATA).at(0).data == after);

    // Stopped again: nothing more is recorded until the next start.
    QCOMPARE_EQ(midiInStop(input.handle), MMSYSERR_NOERROR);
    input.add(1024);
    input.feed(sysex(30, 3));
    QCOMPARE_EQ(midiInStart(input.handle), MMSYSERR_NOERROR);
    input.feed({0xFE});
    QVERIFY(input.recorder.waitForCount(MIM_DATA, 1));
    QCOMPARE_EQ(input.recorder.count(MIM_LONGDATA), std::size_t(1));
}

void TestWinmmLayer::resetAndStopHandBackInputBuffers()
{
    OpenInput input({1024, 1024, 1024});
    Bytes partial = sysex(100, 1);
    partial.resize(60);
    input.feed(partial);
    input.feed({0xFE});
    QVERIFY(input.recorder.waitForCount(MIM_DATA, 1));

    // Stop hands back only the buffer in progress.
    QCOMPARE_EQ(midiInStop(input.handle), MMSYSERR_NOERROR);
    QCOMPARE_EQ(input.recorder.count(MIM_LONGDATA), std::size_t(1));
    QCOMPARE_EQ(input.recorder.of(MIM_LONGDATA).at(0).data.size(), std::size_t(60));

    // Reset hands back all the rest before it returns, empty ones with 0.
    QCOMPARE_EQ(midiInStart(input.handle), MMSYSERR_NOERROR);
    Bytes second = sysex(100, 2);
    second.resize(30);
    input.feed(second);
    input.feed({0xFE});
    QVERIFY(input.recorder.waitForCount(MIM_DATA, 2));
    QCOMPARE_EQ(midiInReset(input.handle), MMSYSERR_NOERROR);
    const auto done = input.recorder.of(MIM_LONGDATA);
    QCOMPARE_EQ(done.size(), std::size_t(3));
    QCOMPARE_EQ(done[1].data.size(), std::size_t(30));
    QCOMPARE_EQ(done[2].data.size(), std::size_t(0));
    for (auto& buffer : input.buffers)
        QCOMPARE_EQ(buffer->header.dwFlags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
    QCOMPARE_EQ(midiInClose(input.handle), MMSYSERR_NOERROR);
    input.handle = nullptr;
}

void TestWinmmLayer::closeRefusesWhileBuffersQueued()
{
    OpenInput input({1024});
    QCOMPARE_EQ(midiInClose(input.handle), MIDIERR_STILLPLAYING);
    QCOMPARE_EQ(midiInUnprepareHeader(input.handle, &input.buffers[0]->header, sizeof(MIDIHDR)),
                MIDIERR_STILLPLAYING);
    QCOMPARE_EQ(midiInReset(input.handle), MMSYSERR_NOERROR);
    QCOMPARE_EQ(midiInUnprepareHeader(input.handle, &input.buffers[0]->header, sizeof(MIDIHDR)),
                MMSYSERR_NOERROR);
    QCOMPARE_EQ(input.buffers[0]->header.dwFlags & MHDR_PREPARED, DWORD(0));
    QCOMPARE_EQ(midiInClose(input.handle), MMSYSERR_NOERROR);
    input.recorder.closed = true;
    QCOMPARE_EQ(midiInClose(input.handle), MMSYSERR_INVALHANDLE);
    input.handle = nullptr;
}

void TestWinmmLayer::callbacksNeverRunOnTheCaller()
{
    OpenInput input({1024, 1024, 1024});
    // What comes in is handed over on the thread that brought it, with no
    // hop to another; what the caller's own calls cause never runs inside
    // them.
    std::thread::id feeder;
    std::thread system([&] {
        feeder = std::this_thread::get_id();
        input.feed(sysex(40, 1));
        input.feed({0x80, 0x3C, 0x00});
    });
    system.join();
    QVERIFY(input.recorder.waitForCount(MIM_DATA, 1));
    input.close();
    for (const auto& call : input.recorder.all()) {
        QVERIFY(call.thread != std::this_thread::get_id());
        if (call.message == MIM_DATA)
            QVERIFY(call.thread == feeder);
    }
    // One buffer came back with the SysEx, the two others with the reset.
    QCOMPARE_EQ(input.recorder.count(MIM_LONGDATA), std::size_t(3));
    QCOMPARE_EQ(input.recorder.callsAfterClose.load(), 0);
}

void TestWinmmLayer::callbackMayCallBackIntoTheLayer()
{
    // The port pair releases each sent message from inside MOM_DONE,
    // unpreparing it there; and a callback may even close its own handle.
    Far far;
    orvik::loopback::Link link("layer test reentry", far.receiver());
    Recorder recorder;
    HMIDIOUT out = nullptr;
    std::atomic<int> unprepared{0};
    std::atomic<HMIDIOUT> handle{nullptr};
    recorder.onCall = [&](UINT message, MIDIHDR* header) {
        if (message == MOM_DONE &&
            midiOutUnprepareHeader(handle.load(), header, sizeof(MIDIHDR)) == MMSYSERR_NOERROR)
            ++unprepared;
    };
    QCOMPARE_EQ(openRecorded(out, link.outputDeviceNumber(), recorder), MMSYSERR_NOERROR);
    handle = out;
    OutputMessage a(sysex(10, 1));
    QCOMPARE_EQ(prepareAndSend(out, a.header), MMSYSERR_NOERROR);
    QVERIFY(recorder.waitForCount(MOM_DONE, 1));
    QCOMPARE_EQ(unprepared.load(), 1);

    std::atomic<MMRESULT> closeResult{MMSYSERR_ERROR};
    recorder.onCall = [&](UINT message, MIDIHDR*) {
        if (message == MOM_DONE)
            closeResult = midiOutClose(handle.load());
    };
    OutputMessage b(sysex(10, 2));
    QCOMPARE_EQ(prepareAndSend(out, b.header), MMSYSERR_NOERROR);
    QVERIFY(recorder.waitForCount(MOM_DONE, 2));
    QTRY_COMPARE_EQ_WITH_TIMEOUT(closeResult.load(), MMSYSERR_NOERROR, 10000);
    QCOMPARE_EQ(midiOutReset(out), MMSYSERR_INVALHANDLE);
}

void TestWinmmLayer::inputCallbackMayCloseItsOwnHandle()
{
    // On the thread that feeds, a callback may close its own handle: the
    // backend goes once the callback has returned, and nothing more comes,
    // not even the rest of what that feed brought.
    OpenInput input({});
    const HMIDIIN handle = input.handle;
    std::atomic<MMRESULT> closeResult{MMSYSERR_ERROR};
    input.recorder.onCall = [&](UINT message, MIDIHDR*) {
        if (message == MIM_DATA && closeResult == MMSYSERR_ERROR) {
            closeResult = midiInClose(handle);
            input.recorder.closed = true;
        }
    };
    input.feed({0x90, 0x3C, 0x40, 0x80, 0x3C, 0x00});
    QTRY_COMPARE_EQ_WITH_TIMEOUT(closeResult.load(), MMSYSERR_NOERROR, 10000);
    input.handle = nullptr;
    input.feed({0x90, 0x3C, 0x40});
    QCOMPARE_EQ(midiInStart(handle), MMSYSERR_INVALHANDLE);
    QCOMPARE_EQ(input.recorder.count(MIM_DATA), std::size_t(1));
    QCOMPARE_EQ(input.recorder.callsAfterClose.load(), 0);
}

void TestWinmmLayer::errorCodes()
{
    Far far;
    orvik::loopback::Link link("layer test errors", far.receiver());
    HMIDIIN in = nullptr;
    HMIDIOUT out = nullptr;
    MIDIINCAPSW inCaps{};
    MIDIOUTCAPSW outCaps{};
    MIDIHDR header{};
    char data[16] = {};
    header.lpData = data;
    header.dwBufferLength = sizeof data;
    const auto callback = reinterpret_cast<DWORD_PTR>(&Recorder::input);

    QCOMPARE_EQ(midiInOpen(&in, 0xFFFFFFFFu, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    QCOMPARE_EQ(in, HMIDIIN{});
    QCOMPARE_EQ(midiOutOpen(&out, 0xFFFFFFFFu, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    QCOMPARE_EQ(midiInOpen(&in, 100000, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    QCOMPARE_EQ(midiInGetDevCapsW(0xFFFFFFFFu, &inCaps, sizeof inCaps), MMSYSERR_BADDEVICEID);
    QCOMPARE_EQ(midiOutGetDevCapsW(100000, &outCaps, sizeof outCaps), MMSYSERR_BADDEVICEID);
    QCOMPARE_EQ(midiInGetDevCapsW(0, nullptr, sizeof inCaps), MMSYSERR_INVALPARAM);
    QCOMPARE_EQ(midiOutGetDevCapsW(0, nullptr, sizeof outCaps), MMSYSERR_INVALPARAM);
    QCOMPARE_EQ(midiInOpen(nullptr, 0, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
    QCOMPARE_EQ(midiOutOpen(nullptr, 0, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
    QCOMPARE_EQ(midiInOpen(&in, 0, 0, 0, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
    QCOMPARE_EQ(midiInOpen(&in, 0, callback, 0, 0x00050000), MMSYSERR_INVALFLAG);

    // Null handles, and handles of the wrong direction or made up.
    const auto bogusIn = reinterpret_cast<HMIDIIN>(std::uintptr_t(0x1234560));
    for (HMIDIIN h : {HMIDIIN{}, bogusIn}) {
        QCOMPARE_EQ(midiInPrepareHeader(h, &header, sizeof header), MMSYSERR_INVALHANDLE);
        QCOMPARE_EQ(midiInUnprepareHeader(h, &header, sizeof header), MMSYSERR_INVALHANDLE);
        QCOMPARE_EQ(midiInAddBuffer(h, &header, sizeof header), MMSYSERR_INVALHANDLE);
        QCOMPARE_EQ(midiInStart(h), MMSYSERR_INVALHANDLE);
        QCOMPARE_EQ(midiInStop(h), MMSYSERR_INVALHANDLE);
        QCOMPARE_EQ(midiInReset(h), MMSYSERR_INVALHANDLE);
        QCOMPARE_EQ(midiInClose(h), MMSYSERR_INVALHANDLE);
    }
    QCOMPARE_EQ(midiOutPrepareHeader(nullptr, &header, sizeof header), MMSYSERR_INVALHANDLE);
    QCOMPARE_EQ(midiOutUnprepareHeader(nullptr, &header, sizeof header), MMSYSERR_INVALHANDLE);
    QCOMPARE_EQ(midiOutLongMsg(nullptr, &header, sizeof header), MMSYSERR_INVALHANDLE);
    QCOMPARE_EQ(midiOutReset(nullptr), MMSYSERR_INVALHANDLE);
    QCOMPARE_EQ(midiOutClose(nullptr), MMSYSERR_INVALHANDLE);

    // A closed handle stays dead, even after other handles were opened.
    QCOMPARE_EQ(midiInOpen(&in, UINT(link.inputDeviceNumber()), 0, 0, CALLBACK_NULL),
                MMSYSERR_NOERROR);
    QCOMPARE_EQ(midiOutOpen(&out, UINT(link.outputDeviceNumber()), 0, 0, CALLBACK_NULL),
                MMSYSERR_NOERROR);
    QCOMPARE_EQ(midiInPrepareHeader(in, nullptr, sizeof header), MMSYSERR_INVALPARAM);
    QCOMPARE_EQ(midiInAddBuffer(in, nullptr, sizeof header), MMSYSERR_INVALPARAM);
    QCOMPARE_EQ(midiOutLongMsg(out, nullptr, sizeof header), MMSYSERR_INVALPARAM);
    QCOMPARE_EQ(midiOutPrepareHeader(out, nullptr, sizeof header), MMSYSERR_INVALPARAM);
    QCOMPARE_EQ(midiInClose(in), MMSYSERR_NOERROR);
    QCOMPARE_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    const HMIDIIN closedIn = in;
    const HMIDIOUT closedOut = out;
    HMIDIIN again = nullptr;
    QCOMPARE_EQ(midiInOpen(&again, UINT(link.inputDeviceNumber()), 0, 0, CALLBACK_NULL),
                MMSYSERR_NOERROR);
    QVERIFY(again != closedIn);
    QCOMPARE_EQ(midiInStart(closedIn), MMSYSERR_INVALHANDLE);
    QCOMPARE_EQ(midiInClose(closedIn), MMSYSERR_INVALHANDLE);
    QCOMPARE_EQ(midiOutReset(closedOut), MMSYSERR_INVALHANDLE);
    QCOMPARE_EQ(midiOutClose(closedOut), MMSYSERR_INVALHANDLE);
    QCOMPARE_EQ(midiOutClose(reinterpret_cast<HMIDIOUT>(again)), MMSYSERR_INVALHANDLE);
    QCOMPARE_EQ(midiInClose(again), MMSYSERR_NOERROR);
}

void TestWinmmLayer::headerStateErrors()
{
    Far far;
    orvik::loopback::Link link("layer test headers", far.receiver());
    HMIDIIN in = nullptr;
    HMIDIOUT out = nullptr;
    Recorder recorder;
    QCOMPARE_EQ(midiInOpen(&in, UINT(link.inputDeviceNumber()), 0, 0, CALLBACK_NULL),
                MMSYSERR_NOERROR);
    QCOMPARE_EQ(openRecorded(out, link.outputDeviceNumber(), recorder), MMSYSERR_NOERROR);

    InputBuffer buffer(64);
    QCOMPARE_EQ(midiInAddBuffer(in, &buffer.header, sizeof(MIDIHDR)), MIDIERR_UNPREPARED);
    QCOMPARE_EQ(midiInPrepareHeader(in, &buffer.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    QCOMPARE_EQ(buffer.header.dwFlags, MHDR_PREPARED);
    QCOMPARE_EQ(midiInAddBuffer(in, &buffer.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    QCOMPARE_EQ(buffer.header.dwFlags, MHDR_PREPARED | MHDR_INQUEUE);
    QCOMPARE_EQ(midiInAddBuffer(in, &buffer.header, sizeof(MIDIHDR)), MIDIERR_STILLPLAYING);
    QCOMPARE_EQ(midiInReset(in), MMSYSERR_NOERROR);
    QCOMPARE_EQ(buffer.header.dwFlags, MHDR_PREPARED | MHDR_DONE);
    QCOMPARE_EQ(midiInUnprepareHeader(in, &buffer.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    QCOMPARE_EQ(midiInUnprepareHeader(in, &buffer.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);

    OutputMessage message(sysex(10, 1));
    QCOMPARE_EQ(midiOutLongMsg(out, &message.header, sizeof(MIDIHDR)), MIDIERR_UNPREPARED);
    QCOMPARE_EQ(midiOutPrepareHeader(out, &message.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    QCOMPARE_EQ(midiOutLongMsg(out, &message.header, sizeof(MIDIHDR) - 1), MMSYSERR_INVALPARAM);
    QCOMPARE_EQ(midiOutLongMsg(out, &message.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    QVERIFY(recorder.waitForCount(MOM_DONE, 1));
    QCOMPARE_EQ(message.header.dwFlags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
    QCOMPARE_EQ(midiOutUnprepareHeader(out, &message.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    QCOMPARE_EQ(message.header.dwFlags & MHDR_PREPARED, DWORD(0));

    QCOMPARE_EQ(midiInClose(in), MMSYSERR_NOERROR);
    QCOMPARE_EQ(midiOutClose(out), MMSYSERR_NOERROR);
}

void TestWinmmLayer::deviceListsAndNames()
{
    Far far;
    // Loopback devices come first, in the order made, named after the link.
    orvik::loopback::Link first("First link", far.receiver());
    orvik::loopback::Link second("Second link", far.receiver());
    const std::string longName = "A very long loopback device name that does not fit";
    orvik::loopback::Link third(longName, far.receiver());
    orvik::loopback::Link twin("Second link", far.receiver());
    // 30 ASCII units, then a character outside the BMP: it cannot be split.
    orvik::loopback::Link wide(std::string(30, 'w') + "\xF0\x9F\x8E\xB9", far.receiver());
    QCOMPARE_EQ(first.inputDeviceNumber(), 0);
    QCOMPARE_EQ(second.outputDeviceNumber(), 1);
    QCOMPARE_EQ(wide.inputDeviceNumber(), 4);

    auto inName = [](UINT id) {
        MIDIINCAPSW caps{};
        if (midiInGetDevCapsW(id, &caps, sizeof caps) != MMSYSERR_NOERROR)
            return QString("<none>");
        return QString::fromUtf16(caps.szPname);
    };
    auto outName = [](UINT id) {
        MIDIOUTCAPSW caps{};
        if (midiOutGetDevCapsW(id, &caps, sizeof caps) != MMSYSERR_NOERROR)
            return QString("<none>");
        return QString::fromUtf16(caps.szPname);
    };
    QCOMPARE(inName(0), QString("First link"));
    QCOMPARE(outName(1), QString("Second link"));
    QCOMPARE(inName(2), QString::fromStdString(longName).left(31));
    QCOMPARE(inName(3), QString("Second link 2"));
    QCOMPARE(outName(3), QString("Second link 2"));
    QCOMPARE(inName(4), QString(30, 'w'));

    {
        orvik::loopback::Link gone("Gone", far.receiver());
        QCOMPARE_EQ(gone.inputDeviceNumber(), 5);
    }
    // Removing a link moves the later ones up.
    orvik::loopback::Link last("Last", far.receiver());
    QCOMPARE_EQ(last.inputDeviceNumber(), 5);
    QCOMPARE(inName(5), QString("Last"));

    // A short caps record takes what fits.
    MIDIINCAPSW small{};
    std::memset(&small, 0xAB, sizeof small);
    QCOMPARE_EQ(midiInGetDevCapsW(0, &small, offsetof(MIDIINCAPSW, szPname) + 4), MMSYSERR_NOERROR);
    QCOMPARE_EQ(small.szPname[0], u'F');
    QCOMPARE_EQ(small.szPname[1], u'i');
    QCOMPARE_EQ(small.szPname[2], WCHAR(0xABAB));
}

void TestWinmmLayer::failingOpens()
{
    Far far;
    orvik::loopback::Link busyIn("busy in", far.receiver(), {true, false});
    orvik::loopback::Link busyOut("busy out", far.receiver(), {false, true});
    HMIDIIN in = nullptr;
    HMIDIOUT out = nullptr;
    QCOMPARE_EQ(midiInOpen(&in, UINT(busyIn.inputDeviceNumber()), 0, 0, CALLBACK_NULL),
                MMSYSERR_ALLOCATED);
    QCOMPARE_EQ(in, HMIDIIN{});
    QCOMPARE_EQ(midiOutOpen(&out, UINT(busyIn.outputDeviceNumber()), 0, 0, CALLBACK_NULL),
                MMSYSERR_NOERROR);
    QCOMPARE_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    QCOMPARE_EQ(midiOutOpen(&out, UINT(busyOut.outputDeviceNumber()), 0, 0, CALLBACK_NULL),
                MMSYSERR_ALLOCATED);
    QCOMPARE_EQ(midiInOpen(&in, UINT(busyOut.inputDeviceNumber()), 0, 0, CALLBACK_NULL),
                MMSYSERR_NOERROR);
    QCOMPARE_EQ(midiInClose(in), MMSYSERR_NOERROR);
}

void TestWinmmLayer::destroyedLinkLeavesHandlesUsable()
{
    Far far;
    auto link = std::make_unique<orvik::loopback::Link>("short lived", far.receiver());
    Recorder inRecorder;
    Recorder outRecorder;
    HMIDIIN in = nullptr;
    HMIDIOUT out = nullptr;
    QCOMPARE_EQ(openRecorded(in, link->inputDeviceNumber(), inRecorder), MMSYSERR_NOERROR);
    QCOMPARE_EQ(openRecorded(out, link->outputDeviceNumber(), outRecorder), MMSYSERR_NOERROR);
    InputBuffer buffer(64);
    QCOMPARE_EQ(midiInPrepareHeader(in, &buffer.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    QCOMPARE_EQ(midiInAddBuffer(in, &buffer.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    QCOMPARE_EQ(midiInStart(in), MMSYSERR_NOERROR);
    link.reset();

    OutputMessage message(sysex(10, 1));
    QCOMPARE_EQ(prepareAndSend(out, message.header), MMSYSERR_NOERROR);
    QVERIFY(outRecorder.waitForCount(MOM_DONE, 1));
    QCOMPARE_EQ(midiOutReset(out), MMSYSERR_NOERROR);
    QCOMPARE_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    QCOMPARE_EQ(midiInReset(in), MMSYSERR_NOERROR);
    QCOMPARE_EQ(inRecorder.of(MIM_LONGDATA).size(), std::size_t(1));
    QCOMPARE_EQ(midiInClose(in), MMSYSERR_NOERROR);
    QCOMPARE_EQ(far.messages.size(), std::size_t(0));
}

void TestWinmmLayer::concurrentFeedsWhileClosing()
{
    // Feeding threads race the opening and closing of inputs on their link;
    // a sanitizer build turns any unguarded access into a failure here.
    Far far;
    orvik::loopback::Link link("layer test race", far.receiver());
    std::atomic<bool> stop{false};
    std::vector<std::thread> feeders;
    for (int t = 0; t < 3; ++t) {
        feeders.emplace_back([&, t] {
            const Bytes message = sysex(std::size_t(50 + t * 300), std::uint8_t(t));
            while (!stop)
                link.toTool(message.data(), message.size());
        });
    }
    for (int round = 0; round < 30; ++round) {
        HMIDIIN in = nullptr;
        Recorder recorder;
        QCOMPARE_EQ(openRecorded(in, link.inputDeviceNumber(), recorder), MMSYSERR_NOERROR);
        InputBuffer a(1024);
        InputBuffer b(1024);
        for (InputBuffer* buffer : {&a, &b}) {
            QCOMPARE_EQ(midiInPrepareHeader(in, &buffer->header, sizeof(MIDIHDR)),
                        MMSYSERR_NOERROR);
            QCOMPARE_EQ(midiInAddBuffer(in, &buffer->header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
        }
        QCOMPARE_EQ(midiInStart(in), MMSYSERR_NOERROR);
        QCOMPARE_EQ(midiInStop(in), MMSYSERR_NOERROR);
        QCOMPARE_EQ(midiInReset(in), MMSYSERR_NOERROR);
        QCOMPARE_EQ(midiInClose(in), MMSYSERR_NOERROR);
        recorder.closed = true;
        QVERIFY(a.header.dwFlags & MHDR_DONE);
        QVERIFY(b.header.dwFlags & MHDR_DONE);
        QCOMPARE_EQ(recorder.callsAfterClose.load(), 0);
    }
    stop = true;
    for (auto& feeder : feeders)
        feeder.join();
}

QTEST_GUILESS_MAIN(TestWinmmLayer)
#include "tst_winmmlayer.moc"
