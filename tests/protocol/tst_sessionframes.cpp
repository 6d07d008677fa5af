#include "AccessCode.h"
#include "DataSlice.h"
#include "LoopbackCapture.h"
#include "UpdateSession.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

QByteArray accessCode()
{
    return QByteArray(reinterpret_cast<const char*>(UpdateAccessCode), 4);
}

enum class Frame
{
    Identity,
    Commit,
    Begin
};

} // namespace

Q_DECLARE_METATYPE(Frame)

class TestSessionFrames : public QObject
{
    Q_OBJECT

private slots:
    void accessCodeIsSevenBit()
    {
        for (std::uint8_t b : UpdateAccessCode)
            QVERIFY(b < 0x80);
    }

    void frames_data()
    {
        QTest::addColumn<Frame>("frame");
        QTest::addColumn<int>("a");
        QTest::addColumn<int>("b");
        QTest::addColumn<std::uint32_t>("length");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("identity request")
            << Frame::Identity << 0 << 0 << 0u << hex("F0 00 11 22 0B 00 00 00 00 00 F7");
        QTest::newRow("commit tag 0")
            << Frame::Commit << 0 << 0 << 0u << hex("F0 00 11 22 0B 00 00 00 00 0A 00 F7");
        QTest::newRow("commit tag 8")
            << Frame::Commit << 8 << 0 << 0u << hex("F0 00 11 22 0B 00 00 00 00 0A 08 F7");

        const QByteArray begin = hex("F0 00 11 22 0B 00 00 00 00 0E");
        QTest::newRow("begin update 2.06")
            << Frame::Begin << 2 << 6 << 450560u
            << begin + hex("02 06 00 40 1B 00") + accessCode() + hex("F7");
        QTest::newRow("length above 28 bits dropped")
            << Frame::Begin << 2 << 6 << (450560u | 0x10000000u | 0x80000000u)
            << begin + hex("02 06 00 40 1B 00") + accessCode() + hex("F7");
        QTest::newRow("longest length")
            << Frame::Begin << 0x7F << 0 << 0x0FFFFFFFu
            << begin + hex("7F 00 7F 7F 7F 7F") + accessCode() + hex("F7");
    }

    void frames()
    {
        QFETCH(Frame, frame);
        QFETCH(int, a);
        QFETCH(int, b);
        QFETCH(std::uint32_t, length);
        QFETCH(QByteArray, expected);

        LoopbackCapture capture;
        UpdateSession session;
        QVERIFY(capture.open(session));

        bool sent = false;
        switch (frame) {
        case Frame::Identity:
            sent = session.SendIdentityRequest();
            break;
        case Frame::Commit:
            sent = session.SendCommit(std::uint8_t(a));
            break;
        case Frame::Begin:
            sent = session.SendBeginUpdate(std::uint8_t(a), std::uint8_t(b), length);
            break;
        }
        QVERIFY(sent);
        QCOMPARE(capture.takeAll(session), QList<QByteArray>{expected});
    }

    // The announcement resets the tag cycle even when it cannot go out: the
    // unit's restart request, not the send result, starts the transfer.
    void beginUpdateResetsCommits()
    {
        UpdateSession closed;
        closed.CommittedBlocks = 17;
        QVERIFY(!closed.SendBeginUpdate(2, 6, 450560));
        QCOMPARE(closed.CommittedBlocks, 0);

        LoopbackCapture capture;
        UpdateSession open;
        QVERIFY(capture.open(open));
        open.CommittedBlocks = 17;
        QVERIFY(open.SendBeginUpdate(2, 6, 450560));
        QCOMPARE(open.CommittedBlocks, 0);
    }

    void closedPortsRefuseEveryMessage()
    {
        UpdateSession session;
        QVERIFY(!session.SendIdentityRequest());
        QVERIFY(!session.SendCommit(3));
        QVERIFY(!session.SendDataSlice(0, DataSlice));
    }

    void dataSlicesCarryTheCurrentBlock()
    {
        LoopbackCapture capture;
        UpdateSession session;
        QVERIFY(capture.open(session));

        QRandomGenerator rng(99);
        for (std::uint32_t i = 0; i < kImageBufferSize; ++i)
            session.ImageBuffer[i] = std::uint8_t(rng.bounded(256));

        QList<QByteArray> expected;
        for (std::uint32_t offset : {0u, 4096u, kImageSize - kBlockSize}) {
            session.ImageOffset = offset;
            for (int slice = 0; slice < kSliceCount; ++slice) {
                QVERIFY(session.SendDataSlice(slice, DataSlice));
                QByteArray message(kLongMessageBufferSize, '\0');
                message.truncate(EncodeDataSlice(session.ImageBuffer.get(), offset, slice,
                                                 DataSlice,
                                                 reinterpret_cast<std::uint8_t*>(message.data())));
                expected.append(message);
            }
            QCOMPARE(session.ImageOffset, offset);
        }
        QCOMPARE(capture.takeAll(session), expected);
    }

    // A session driven past its buffer must neither read beyond it nor send.
    void dataSliceBeyondTheBufferIsRefused()
    {
        LoopbackCapture capture;
        UpdateSession session;
        QVERIFY(capture.open(session));

        session.ImageOffset = kImageBufferSize - kBlockSize;
        QVERIFY(session.SendDataSlice(5, DataSlice));
        for (std::uint32_t offset :
             {kImageBufferSize - kBlockSize + 1, kImageBufferSize, std::uint32_t(0) - kBlockSize}) {
            session.ImageOffset = offset;
            QVERIFY(!session.SendDataSlice(0, DataSlice));
        }
        session.ImageOffset = 0;
        QVERIFY(!session.SendDataSlice(6, DataSlice));
        QVERIFY(!session.SendDataSlice(-1, DataSlice));
        QCOMPARE(capture.takeAll(session).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSessionFrames)
#include "tst_sessionframes.moc"
