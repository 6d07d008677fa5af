#include "LoopbackCapture.h"
#include "UnitReplies.h"
#include "UpdateSession.h"

#include <QRandomGenerator>
#include <QStringList>
#include <QTest>

namespace {

// One line per message: "s0@512" is slice 0 of the block at offset 512 (only
// slice 0 carries the address), "s3" slice 3, "c2" a commit with tag 2,
// "begin" the begin-update announcement.
QStringList describe(const QList<QByteArray>& messages)
{
    QStringList out;
    for (const QByteArray& m : messages) {
        const auto at = [&](int i) { return int(std::uint8_t(m.at(i))); };
        if (m.size() < 12) {
            out << QStringLiteral("short");
            continue;
        }
        switch (at(9)) {
        case DataSlice: {
            const int slice = (at(11) | at(12) << 7) / kSliceSize;
            if (slice == 0)
                out << QStringLiteral("s0@%1").arg((at(13) << 8) | (at(14) << 15));
            else
                out << QStringLiteral("s%1").arg(slice);
            break;
        }
        case CommitBlock:
            out << QStringLiteral("c%1").arg(at(10));
            break;
        case BeginUpdate:
            out << QStringLiteral("begin");
            break;
        default:
            out << QStringLiteral("?%1").arg(at(9));
        }
    }
    return out;
}

QStringList block(std::uint32_t offset, int tag)
{
    return {QStringLiteral("s0@%1").arg(offset), "s1", "s2", "s3", "s4", "s5",
            QStringLiteral("c%1").arg(tag)};
}

// Acknowledges messages until `blocks` commits went out, as the controller
// does; returns how many SendNext calls reported a completed block.
int acknowledge(UpdateSession& session, int blocks)
{
    int completed = 0;
    while (completed < blocks)
        completed += session.SendNext(false) ? 1 : 0;
    return completed;
}

// Starts a transfer the way the unit does: announcement, then its restart
// request, which brings slice 0 of block 0.
void start(UpdateSession& session)
{
    session.SendBeginUpdate(kImageVersionMajor, kImageVersionMinor, kImageSize);
    const auto restart = testsupport::replyFrame(0x2E);
    QCOMPARE(session.DecodeReply(restart.data(), DWORD(restart.size())), ReplyRestart);
    QVERIFY(!session.RestartTransfer());
}

} // namespace

class TestBlockSender : public QObject
{
    Q_OBJECT

private slots:
    void firstBlock()
    {
        LoopbackCapture capture;
        UpdateSession session;
        QVERIFY(capture.open(session));
        start(session);
        QCOMPARE(session.RetryCount, 0);

        for (int i = 1; i < kSliceCount; ++i)
            QVERIFY(!session.SendNext(false));
        QVERIFY(session.SendNext(false));
        QCOMPARE(session.ImageOffset, kBlockSize);
        QCOMPARE(session.CommittedBlocks, 1);
        QCOMPARE(session.SendStep, 7u);

        QVERIFY(!session.SendNext(false));
        QCOMPARE(session.SendStep, 1u);
        QCOMPARE(describe(capture.takeAll(session)),
                 QStringList{"begin"} + block(0, 0) + QStringList{"s0@512"});
    }

    void tagsCycleAfterTheFirstBlock()
    {
        LoopbackCapture capture;
        UpdateSession session;
        QVERIFY(capture.open(session));
        start(session);
        QCOMPARE(acknowledge(session, 10), 10);

        QStringList expected{"begin"};
        const int tags[10] = {0, 2, 3, 4, 5, 6, 7, 8, 1, 2};
        for (int b = 0; b < 10; ++b)
            expected += block(b * kBlockSize, tags[b]);
        QCOMPARE(describe(capture.takeAll(session)), expected);
    }

    // A restart goes back to block 0 and clears the retries, but the unit
    // has seen the tags so far: the cycle carries on.
    void restartKeepsTheTagCycle_data()
    {
        QTest::addColumn<int>("committed");
        QTest::addColumn<int>("nextTag");
        for (int k : {1, 3, 7, 8, 9, 16})
            QTest::addRow("after %d commits", k) << k << (k & 7) + 1;
    }

    void restartKeepsTheTagCycle()
    {
        QFETCH(int, committed);
        QFETCH(int, nextTag);

        LoopbackCapture capture;
        UpdateSession session;
        QVERIFY(capture.open(session));
        start(session);
        acknowledge(session, committed);
        QVERIFY(!session.SendNext(false)); // slice 0 of the next block
        QVERIFY(!session.SendNext(false));
        capture.takeAll(session);

        const auto repeat = testsupport::replyFrame(0x2B);
        const auto restart = testsupport::replyFrame(0x2E);
        session.DecodeReply(repeat.data(), DWORD(repeat.size()));
        QCOMPARE(session.DecodeReply(restart.data(), DWORD(restart.size())), ReplyRestart);
        QCOMPARE(session.RetryCount, 2);

        QVERIFY(!session.RestartTransfer());
        QCOMPARE(session.RetryCount, 0);
        QCOMPARE(session.ImageOffset, 0u);
        QCOMPARE(session.CommittedBlocks, committed);
        QCOMPARE(acknowledge(session, 1), 1);
        QCOMPARE(describe(capture.takeAll(session)), block(0, nextTag));
    }

