// The whole transport on the ALSA sequencer of a real kernel (run inside
// scripts/lib/kernel-run.sh --usb): the names ALSA gives, SysEx of every size
// both ways through a program's ports and through a USB-MIDI interface, and
// the port pair closed and opened again while messages flow.
//
// The interface (usb_f_midi on dummy_hcd, taken by snd-usb-audio and put on
// the sequencer by snd-seq-midi, as any class-compliant interface is) is
// made a loopback by echoing the device side of its second port: what the
// port pair sends to that port goes over USB as event packets, comes out of
// the gadget's raw device as bytes, goes back in, and reaches the host's
// sequencer again, the way a unit behind the interface answers.

#include "BufferWatch.h"
#include "ChildProcess.h"
#include "MidiEvent.h"
#include "MidiPortPair.h"
#include "WinmmDevices.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kPerMessageMs = 10000;
// The unit's side writes at ten times MIDI's wire speed. The sequencer has
// no flow control: a program that does not read for a while loses what
// overflows its queue in the kernel (some 6 KB), and under emulation on a
// loaded machine 30 times the wire speed was already too fast. No interface
// on a cable delivers faster than the cable.
constexpr std::size_t kPiece = 256;
constexpr auto kPieceGap = std::chrono::milliseconds(8);
constexpr std::size_t kCapsName = 31;
// The interface: snd-usb-audio names its client after the product and each
// port "PRODUCT MIDI N". Short enough that "client:port" is not cut.
const char* const kInterface = "echo";
const char* const kProduct = "Zelvo 2x2";
const char16_t* const kInterfacePort1 = u"Zelvo 2x2:Zelvo 2x2 MIDI 1";
const char16_t* const kInterfacePort2 = u"Zelvo 2x2:Zelvo 2x2 MIDI 2";
const char16_t* const kVirtualCardPort = u"Virtual Raw MIDI 0-1:VirMIDI 0-1";

// Every length from 6 to 300, then on to what the port pair's two input
// buffers hold, across the buffer boundary and ALSA's sequencer's event
// boundaries on the way.
std::vector<std::size_t> lengths()
{
    std::vector<std::size_t> out;
    for (std::size_t n = 6; n <= 300; ++n)
        out.push_back(n);
    for (std::size_t n = 301; n < 1020; n = n * 9 / 8 + 5)
        out.push_back(n);
    for (std::size_t n = 1020; n <= 1030; ++n)
        out.push_back(n);
    for (std::size_t n = 1031; n < 2040; n = n * 9 / 8 + 5)
        out.push_back(n);
    for (std::size_t n = 2040; n <= 2 * kInputBufferSize; ++n)
        out.push_back(n);
    return out;
}

// Longer ones, up to 64 KiB, from a unit behind the interface to a program.
std::vector<std::size_t> longLengths()
{
    return {2049, 3000, 4096, 6000, 8192, 12000, 16384, 32768, 65535, 65536};
}

Bytes message(int n, std::size_t size)
{
    Bytes bytes(size);
    bytes[0] = 0xF0;
    bytes[1] = std::uint8_t((n >> 7) & 0x7F);
    bytes[2] = std::uint8_t(n & 0x7F);
    for (std::size_t i = 3; i + 1 < size; ++i)
        bytes[i] = std::uint8_t((i * 13 + std::size_t(n)) & 0x7F);
    bytes[size - 1] = 0xF7;
    return bytes;
}

std::u16string capsName(std::u16string name)
{
    if (name.size() > kCapsName)
        name.resize(kCapsName);
    return name;
}

// The window's part: a fresh buffer first, then the pieces joined into whole
// messages; a piece that starts no message and follows none is a fragment.
class Reassembler : public QObject
{
public:
    Reassembler(MidiPortPair& pair, std::function<void(const Bytes&)> complete)
        : pair_(pair), complete_(std::move(complete))
    {}

