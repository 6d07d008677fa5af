#include "UnitReplies.h"
#include "UpdateSession.h"

#include <QByteArray>
#include <QTest>

#include <climits>
#include <cstdint>
#include <vector>

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// A received message as the port pair hands it over: at the start of a
// zero-filled input buffer, with the count of bytes that arrived.
struct Received
{
    explicit Received(const QByteArray& message, int count = -1)
        : data(kInputBufferSize, 0), count(count < 0 ? DWORD(message.size()) : DWORD(count))
    {
        std::copy(message.begin(), message.end(), data.begin());
    }
    std::vector<std::uint8_t> data;
    DWORD count;
};

ReplyCode decode(UpdateSession& session, const QByteArray& message, int count = -1)
{
    Received r(message, count);
    return session.DecodeReply(r.data.data(), r.count);
}

QByteArray reply(int command)
{
    const auto m = testsupport::replyFrame(std::uint8_t(command));
    return QByteArray(reinterpret_cast<const char*>(m.data()), qsizetype(m.size()));
}

const QByteArray kIdentityHead(reinterpret_cast<const char*>(testsupport::kUnitHeader),
                               sizeof testsupport::kUnitHeader);

} // namespace

class TestReplyDecoder : public QObject
{
    Q_OBJECT

private slots:
    void identityReply_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("count"); // -1: the whole message
        QTest::addColumn<int>("serial");
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");

