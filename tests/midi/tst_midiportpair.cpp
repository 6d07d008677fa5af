// The port pair on loopback devices: opening and closing together, half-open
// pairs, the fate of every buffer, and the port-name queries.

#include "BufferWatch.h"
#include "Loopback.h"
#include "MidiEvent.h"
#include "MidiPortPair.h"

#include <QTest>

#include <condition_variable>
#include <mutex>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr int kDeadlineMs = 10000;

struct Far
{
    std::mutex mutex;
    std::vector<Bytes> messages;

    orvik::loopback::Link::Receiver receiver()
    {
        return [this](const std::uint8_t* data, std::size_t size) {
            std::lock_guard lock(mutex);
            messages.emplace_back(data, data + size);
        };
    }

    std::size_t count()
    {
        std::lock_guard lock(mutex);
        return messages.size();
    }
};

// Takes each delivered buffer and releases it, as the window does.
class Sink : public QObject
{
public:
    std::vector<Bytes> received;

    bool event(QEvent* e) override
    {
        MidiEvent::Receive(e);
        if (e->type() != kMidiEventType)
            return QObject::event(e);
        MIDIHDR* header = static_cast<MidiEvent*>(e)->TakeHeader();
        received.emplace_back(header->lpData, header->lpData + header->dwBytesRecorded);
        MidiPortPair::ReleaseInputBuffer(header);
        return true;
    }
};

std::uint8_t* watchedMessage(const Bytes& bytes)
{
    auto* buffer = new std::uint8_t[bytes.size()];
    std::copy(bytes.begin(), bytes.end(), buffer);
    bufferwatch::watch(buffer);
    return buffer;
}

const Bytes kMessage = {0xF0, 0x00, 0x11, 0x22, 0x0B, 0x01, 0xF7};

bool openWatched(MidiPortPair& pair, int in, int out)
{
    bufferwatch::InputBlocks watched;
    return pair.Open(in, out);
}

} // namespace

class TestMidiPortPair : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void openOnAnOpenPairClosesItFirst();
    void closeTwiceEqualsOnce();
    void halfOpen_data();
    void halfOpen();
    void sendOnAClosedOutputAllocatesNothing();
    void pendingMessagesAreReleasedOnceOnClose();
    void portNames();
};

void TestMidiPortPair::init()
{
    QCOMPARE(bufferwatch::live(), 0);
}

void TestMidiPortPair::openOnAnOpenPairClosesItFirst()
{
    Far farA;
    Far farB;
    orvik::loopback::Link a("pair A", farA.receiver());
    orvik::loopback::Link b("pair B", farB.receiver());
    Sink sink;
    MidiPortPair pair;
    pair.SetReceiver(&sink);

    QVERIFY(openWatched(pair, a.inputDeviceNumber(), a.outputDeviceNumber()));
    const HMIDIIN oldIn = pair.MidiIn;
    const HMIDIOUT oldOut = pair.MidiOut;
    QVERIFY(openWatched(pair, b.inputDeviceNumber(), b.outputDeviceNumber()));

    QVERIFY(pair.MidiIn.load() && pair.MidiIn.load() != oldIn);
    QVERIFY(pair.MidiOut && pair.MidiOut != oldOut);
    QCOMPARE_EQ(midiInStart(oldIn), MMSYSERR_INVALHANDLE);
    QCOMPARE_EQ(midiOutReset(oldOut), MMSYSERR_INVALHANDLE);
    // Only the new input's two buffers are still out.
    QCOMPARE(bufferwatch::live(), kInputBufferCount);

    QVERIFY(pair.SendLongMessage(watchedMessage(kMessage), DWORD(kMessage.size())));
    QTRY_COMPARE_WITH_TIMEOUT(farB.count(), std::size_t(1), kDeadlineMs);
    QCOMPARE(farA.count(), std::size_t(0));
    b.toTool(kMessage.data(), kMessage.size());
    a.toTool(kMessage.data(), kMessage.size());
    QTRY_COMPARE_WITH_TIMEOUT(sink.received.size(), std::size_t(1), kDeadlineMs);

    pair.Close();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(sink.received.size(), std::size_t(1));
    QCOMPARE(bufferwatch::live(), 0);
}

void TestMidiPortPair::closeTwiceEqualsOnce()
{
    Far far;
    orvik::loopback::Link link("pair close", far.receiver());
    Sink sink;
    MidiPortPair pair;
    pair.SetReceiver(&sink);

    // Closing a pair that never opened touches nothing, not even the flag.
    pair.Close();
    QVERIFY(!pair.StopFlag);

    QVERIFY(openWatched(pair, link.inputDeviceNumber(), link.outputDeviceNumber()));
    const HMIDIIN in = pair.MidiIn;
    pair.Close();
    QVERIFY(!pair.MidiIn.load());
    QVERIFY(!pair.MidiOut);
    QVERIFY(pair.StopFlag);
    QCOMPARE(bufferwatch::live(), 0);
    pair.Close();
    QVERIFY(!pair.MidiIn.load());
    QVERIFY(!pair.MidiOut);
    QVERIFY(pair.StopFlag);
    QCOMPARE_EQ(midiInClose(in), MMSYSERR_INVALHANDLE);

    // After the close no buffer goes to the driver, whoever asks.
    const std::size_t before = bufferwatch::allocations();
    pair.QueueInputBuffer();
    QCOMPARE(bufferwatch::allocations(), before);
    QCoreApplication::sendPostedEvents();
    QCOMPARE(sink.received.size(), std::size_t(0));
}