    int fragments = 0;

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
        const auto* data = reinterpret_cast<const std::uint8_t*>(header->lpData);
        const DWORD size = header->dwBytesRecorded;
        if (size > 0) {
            if (data[0] == 0xF0) {
                partial_.clear();
                inMessage_ = true;
            }
            if (inMessage_) {
                partial_.insert(partial_.end(), data, data + size);
                if (data[size - 1] == 0xF7) {
                    complete_(partial_);
                    partial_.clear();
                    inMessage_ = false;
                }
            } else {
                ++fragments;
            }
        }
        pair_.UnprepareInputBuffer(header);
        MidiPortPair::ReleaseInputBuffer(header);
        return true;
    }

    void forget()
    {
        partial_.clear();
        inMessage_ = false;
    }

private:
    MidiPortPair& pair_;
    std::function<void(const Bytes&)> complete_;
    Bytes partial_;
    bool inMessage_ = false;
};

// A unit behind the interface that sends back every byte it receives.
class RawEcho
{
public:
    bool start(const char* device, std::string& error)
    {
        int code = snd_rawmidi_open(&in_, &out_, device, SND_RAWMIDI_NONBLOCK);
        if (code < 0) {
            error = snd_strerror(code);
            return false;
        }
        snd_rawmidi_nonblock(out_, 0);
        thread_ = std::thread([this] { run(); });
        return true;
    }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (in_)
            snd_rawmidi_close(in_);
        if (out_)
            snd_rawmidi_close(out_);
        in_ = out_ = nullptr;
    }
    ~RawEcho() { stop(); }
    // As a unit would send of its own, while the echo hears nothing.
    bool write(const Bytes& bytes, std::size_t piece)
    {
        for (std::size_t done = 0; done < bytes.size();) {
            if (done > 0)
                std::this_thread::sleep_for(kPieceGap);
            const ssize_t w =
                snd_rawmidi_write(out_, bytes.data() + done, std::min(piece, bytes.size() - done));
            if (w < 0)
                return false;
            done += std::size_t(w);
        }
        return true;
    }
    std::atomic<long> bytes{0};

private:
    void run()
    {
        pollfd fd{};
        snd_rawmidi_poll_descriptors(in_, &fd, 1);
        std::uint8_t buffer[4096];
        while (!stop_) {
            if (::poll(&fd, 1, 100) <= 0)
                continue;
            const ssize_t n = snd_rawmidi_read(in_, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            for (ssize_t done = 0; done < n;) {
                const ssize_t w = snd_rawmidi_write(out_, buffer + done, std::size_t(n - done));
                if (w < 0)
                    return;
                done += w;
            }
            bytes += n;
        }
    }
    snd_rawmidi_t* in_ = nullptr;
    snd_rawmidi_t* out_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace

class TestAlsaEcho : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void portListsShowAlsasNames();
    void sysexRoundTrips_data();
    void sysexRoundTrips();
    void longSysExFromTheInterface();
    void reopenWhileMessagesFlow_data();
    void reopenWhileMessagesFlow();
    void cleanupTestCase();

private:
    bool findRoute(const QString& route, int& in, int& out);

    orvik::testsupport::ChildProcess echo_;
    RawEcho unit_;
    std::string echoName_;
};

namespace {

// kernel-run.sh's USB-MIDI commands; their standard output, trimmed.
bool usbMidi(const QStringList& arguments, QString& output)
{
    QProcess command;
    command.start(QStringLiteral(ORVIK_KERNEL_RUN),
                  QStringList{QStringLiteral("usb-midi")} + arguments);
    const bool ran = command.waitForFinished(120000) &&
                     command.exitStatus() == QProcess::NormalExit && command.exitCode() == 0;
    output =
        QString::fromUtf8(ran ? command.readAllStandardOutput() : command.readAllStandardError())
            .trimmed();
    return ran;
}

} // namespace

