// The whole transport on a real MIDI system: a private JACK server, a helper
// that echoes every message, and the port pair on the far side of it.

#include "BufferWatch.h"
#include "BusyCore.h"
#include "ChildProcess.h"
#include "MidiEvent.h"
#include "MidiPortPair.h"
#include "PrivateJack.h"
#include "WinmmDevices.h"

#include <QElapsedTimer>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kMessages = 1000;
// Round trips take a few milliseconds; one that takes this long was lost.
constexpr int kPerMessageMs = 1000;
// Beyond this the server is not usable at all on this machine.
constexpr int kMostLost = kMessages / 10;

Bytes message(int n)
{
    const std::size_t size = 11 + std::size_t(n) * 389 % 1090; // 11 .. 1100
    Bytes bytes(size);
    bytes[0] = 0xF0;
    bytes[1] = std::uint8_t(n >> 7);
    bytes[2] = std::uint8_t(n & 0x7F);
    for (std::size_t i = 3; i + 1 < size; ++i)
        bytes[i] = std::uint8_t((i * 13 + std::size_t(n)) & 0x7F);
    bytes[size - 1] = 0xF7;
    return bytes;
}

// Plays the window's part: takes each buffer on the GUI thread, puts a fresh
// one in its place first, and joins buffers back into whole messages.
class Reassembler : public QObject
{
public:
    Reassembler(MidiPortPair& pair, std::function<void(const Bytes&)> complete)
        : pair_(pair), complete_(std::move(complete))
    {}

    int buffers = 0;
    int splitMessages = 0;

    bool event(QEvent* e) override
    {
        MidiEvent::Receive(e);
        if (e->type() != kMidiEventType)
            return QObject::event(e);
        MIDIHDR* header = static_cast<MidiEvent*>(e)->TakeHeader();
        {
            bufferwatch::InputBlocks watched;
            pair_.QueueInputBuffer();
        }
        ++buffers;
        const auto* data = reinterpret_cast<const std::uint8_t*>(header->lpData);
        const DWORD size = header->dwBytesRecorded;
        if (size > 0) {
            if (data[0] == 0xF0) {
                partial_.clear();
                pieces_ = 0;
            }
            ++pieces_;
            partial_.insert(partial_.end(), data, data + size);
            if (data[size - 1] == 0xF7) {
                if (pieces_ > 1)
                    ++splitMessages;
                complete_(partial_);
                partial_.clear();
                pieces_ = 0;
            }
        }
        pair_.UnprepareInputBuffer(header);
        MidiPortPair::ReleaseInputBuffer(header);
        return true;
    }

private:
    MidiPortPair& pair_;
    std::function<void(const Bytes&)> complete_;
    Bytes partial_;
    int pieces_ = 0;
};

} // namespace

class TestJackEcho : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sysexRoundTrips();
    // Last: it ends the server.
    void serverKilledUnderAnOpenPair();
    void cleanupTestCase();

private:
    orvik::testsupport::PrivateJack jack_;
    orvik::testsupport::ChildProcess echo_;
    QString echoName_;
};

void TestJackEcho::initTestCase()
{
    QVERIFY2(jack_.start(), jack_.error().c_str());

    echoName_ = QString("orvik-echo-%1").arg(QCoreApplication::applicationPid());
    QVERIFY(echo_.start(ORVIK_MIDI_ECHO, {echoName_.toStdString()}));
    const auto line = echo_.readLine(std::chrono::seconds(30));
    QVERIFY2(line == "ready", echo_.errorOutput().c_str());
}

