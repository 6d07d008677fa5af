// Received SysEx on its way from the layer's thread to the GUI thread and
// into the session's decoder.

#include "BufferWatch.h"
#include "Loopback.h"
#include "MidiEvent.h"
#include "UnitReplies.h"
#include "UpdateSession.h"

#include <QTest>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr int kDeadlineMs = 10000;

// Version bytes 06 02: any will do here.
Bytes identityReply(std::uint32_t serial)
{
    return testsupport::identityReply(serial, 0x06 | 0x02 << 7);
}

// The window's part: every event of type 1000 goes to HandleInput.
class Window : public QObject
{
public:
    explicit Window(UpdateSession& session) : session_(session) {}

    std::vector<ReplyCode> codes;
    std::vector<int> types;
    bool allOnGuiThread = true;

    bool event(QEvent* e) override
    {
        MidiEvent::Receive(e);
        types.push_back(int(e->type()));
        if (e->type() != kMidiEventType)
            return QObject::event(e);
        allOnGuiThread = allOnGuiThread && QThread::currentThread() == qApp->thread();
        bufferwatch::InputBlocks watched;
        codes.push_back(session_.HandleInput(static_cast<MidiEvent*>(e)->TakeHeader()));
        return true;
    }

private:
    UpdateSession& session_;
};

struct Bench
{
    Bench() : link("handoff", {}), window(session) { session.PortPair.SetReceiver(&window); }

    bool open()
    {
        bufferwatch::InputBlocks watched;
        return session.OpenPorts(link.inputDeviceNumber(), link.outputDeviceNumber());
    }

    void send(const Bytes& bytes) { link.toTool(bytes.data(), bytes.size()); }

    orvik::loopback::Link link;
    UpdateSession session;
    Window window;
};

// Input blocks as QueueInputBuffer makes them, for calling the callback
// directly.
MIDIHDR* looseBuffer()
{
    auto* header = new MIDIHDR{};
    header->lpData = new char[kInputBufferSize]();
    bufferwatch::watch(header->lpData);
    header->dwBufferLength = kInputBufferSize;
    header->dwFlags = MHDR_DONE | MHDR_PREPARED;
    return header;
}

// The order of events inside HandleInput, seen through the allocator.
std::vector<char> timeline;
void* usedBlock = nullptr;

} // namespace

class TestMidiHandoff : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void repliesReachTheGuiThreadAsEvents();
    void longSysexIsDecodedBufferByBuffer();
    void replacementIsQueuedBeforeTheDecode();
    void errorBuffersAreReplacedToo();
    void otherHandlesAndNoticesPostNothing();
    void closeStopsForwardingAndFreesBuffers();
    void eventsHandledAfterCloseAddNothing();
    void eventsQueuedForADeadReceiverAreFreed();
};

void TestMidiHandoff::init()
{
    QCOMPARE(bufferwatch::live(), 0);
}

void TestMidiHandoff::cleanup()
{
    QCoreApplication::sendPostedEvents();
}

void TestMidiHandoff::repliesReachTheGuiThreadAsEvents()
{
    Bench bench;
    QVERIFY(bench.open());
    bench.send(identityReply(123456789));
    // From another thread, as a driver would.
    std::thread([&] { bench.send(identityReply(42)); }).join();
    QTRY_COMPARE_WITH_TIMEOUT(bench.window.codes.size(), std::size_t(2), kDeadlineMs);
    QCOMPARE(bench.window.codes, (std::vector<ReplyCode>{ReplyIdentity, ReplyIdentity}));
    QVERIFY(bench.window.allOnGuiThread);
    QCOMPARE(bench.window.types, (std::vector<int>{1000, 1000}));
    QCOMPARE(bench.session.SerialNumber, 42);
    QCOMPARE(bench.session.DeviceName, QString("Orvik16 KX"));
    bench.session.PortPair.Close();
    QCOMPARE(bufferwatch::live(), 0);
}

void TestMidiHandoff::longSysexIsDecodedBufferByBuffer()
{
    Bench bench;
    QVERIFY(bench.open());
    Bytes reply = identityReply(7);
    reply.pop_back();
    reply.resize(1500, 0x01);
    reply.push_back(0xF7);
    bench.send(reply);
    // Both buffers went into that one; the next needs their replacements.
    QTRY_COMPARE_WITH_TIMEOUT(bench.window.codes.size(), std::size_t(2), kDeadlineMs);
    bench.send(identityReply(8));
    QTRY_COMPARE_WITH_TIMEOUT(bench.window.codes.size(), std::size_t(3), kDeadlineMs);
    // Neither piece of the long one is a whole message, so neither is a
    // reply, not even the one that starts with the frame header.
    QCOMPARE(bench.window.codes, (std::vector<ReplyCode>{ReplyNone, ReplyNone, ReplyIdentity}));
    QCOMPARE(bench.session.SerialNumber, 8);
    bench.session.PortPair.Close();
    QCOMPARE(bufferwatch::live(), 0);
}