void TestAlsaEcho::initTestCase()
{
    if (::access("/dev/snd/seq", F_OK) != 0)
        QSKIP("no ALSA sequencer: run inside scripts/lib/kernel-run.sh");
    echoName_ = "oe" + std::to_string(QCoreApplication::applicationPid());
    QVERIFY(echo_.start(ORVIK_MIDI_ECHO, {echoName_, "alsa"}));
    const auto line = echo_.readLine(std::chrono::seconds(30));
    QVERIFY2(line == "ready", echo_.errorOutput().c_str());

    QVERIFY2(::access("/sys/kernel/config/usb_gadget", F_OK) == 0,
             "no USB gadgets: run inside scripts/lib/kernel-run.sh --usb 1");
    QString shown;
    QVERIFY2(usbMidi({QStringLiteral("add"), QLatin1String(kInterface), QLatin1String(kProduct),
                      QStringLiteral("4242"), QStringLiteral("2")},
                     shown),
             qPrintable(shown));
    qInfo("USB-MIDI interface:\n%s", qPrintable(shown));
    QString device;
    QVERIFY2(
        usbMidi({QStringLiteral("device"), QLatin1String(kInterface), QStringLiteral("2")}, device),
        qPrintable(device));
    std::string error;
    QVERIFY2(unit_.start(device.toStdString().c_str(), error), error.c_str());
}

bool TestAlsaEcho::findRoute(const QString& route, int& in, int& out)
{
    using orvik::testsupport::findInputDevice;
    using orvik::testsupport::findOutputDevice;
    if (route == QLatin1String("program")) {
        const std::u16string name(echoName_.begin(), echoName_.end());
        in = findInputDevice(name + u"-out:out");
        out = findOutputDevice(name + u"-in:in");
    } else {
        in = findInputDevice(kInterfacePort2);
        out = findOutputDevice(kInterfacePort2);
    }
    return in >= 0 && out >= 0;
}

void TestAlsaEcho::portListsShowAlsasNames()
{
    using orvik::testsupport::findInputDevice;
    using orvik::testsupport::findOutputDevice;
    // The kernel's own clients, named "client:port" without the address
    // that changes from session to session, cut to what a caps name holds;
    // an interface's ports by the names its USB driver gives them.
    for (const char16_t* kernel :
         {u"Midi Through:Midi Through Port-0", kVirtualCardPort,
          u"Virtual Raw MIDI 0-3:VirMIDI 0-3", kInterfacePort1, kInterfacePort2}) {
        const auto name = capsName(kernel);
        QVERIFY2(findInputDevice(name) >= 0, QString::fromStdU16String(name).toUtf8());
        QVERIFY2(findOutputDevice(name) >= 0, QString::fromStdU16String(name).toUtf8());
    }
    // A program's own ports, each in the list it can be used from only.
    const std::u16string echo(echoName_.begin(), echoName_.end());
    QVERIFY(findInputDevice(echo + u"-out:out") >= 0);
    QVERIFY(findOutputDevice(echo + u"-in:in") >= 0);
    QCOMPARE(findOutputDevice(echo + u"-out:out"), -1);
    QCOMPARE(findInputDevice(echo + u"-in:in"), -1);
}

void TestAlsaEcho::sysexRoundTrips_data()
{
    QTest::addColumn<QString>("route");
    QTest::newRow("through a program's ports") << QStringLiteral("program");
    QTest::newRow("through port 2 of a USB interface") << QStringLiteral("usb");
}

