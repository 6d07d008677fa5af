// The winmm-compatible layer's promises, driven through loopback devices:
// messages out and in, whole and in order, and the buffers that carry them.

#include "WinmmRecorder.h"

#include <QTest>

using namespace std::chrono_literals;
using namespace winmmtest;

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

QTEST_GUILESS_MAIN(TestWinmmLayer)
#include "tst_winmmlayer.moc"
