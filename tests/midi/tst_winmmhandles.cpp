// The winmm-compatible layer's promises, driven through loopback devices:
// the threads its callbacks run on, handles closed from anywhere, its error
// codes, and the devices it lists.

#include "WinmmRecorder.h"

#include <QTest>

#include <cstring>

using namespace std::chrono_literals;
using namespace winmmtest;

class TestWinmmHandles : public QObject
{
    Q_OBJECT

private slots:
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

void TestWinmmHandles::callbacksNeverRunOnTheCaller()
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

void TestWinmmHandles::callbackMayCallBackIntoTheLayer()
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

void TestWinmmHandles::inputCallbackMayCloseItsOwnHandle()
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

void TestWinmmHandles::errorCodes()
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

void TestWinmmHandles::headerStateErrors()
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

void TestWinmmHandles::deviceListsAndNames()
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

void TestWinmmHandles::failingOpens()
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

void TestWinmmHandles::destroyedLinkLeavesHandlesUsable()
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

void TestWinmmHandles::concurrentFeedsWhileClosing()
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

QTEST_GUILESS_MAIN(TestWinmmHandles)
#include "tst_winmmhandles.moc"