void TestAlsaEcho::sysexRoundTrips()
{
    QFETCH(QString, route);
    int in = -1;
    int out = -1;
    QVERIFY2(findRoute(route, in, out), "the route's ports are not in the device lists");

    const auto sizes = lengths();
    MidiPortPair pair;
    std::vector<Bytes> got;
    Reassembler receiver(pair, [&](const Bytes& m) { got.push_back(m); });
    pair.SetReceiver(&receiver);
    {
        bufferwatch::InputBlocks watched;
        QVERIFY(pair.Open(in, out));
    }

    // One in flight at a time: the port pair has two input buffers.
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const Bytes bytes = message(int(i), sizes[i]);
        auto* buffer = new std::uint8_t[bytes.size()];
        std::copy(bytes.begin(), bytes.end(), buffer);
        bufferwatch::watch(buffer);
        QVERIFY(pair.SendLongMessage(buffer, DWORD(bytes.size())));
        QElapsedTimer since;
        since.start();
        while (got.size() <= i && since.elapsed() < kPerMessageMs)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        QVERIFY2(got.size() == i + 1, qPrintable(QString("message %1 of %2 bytes: %3 came back")
                                                     .arg(i)
                                                     .arg(sizes[i])
                                                     .arg(got.size() - std::min(got.size(), i))));
        if (got[i] != bytes) {
            std::size_t at = 0;
            while (at < std::min(got[i].size(), bytes.size()) && got[i][at] == bytes[at])
                ++at;
            QFAIL(qPrintable(QString("message %1 of %2 bytes came back as %3 bytes, first "
                                     "difference at %4")
                                 .arg(i)
                                 .arg(sizes[i])
                                 .arg(got[i].size())
                                 .arg(at)));
        }
    }
    qInfo("%zu messages of 6 to 2048 bytes, %d fragments", sizes.size(), receiver.fragments);
    QCOMPARE(receiver.fragments, 0);
    pair.Close();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(bufferwatch::live(), 0);
}

namespace {

struct LongInput
{
    std::mutex lock;
    Bytes partial;
    std::vector<Bytes> messages;
    int headers = 0;
};

void CALLBACK onLongInput(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR)
{
    if (message != MIM_LONGDATA)
        return;
    auto* input = reinterpret_cast<LongInput*>(instance);
    const auto* header = reinterpret_cast<const MIDIHDR*>(param1);
    const auto* data = reinterpret_cast<const std::uint8_t*>(header->lpData);
    std::lock_guard guard(input->lock);
    ++input->headers;
    input->partial.insert(input->partial.end(), data, data + header->dwBytesRecorded);
    if (header->dwBytesRecorded > 0 && data[header->dwBytesRecorded - 1] == 0xF7) {
        input->messages.push_back(std::move(input->partial));
        input->partial.clear();
    }
}

} // namespace

void TestAlsaEcho::longSysExFromTheInterface()
{
    // The layer itself, with as many buffers as a 64 KiB message fills: the
    // port pair's two hold 2 KiB. Sent by a unit behind the interface, the
    // kernel hands it over in pieces of its own choosing, which RtMidi joins.
    const int in = orvik::testsupport::findInputDevice(kInterfacePort2);
    QVERIFY(in >= 0);
    LongInput input;
    HMIDIIN handle = nullptr;
    QCOMPARE(midiInOpen(&handle, UINT(in), reinterpret_cast<DWORD_PTR>(&onLongInput),
                        reinterpret_cast<DWORD_PTR>(&input), CALLBACK_FUNCTION),
             MMSYSERR_NOERROR);
    constexpr int kHeaders = 65536 / kInputBufferSize + 2;
    std::vector<std::vector<char>> blocks(kHeaders, std::vector<char>(kInputBufferSize));
    std::vector<MIDIHDR> headers(kHeaders);
    auto queue = [&](MIDIHDR& h, std::vector<char>& block) {
        h = MIDIHDR{};
        h.lpData = block.data();
        h.dwBufferLength = kInputBufferSize;
        return midiInPrepareHeader(handle, &h, sizeof h) == MMSYSERR_NOERROR &&
               midiInAddBuffer(handle, &h, sizeof h) == MMSYSERR_NOERROR;
    };
    for (int i = 0; i < kHeaders; ++i)
        QVERIFY(queue(headers[std::size_t(i)], blocks[std::size_t(i)]));
    QCOMPARE(midiInStart(handle), MMSYSERR_NOERROR);

    const auto sizes = longLengths();
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const Bytes bytes = message(int(i), sizes[i]);
        QVERIFY(unit_.write(bytes, kPiece));
        QElapsedTimer since;
        since.start();
        auto arrived = [&] {
            std::lock_guard guard(input.lock);
            return input.messages.size() > i;
        };
        while (!arrived() && since.elapsed() < kPerMessageMs)
            QTest::qWait(20);
        std::lock_guard guard(input.lock);
        QVERIFY2(input.messages.size() == i + 1,
                 qPrintable(QString("%1 bytes did not arrive").arg(sizes[i])));
        QVERIFY2(
            input.messages[i] == bytes,
            qPrintable(
                QString("%1 bytes arrived as %2").arg(sizes[i]).arg(input.messages[i].size())));
        // The used buffers go back for the next message.
        for (int h = 0; h < kHeaders; ++h) {
            MIDIHDR& header = headers[std::size_t(h)];
            if (header.dwFlags & MHDR_DONE) {
                midiInUnprepareHeader(handle, &header, sizeof header);
                QVERIFY(queue(header, blocks[std::size_t(h)]));
            }
        }
    }
    qInfo("%zu messages of 2049 to 65536 bytes in %d buffers", sizes.size(), input.headers);
    midiInReset(handle);
    for (MIDIHDR& header : headers)
        midiInUnprepareHeader(handle, &header, sizeof header);
    QCOMPARE(midiInClose(handle), MMSYSERR_NOERROR);
}