        QTest::newRow("name ended by 7F") << kIdentityHead + hex("151A6F3A 20 0602 4142437F F7")
                                          << -1 << 123456789 << 262 << "ABC"
                                          << "586-638-764";
        QTest::newRow("sixteen characters, F7 not in reach")
            << kIdentityHead + hex("00000000 20 0000") + QByteArray("ORVIK16 KX unit!") + hex("F7")
            << -1 << 0 << 0 << "ORVIK16 KX unit!"
            << "000-000-000";
        QTest::newRow("first name byte 00")
            << kIdentityHead + hex("2A000000 20 7F7F 00414243 F7") << -1 << 42 << 16383 << ""
            << "040-000-020";
        QTest::newRow("first name byte 7F")
            << kIdentityHead + hex("7F7F7F7F 20 0100 7F414243 F7") << -1 << 268435455 << 1 << ""
            << "355-581-494";
        QTest::newRow("name ended by the closing F7")
            << kIdentityHead + hex("01000000 20 0000 4142 F7") << -1 << 1 << 0 << "AB"
            << "000-000-010";
        QTest::newRow("no name at all")
            << kIdentityHead + hex("05000000 20 0301 F7") << -1 << 5 << 131 << ""
            << "000-000-050";
        // What lies past the count is never read, whatever the buffer holds.
        QTest::newRow("bytes past the count")
            << kIdentityHead + hex("05000000 20 0301 58 F7 5A5A") << 14 << 5 << 131 << "X"
            << "000-000-050";
    }

    void identityReply()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, count);
        QFETCH(int, serial);
        QFETCH(int, version);
        QFETCH(QString, name);
        QFETCH(QString, text);

        UpdateSession session;
        session.RetryCount = 3;
        QCOMPARE(decode(session, message, count), ReplyIdentity);
        QCOMPARE(session.SerialNumber, serial);
        QCOMPARE(session.FirmwareVersion, version);
        QCOMPARE(session.DeviceName, name);
        QCOMPARE(session.SerialText, text);
        QCOMPARE(session.RetryCount, 3);
    }

    void laterIdentityReplacesTheFirstWhole()
    {
        UpdateSession session;
        QCOMPARE(decode(session, kIdentityHead + hex("151A6F3A 20 0602") +
                                     QByteArray("LONGER NAME HERE") + hex("F7")),
                 ReplyIdentity);
        QCOMPARE(decode(session, kIdentityHead + hex("2A000000 20 0000 4142 7F F7")),
                 ReplyIdentity);
        QCOMPARE(session.DeviceName, QStringLiteral("AB"));
        QCOMPARE(session.SerialText, QStringLiteral("040-000-020"));
        QCOMPARE(session.SerialNumber, 42);
        QCOMPARE(session.FirmwareVersion, 0);
    }

    void serialText_data()
    {
        QTest::addColumn<int>("serial");
        QTest::addColumn<QString>("text");

        QTest::newRow("123456789") << 123456789 << "586-638-764";
        QTest::newRow("0") << 0 << "000-000-000";
        QTest::newRow("42") << 42 << "040-000-020";
        QTest::newRow("2^28-1") << 268435455 << "355-581-494";
        QTest::newRow("largest nine digits") << 999999999 << "998-998-989";
        // Outside nine digits: the unsigned 32-bit value modulo 10^9.
        QTest::newRow("10^9") << 1000000000 << "000-000-000";
        QTest::newRow("10^9+42") << 1000000042 << "040-000-020";
        QTest::newRow("INT_MAX") << INT_MAX << "849-377-634";
        QTest::newRow("-1") << -1 << "698-746-279";
        QTest::newRow("INT_MIN") << INT_MIN << "849-377-644";
    }

    void serialText()
    {
        QFETCH(int, serial);
        QFETCH(QString, text);

        UpdateSession session;
        const char* result = session.FormatSerialText(serial);
        QCOMPARE(QString::fromLatin1(result), text);
        QCOMPARE(result, static_cast<const char*>(session.SerialTextBuffer));
    }

    // Every command byte: only the five known replies mean something, and
    // only repeat and restart requests count as retries.
    void commandBytes()
    {
        UpdateSession session;
        for (int command = 0; command < 256; ++command) {
            ReplyCode expected = ReplyNone;
            int retries = 0;
            switch (command) {
            case 0x20:
                break; // an identity reply this short lacks its version
            case 0x29:
            case 0x2A:
                expected = ReplyAcknowledge;
                break;
            case 0x2B:
                expected = ReplyRepeat;
                retries = 1;
                break;
            case 0x2E:
                expected = ReplyRestart;
                retries = 1;
                break;
            }
            session.RetryCount = 10;
            QCOMPARE(decode(session, reply(command)), expected);
            QCOMPARE(session.RetryCount, 10 + retries);
            // Which message an acknowledgement answers is kept apart.
            const int answered = command == 0x29 ? DataSlice : command == 0x2A ? CommitBlock : 0;
            QCOMPARE(int(session.AcknowledgedCommand), answered);
        }
    }

    void notAReply_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("count");

        QTest::newRow("count 0") << reply(0x2B) << 0;
        QTest::newRow("byte 0 not F0") << hex("F1 00 11 22 0B 00000000 2B F7") << -1;
        QTest::newRow("byte 1") << hex("F0 01 11 22 0B 00000000 2B F7") << -1;
        QTest::newRow("byte 2") << hex("F0 00 12 22 0B 00000000 2B F7") << -1;
        QTest::newRow("byte 3") << hex("F0 00 11 21 0B 00000000 2B F7") << -1;
        QTest::newRow("model byte") << hex("F0 00 11 22 0C 00000000 2B F7") << -1;
        QTest::newRow("command past the count") << reply(0x2B) << 9;
        QTest::newRow("identity with foreign header")
            << hex("F0 00 11 22 0A 01000000 20 0000 414243 F7") << -1;
        // Only whole messages: a piece of one, or one cut into by another,
        // must not pass for an answer or for the unit's serial number.
        QTest::newRow("acknowledgement without its F7") << reply(0x29) << 10;
        QTest::newRow("acknowledgement ending in another byte")
            << hex("F0 00 11 22 0B 00000000 2A 00") << -1;
        QTest::newRow("first piece of a SysEx longer than the buffer")
            << reply(0x29).left(10) + QByteArray(kInputBufferSize - 10, '\x01')
            << int(kInputBufferSize);
        QTest::newRow("count beyond the input buffer") << reply(0x2A) << 0x7FFFFFFF;
        QTest::newRow("a new message begun inside")
            << hex("F0 00 11 22 0B 00000000 2A F0 F7") << -1;
        QTest::newRow("high bit in the serial")
            << kIdentityHead + hex("FFFFFFFF 20 0000 00 F7") << -1;
        QTest::newRow("identity cut inside the version")
            << kIdentityHead + hex("05000000 20 03 F7") << -1;
        QTest::newRow("identity cut before its F7")
            << kIdentityHead + hex("05000000 20 0301 58595A F7") << 14;
    }

    void notAReply()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, count);

        UpdateSession session;
        session.RetryCount = 2;
        QCOMPARE(decode(session, message, count), ReplyNone);
        QCOMPARE(session.RetryCount, 2);
        QCOMPARE(session.SerialNumber, 0);
        QVERIFY(session.SerialText.isEmpty());
        QVERIFY(session.DeviceName.isEmpty());
    }

    void nullBytesAreNotAReply()
    {
        UpdateSession session;
        QCOMPARE(session.DecodeReply(nullptr, 100), ReplyNone);
    }
};

QTEST_GUILESS_MAIN(TestReplyDecoder)
#include "tst_replydecoder.moc"