void TestMidiHandoff::replacementIsQueuedBeforeTheDecode()
{
    // The fresh block must be allocated and queued before the used one is
    // released: while the GUI thread decodes, the driver is not a buffer short.
    Bench bench;
    QVERIFY(bench.open());
    MIDIHDR* header = looseBuffer();
    const Bytes reply = identityReply(6);
    std::memcpy(header->lpData, reply.data(), reply.size());
    header->dwBytesRecorded = DWORD(reply.size());

    timeline.clear();
    timeline.reserve(16);
    usedBlock = header->lpData;
    bufferwatch::setHooks({[](void*, std::size_t size) {
                               if (size == kInputBufferSize)
                                   timeline.push_back('q');
                           },
                           [](void* p) {
                               if (p == usedBlock)
                                   timeline.push_back('r');
                           }});
    ReplyCode code = ReplyNone;
    {
        bufferwatch::InputBlocks watched;
        code = bench.session.HandleInput(header);
    }
    bufferwatch::setHooks({});
    QCOMPARE(code, ReplyIdentity);
    QCOMPARE(bench.session.SerialNumber, 6);
    QCOMPARE(timeline, (std::vector<char>{'q', 'r'}));

    // The driver now holds three buffers: a 3000-byte message needs them all.
    Bytes big(3000, 0x02);
    big.front() = 0xF0;
    big.back() = 0xF7;
    bench.send(big);
    QTRY_COMPARE_WITH_TIMEOUT(bench.window.codes.size(), std::size_t(3), kDeadlineMs);
    bench.session.PortPair.Close();
    QCOMPARE(bufferwatch::live(), 0);
}

void TestMidiHandoff::errorBuffersAreReplacedToo()
{
    // A SysEx cut short comes back with an error notice; its buffer must still
    // be replaced, or a few of them would leave the input deaf.
    Bench bench;
    QVERIFY(bench.open());
    for (int i = 0; i < 5; ++i) {
        Bytes cut = identityReply(1);
        cut.pop_back();
        cut.insert(cut.end(), {0x90, 0x3C, 0x40}); // a status byte ends it
        bench.send(cut);
        QTRY_COMPARE_WITH_TIMEOUT(bench.window.codes.size(), std::size_t(i + 1), kDeadlineMs);
    }
    bench.send(identityReply(99));
    QTRY_COMPARE_WITH_TIMEOUT(bench.window.codes.size(), std::size_t(6), kDeadlineMs);
    QCOMPARE(std::count(bench.window.codes.begin(), bench.window.codes.end(), ReplyNone), 5);
    QCOMPARE(bench.window.codes.back(), ReplyIdentity);
    QCOMPARE(bench.session.SerialNumber, 99);
    bench.session.PortPair.Close();
    QCOMPARE(bufferwatch::live(), 0);
}

void TestMidiHandoff::otherHandlesAndNoticesPostNothing()
{
    Bench bench;
    QVERIFY(bench.open());
    MidiPortPair& pair = bench.session.PortPair;
    const auto instance = reinterpret_cast<DWORD_PTR>(&pair);
    const auto stranger = reinterpret_cast<HMIDIIN>(std::uintptr_t(0x7770));

    MIDIHDR* foreign = looseBuffer();
    MidiInCallback(stranger, MIM_LONGDATA, instance, reinterpret_cast<DWORD_PTR>(foreign), 0);
    MidiInCallback(pair.MidiIn, MIM_DATA, instance, 0x403C90, 0);
    MidiInCallback(pair.MidiIn, MIM_OPEN, instance, 0, 0);
    MidiInCallback(pair.MidiIn, MIM_LONGDATA, 0, reinterpret_cast<DWORD_PTR>(foreign), 0);
    QCoreApplication::sendPostedEvents();
    QCOMPARE(bench.window.types.size(), std::size_t(0));

    // The stranger's buffer is not lost: the pair releases it on close.
    pair.Close();
    QCOMPARE(bufferwatch::live(), 0);
}

void TestMidiHandoff::closeStopsForwardingAndFreesBuffers()
{
    Bench bench;
    QVERIFY(bench.open());
    bench.send(identityReply(3));
    QTRY_COMPARE_WITH_TIMEOUT(bench.window.codes.size(), std::size_t(1), kDeadlineMs);
    // A message half-way in: the reset hands its buffer back mid-message.
    Bytes half = identityReply(4);
    half.resize(10);
    bench.send(half);
    bench.session.PortPair.Close();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(bench.window.codes.size(), std::size_t(1));
    QCOMPARE(bufferwatch::live(), 0);
    // Nothing arrives any more.
    bench.send(identityReply(5));
    QCoreApplication::sendPostedEvents();
    QCOMPARE(bench.window.codes.size(), std::size_t(1));
}

void TestMidiHandoff::eventsHandledAfterCloseAddNothing()
{
    Bench bench;
    QVERIFY(bench.open());
    // Posted while open, delivered after the close: decoded and released, and
    // no replacement goes anywhere (one would stay watched and count as live).
    MidiPortPair& pair = bench.session.PortPair;
    MIDIHDR* header = looseBuffer();
    const Bytes reply = identityReply(11);
    std::memcpy(header->lpData, reply.data(), reply.size());
    header->dwBytesRecorded = DWORD(reply.size());
    MidiInCallback(pair.MidiIn, MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(&pair),
                   reinterpret_cast<DWORD_PTR>(header), 0);
    pair.Close();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(bench.window.codes, (std::vector<ReplyCode>{ReplyIdentity}));
    QCOMPARE(bench.session.SerialNumber, 11);
    QCOMPARE(bufferwatch::live(), 0);
}

void TestMidiHandoff::eventsQueuedForADeadReceiverAreFreed()
{
    Bench bench;
    auto* doomed = new QObject;
    bench.session.PortPair.SetReceiver(doomed);
    QVERIFY(bench.open());
    MidiPortPair& pair = bench.session.PortPair;
    for (int i = 0; i < 2; ++i)
        MidiInCallback(pair.MidiIn, MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(&pair),
                       reinterpret_cast<DWORD_PTR>(looseBuffer()), 0);
    QCOMPARE(bufferwatch::live(), 2 * kInputBufferCount);
    delete doomed; // Qt deletes the events still queued for it
    QCOMPARE(bufferwatch::live(), kInputBufferCount);
    pair.SetReceiver(&bench.window);
    pair.Close();
    QCOMPARE(bufferwatch::live(), 0);
}

QTEST_GUILESS_MAIN(TestMidiHandoff)
#include "tst_midihandoff.moc"