void TestJackEcho::sysexRoundTrips()
{
    const int in = orvik::testsupport::findInputDevice((echoName_ + "-out:out").toStdU16String());
    const int out = orvik::testsupport::findOutputDevice((echoName_ + "-in:in").toStdU16String());
    QVERIFY2(in >= 0 && out >= 0, "the echo's ports are not in the device lists");

    orvik::testsupport::BusyCore busy;
    MidiPortPair pair;
    std::vector<int> cameBack(kMessages, 0);
    int damaged = 0;
    Reassembler receiver(pair, [&](const Bytes& got) {
        const int n = got.size() >= 3 ? (got[1] << 7) | got[2] : -1;
        if (n >= 0 && n < kMessages && got == message(n))
            ++cameBack[std::size_t(n)];
        else
            ++damaged;
    });
    pair.SetReceiver(&receiver);
    {
        bufferwatch::InputBlocks watched;
        QVERIFY(pair.Open(in, out));
    }
    QCOMPARE(bufferwatch::live(), kInputBufferCount);

    // One message in flight at a time: the port pair keeps only two input
    // buffers, and a message of up to 1100 bytes needs both of them. A
    // message the server loses in a late cycle is sent again; every loss
    // must be matched by a late cycle that the server reported.
    int sends = 0;
    int lost = 0;
    for (int n = 0; n < kMessages && lost <= kMostLost; ++n) {
        while (cameBack[std::size_t(n)] == 0 && lost <= kMostLost) {
            const Bytes bytes = message(n);
            auto* buffer = new std::uint8_t[bytes.size()];
            std::copy(bytes.begin(), bytes.end(), buffer);
            bufferwatch::watch(buffer);
            QVERIFY(pair.SendLongMessage(buffer, DWORD(bytes.size())));
            ++sends;
            QElapsedTimer sinceSend;
            sinceSend.start();
            while (cameBack[std::size_t(n)] == 0 && sinceSend.elapsed() < kPerMessageMs)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
            if (cameBack[std::size_t(n)] == 0)
                ++lost;
        }
    }
    busy.stop();
    QCoreApplication::processEvents();

    const int xruns = jack_.xruns();
    const auto intact =
        std::count_if(cameBack.begin(), cameBack.end(), [](int c) { return c > 0; });
    qInfo("%d messages, %d sends, %d lost in %d late server cycles, %lld came back intact, "
          "%d damaged; %d input buffers, %d messages split over buffers",
          kMessages, sends, lost, xruns, static_cast<long long>(intact), damaged, receiver.buffers,
          receiver.splitMessages);
    QCOMPARE(intact, kMessages);
    QCOMPARE(damaged, 0);
    QVERIFY2(lost <= xruns, "messages were lost without the server running late");
    QVERIFY(receiver.splitMessages > 0);

    pair.Close();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(bufferwatch::live(), 0);
}

void TestJackEcho::serverKilledUnderAnOpenPair()
{
    const auto echoListed = [&] {
        return orvik::testsupport::findInputDevice((echoName_ + "-out:out").toStdU16String()) >= 0;
    };
    const int in = orvik::testsupport::findInputDevice((echoName_ + "-out:out").toStdU16String());
    const int out = orvik::testsupport::findOutputDevice((echoName_ + "-in:in").toStdU16String());
    QVERIFY(in >= 0 && out >= 0);
    MidiPortPair pair;
    QObject receiver;
    pair.SetReceiver(&receiver);
    QVERIFY(pair.Open(in, out));

    // The window keeps reading the lists, and closes the pair once its ports
    // are gone from them; a crash here is libjack's state torn under the
    // clients that outlived their server.
    jack_.kill();
    QTRY_VERIFY_WITH_TIMEOUT(!echoListed(), 10000);
    pair.Close();
    QCoreApplication::sendPostedEvents();
    for (int n = 0; n < 3; ++n)
        QVERIFY(!echoListed());
}

void TestJackEcho::cleanupTestCase()
{
    // The echo ends when its input closes.
    const int status = echo_.stop();
    qInfo("echo exited with %d: %s", status, echo_.errorOutput().c_str());
    jack_.stop();
}

QTEST_GUILESS_MAIN(TestJackEcho)
#include "tst_jackecho.moc"