void TestMidiPortPair::halfOpen_data()
{
    QTest::addColumn<bool>("inputFails");
    QTest::newRow("input busy") << true;
    QTest::newRow("output busy") << false;
}

void TestMidiPortPair::halfOpen()
{
    QFETCH(bool, inputFails);
    Far far;
    orvik::loopback::Link link("pair half", far.receiver(), {inputFails, !inputFails});
    Sink sink;
    MidiPortPair pair;
    pair.SetReceiver(&sink);

    QVERIFY(!openWatched(pair, link.inputDeviceNumber(), link.outputDeviceNumber()));
    if (inputFails) {
        QVERIFY(!pair.MidiIn.load());
        QVERIFY(pair.MidiOut);
        QCOMPARE(bufferwatch::live(), 0);
        QVERIFY(pair.SendLongMessage(watchedMessage(kMessage), DWORD(kMessage.size())));
        QTRY_COMPARE_WITH_TIMEOUT(far.count(), std::size_t(1), kDeadlineMs);
    } else {
        // The input stays open, started and supplied, and still delivers.
        QVERIFY(pair.MidiIn.load());
        QVERIFY(!pair.MidiOut);
        QCOMPARE(bufferwatch::live(), kInputBufferCount);
        QVERIFY(!pair.SendLongMessage(watchedMessage(kMessage), DWORD(kMessage.size())));
        link.toTool(kMessage.data(), kMessage.size());
        QTRY_COMPARE_WITH_TIMEOUT(sink.received.size(), std::size_t(1), kDeadlineMs);
        QVERIFY(sink.received[0] == kMessage);
    }
    pair.Close();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(bufferwatch::live(), 0);
}

void TestMidiPortPair::sendOnAClosedOutputAllocatesNothing()
{
    Far far;
    orvik::loopback::Link link("pair closed send", far.receiver());
    MidiPortPair pair;
    for (int round = 0; round < 2; ++round) {
        auto* buffer = watchedMessage(kMessage);
        const std::size_t before = bufferwatch::allocations();
        QVERIFY(!pair.SendLongMessage(buffer, DWORD(kMessage.size())));
        QCOMPARE(bufferwatch::allocations(), before);
        // The buffer is the pair's whatever the result; it must not leak.
        QCOMPARE(bufferwatch::live(), 0);
        // Second round: closed after having been open.
        QVERIFY(openWatched(pair, link.inputDeviceNumber(), link.outputDeviceNumber()));
        pair.Close();
    }
    QCOMPARE(far.count(), std::size_t(0));
}

void TestMidiPortPair::pendingMessagesAreReleasedOnceOnClose()
{
    // The far end holds the first message, so the rest are still pending when
    // the pair closes; each must come back and be released exactly once (a
    // second release would trip the allocator).
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false;
    bool release = false;
    orvik::loopback::Link link("pair pending", [&](const std::uint8_t*, std::size_t) {
        std::unique_lock lock(mutex);
        holding = true;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
    });
    MidiPortPair pair;
    QVERIFY(openWatched(pair, link.inputDeviceNumber(), link.outputDeviceNumber()));
    for (int i = 0; i < 20; ++i) {
        QVERIFY(pair.SendLongMessage(watchedMessage(kMessage), DWORD(kMessage.size())));
        if (i == 0) {
            std::unique_lock lock(mutex);
            QVERIFY(changed.wait_for(lock, std::chrono::milliseconds(kDeadlineMs),
                                     [&] { return holding; }));
        }
    }
    // The message being delivered is done for the layer already: the close
    // does not wait for the far end.
    pair.Close();
    QCOMPARE(bufferwatch::live(), 0);
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    changed.notify_all();
}

void TestMidiPortPair::portNames()
{
    Far far;
    orvik::loopback::Link first("Port name one", far.receiver());
    orvik::loopback::Link second("Port name two", far.receiver());
    MidiPortPair pair;

    const WCHAR* in1 = pair.InputPortName(first.inputDeviceNumber());
    QVERIFY(in1);
    QCOMPARE(QString::fromUtf16(in1), QString("Port name one"));
    const WCHAR* in2 = pair.InputPortName(second.inputDeviceNumber());
    QCOMPARE(in2, in1); // the same record, now holding the later name
    QCOMPARE(QString::fromUtf16(in1), QString("Port name two"));
    QVERIFY(!pair.InputPortName(-1));
    QVERIFY(!pair.InputPortName(100000));

    const WCHAR* out1 = pair.OutputPortName(first.outputDeviceNumber());
    QVERIFY(out1);
    QCOMPARE(QString::fromUtf16(out1), QString("Port name one"));
    QVERIFY(pair.OutputPortName(second.outputDeviceNumber()) == out1);
    QCOMPARE(QString::fromUtf16(out1), QString("Port name two"));
    QVERIFY(!pair.OutputPortName(-1));

    // The list a port dialog builds: 0, 1, 2, ... up to the first null.
    QStringList names;
    for (int i = 0; i < 100; ++i) {
        const WCHAR* name = pair.InputPortName(i);
        if (!name)
            break;
        names << QString::fromUtf16(name);
    }
    QVERIFY(names.size() >= 2);
    QCOMPARE(names.mid(first.inputDeviceNumber(), 2),
             (QStringList{"Port name one", "Port name two"}));
}

QTEST_GUILESS_MAIN(TestMidiPortPair)
#include "tst_midiportpair.moc"