void TestAlsaEcho::reopenWhileMessagesFlow_data()
{
    sysexRoundTrips_data();
}

void TestAlsaEcho::reopenWhileMessagesFlow()
{
    QFETCH(QString, route);
    int in = -1;
    int out = -1;
    QVERIFY(findRoute(route, in, out));

    MidiPortPair pair;
    int expected = -1;
    int intact = 0;
    int stray = 0;
    Reassembler receiver(pair, [&](const Bytes& m) {
        if (m == message(expected, 200))
            ++intact;
        else
            ++stray;
    });
    pair.SetReceiver(&receiver);
    auto send = [&](const Bytes& bytes) {
        auto* buffer = new std::uint8_t[bytes.size()];
        std::copy(bytes.begin(), bytes.end(), buffer);
        bufferwatch::watch(buffer);
        return pair.SendLongMessage(buffer, DWORD(bytes.size()));
    };

    constexpr int kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        {
            bufferwatch::InputBlocks watched;
            QVERIFY(pair.Open(in, out));
        }
        // What the echo still sends of the last round's messages, to a
        // port that is gone, must not reach this one as a message.
        expected = round;
        const int before = intact;
        QVERIFY(send(message(round, 200)));
        QElapsedTimer since;
        since.start();
        while (intact == before && since.elapsed() < kPerMessageMs)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        QVERIFY2(intact == before + 1, qPrintable(QString("round %1 lost its message").arg(round)));

        // Then close with messages on their way back, a little later each
        // round.
        for (int k = 0; k < 3; ++k)
            QVERIFY(send(message(1000 + round, 200)));
        QElapsedTimer flowing;
        flowing.start();
        while (flowing.elapsed() < round * 10)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pair.Close();
        QCoreApplication::sendPostedEvents();
        receiver.forget();
        QCOMPARE(bufferwatch::live(), 0);
    }
    qInfo("%d rounds: %d intact, %d stray, %d fragments", kRounds, intact, stray,
          receiver.fragments);
    QCOMPARE(intact, kRounds);
}

void TestAlsaEcho::cleanupTestCase()
{
    unit_.stop();
    const int status = echo_.stop();
    qInfo("echo exited with %d: %s", status, echo_.errorOutput().c_str());
}

QTEST_GUILESS_MAIN(TestAlsaEcho)
#include "tst_alsaecho.moc"