    // The commit went out but was never acknowledged: the block is sent
    // again and its new commit repeats the lost one's tag.
    void repeatAfterCommitRollsBack()
    {
        LoopbackCapture capture;
        UpdateSession session;
        QVERIFY(capture.open(session));
        start(session);
        acknowledge(session, 2);
        capture.takeAll(session);
        QCOMPARE(session.SendStep, 7u);

        QVERIFY(!session.SendNext(true));
        QCOMPARE(session.ImageOffset, kBlockSize);
        QCOMPARE(session.CommittedBlocks, 1);
        QCOMPARE(session.SendStep, 1u);
        QCOMPARE(acknowledge(session, 1), 1);
        QCOMPARE(session.ImageOffset, 2 * kBlockSize);
        QCOMPARE(describe(capture.takeAll(session)), block(kBlockSize, 2));
    }

    void repeatWithinABlock_data()
    {
        QTest::addColumn<int>("step");
        for (int step = 1; step <= 6; ++step)
            QTest::addRow("step %d", step) << step;
    }

    void repeatWithinABlock()
    {
        QFETCH(int, step);

        LoopbackCapture capture;
        UpdateSession session;
        QVERIFY(capture.open(session));
        start(session);
        acknowledge(session, 1);
        while (session.SendStep != std::uint32_t(step))
            QVERIFY(!session.SendNext(false));
        capture.takeAll(session);

        QVERIFY(!session.SendNext(true));
        QCOMPARE(session.ImageOffset, kBlockSize);
        QCOMPARE(session.CommittedBlocks, 1);
        QCOMPARE(session.SendStep, 1u);
        QCOMPARE(describe(capture.takeAll(session)), QStringList{"s0@512"});
    }

    void stepsOutsideTheTable_data()
    {
        QTest::addColumn<std::uint32_t>("step");
        QTest::newRow("8") << 8u;
        QTest::newRow("9") << 9u;
        QTest::newRow("max") << 0xFFFFFFFFu;
    }

    void stepsOutsideTheTable()
    {
        QFETCH(std::uint32_t, step);

        LoopbackCapture capture;
        UpdateSession session;
        QVERIFY(capture.open(session));
        session.ImageOffset = 3 * kBlockSize;
        session.CommittedBlocks = 3;
        session.SendStep = step;

        QVERIFY(!session.SendNext(false));
        QCOMPARE(session.SendStep, step);
        QCOMPARE(session.ImageOffset, 3 * kBlockSize);
        QCOMPARE(session.CommittedBlocks, 3);
        QCOMPARE(describe(capture.takeAll(session)), QStringList{});

        // The watchdog's repeat still brings the sender back into its table.
        QVERIFY(!session.SendNext(true));
        QCOMPARE(session.SendStep, 1u);
        QCOMPARE(describe(capture.takeAll(session)), QStringList{"s0@1536"});
    }

    // Refused sends are not the sender's business: its state moves on as if
    // every message had gone out.
    void refusedSendsStillAdvance()
    {
        UpdateSession session;
        start(session);
        QCOMPARE(acknowledge(session, 3), 3);
        QCOMPARE(session.ImageOffset, 3 * kBlockSize);
        QCOMPARE(session.CommittedBlocks, 3);
        QVERIFY(!session.SendNext(true));
        QCOMPARE(session.CommittedBlocks, 2);
    }

    // The whole image, message by message: a receiver that rebuilds each
    // block from its slices must end up with exactly the image buffer.
    void wholeImageArrivesIntact()
    {
        LoopbackCapture capture;
        UpdateSession session;
        QVERIFY(capture.open(session));
        QRandomGenerator rng(2024);
        for (std::uint32_t i = 0; i < kImageSize; ++i)
            session.ImageBuffer[i] = std::uint8_t(rng.bounded(256));

        start(session);
        int messages = 1;
        int completed = 0;
        while (completed < kBlockCount) {
            completed += session.SendNext(false) ? 1 : 0;
            ++messages;
        }
        QCOMPARE(messages, kBlockCount * 7);
        QCOMPARE(session.ImageOffset, kImageSize);

        const QList<QByteArray> sent = capture.takeAll(session);
        QCOMPARE(sent.size(), 1 + kBlockCount * 7);
        QByteArray rebuilt;
        QByteArray stream;
        for (const QByteArray& m : sent.mid(1)) {
            if (std::uint8_t(m.at(9)) == CommitBlock) {
                QCOMPARE(stream.size(), kEncodedBlockSize);
                const std::uint32_t offset = std::uint32_t(rebuilt.size());
                QCOMPARE(int(stream[0]), int((offset >> 8) & 0x7F));
                QCOMPARE(int(stream[1]), int((offset >> 15) & 0x7F));
                for (int g = 0; g < 128; ++g) {
                    const char* group = stream.constData() + 3 + 5 * g;
                    for (int k = 0; k < 4; ++k)
                        rebuilt.append(char(group[k] | ((group[4] >> k) & 1) << 7));
                }
                stream.clear();
            } else {
                stream += m.mid(13, m.size() - 14);
            }
        }
        QCOMPARE(rebuilt.size(), qsizetype(kImageSize));
        QVERIFY(rebuilt ==
                QByteArray(reinterpret_cast<const char*>(session.ImageBuffer.get()), kImageSize));
    }
};

QTEST_GUILESS_MAIN(TestBlockSender)
#include "tst_blocksender.moc"
