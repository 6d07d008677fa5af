#include "DataSlice.h"
#include "Protocol.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QTest>

#include <cstdint>
#include <vector>

namespace {

using Image = std::vector<std::uint8_t>;

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

QByteArray encode(const Image& image, std::uint32_t offset, int slice)
{
    QByteArray out(kLongMessageBufferSize, '\xEE');
    const int length = EncodeDataSlice(image.data(), offset, slice, DataSlice,
                                       reinterpret_cast<std::uint8_t*>(out.data()));
    out.truncate(length);
    return out;
}

QByteArray payloadOf(const QByteArray& message)
{
    return message.mid(13, message.size() - 14);
}

int at(const QByteArray& message, int i)
{
    return static_cast<std::uint8_t>(message.at(i));
}

// Builds the whole 643-byte stream and cuts it afterwards, the opposite of
// how the encoder works, so that a slip in its windowing shows up.
QByteArray referenceStream(const std::uint8_t* block, std::uint32_t offset)
{
    QByteArray s;
    s.append(char((offset >> 8) & 0x7F));
    s.append(char((offset >> 15) & 0x7F));
    s.append('\0');
    for (int g = 0; g < 128; ++g) {
        int top = 0;
        for (int k = 0; k < 4; ++k) {
            const std::uint8_t b = block[4 * g + k];
            s.append(char(b & 0x7F));
            if (b & 0x80)
                top |= 1 << k;
        }
        s.append(char(top));
    }
    return s;
}

const QByteArray kDataSliceHeader = QByteArray::fromHex("F0 00 11 22 0B 00 00 00 00 09");

} // namespace

class TestDataSlice : public QObject
{
    Q_OBJECT

private slots:
    void topBitsExample()
    {
        Image image(kBlockSize, 0);
        image[0] = 0x81;
        image[1] = 0x02;
        image[2] = 0xFF;
        image[3] = 0x40;

        QByteArray expected = kDataSliceHeader + hex("47 0000 000000 01027F4005");
        expected.append(125 - expected.size(), '\0');
        expected.append('\xF7');

        QCOMPARE(encode(image, 0, 0), expected);
    }

    void allOnesBlock_data()
    {
        QTest::addColumn<int>("slice");
        QTest::addColumn<int>("checksum");
        QTest::addColumn<QByteArray>("offsetBytes");
        QTest::addColumn<QByteArray>("payloadStart");

        QTest::newRow("slice 0") << 0 << 0x6D << hex("0000") << hex("0A0000 7F7F7F");
        QTest::newRow("slice 1") << 1 << 0x70 << hex("7000") << hex("0F 7F7F7F7F 0F");
        QTest::newRow("slice 2") << 2 << 0x51 << hex("6001") << QByteArray();
        QTest::newRow("slice 3") << 3 << 0x52 << hex("5002") << QByteArray();
        QTest::newRow("slice 4") << 4 << 0x33 << hex("4003") << QByteArray();
        QTest::newRow("slice 5") << 5 << 0x71 << hex("3004") << QByteArray();
    }

    void allOnesBlock()
    {
        QFETCH(int, slice);
        QFETCH(int, checksum);
        QFETCH(QByteArray, offsetBytes);
        QFETCH(QByteArray, payloadStart);

        // Zeros before the block must not leak into it.
        const std::uint32_t offset = 2560;
        Image image(offset + kBlockSize, 0xFF);
        std::fill(image.begin(), image.begin() + offset, 0x00);

        const QByteArray message = encode(image, offset, slice);
        QCOMPARE(message.size(), slice == 5 ? 97 : 126);
        QCOMPARE(message.left(10), kDataSliceHeader);
        QCOMPARE(at(message, 10), checksum);
        QCOMPARE(message.mid(11, 2), offsetBytes);
        QVERIFY(payloadOf(message).startsWith(payloadStart));
        if (slice == 5)
            QVERIFY(message.endsWith(hex("7F7F7F7F0F F7")));
    }

    void zeroBlockCarriesOnlyOffsets()
    {
        const Image image(kBlockSize, 0x00);
        const int checksums[kSliceCount] = {0x00, 0x70, 0x61, 0x52, 0x43, 0x34};
        int payloadTotal = 0;
        for (int slice = 0; slice < kSliceCount; ++slice) {
            const QByteArray message = encode(image, 0, slice);
            QCOMPARE(message.size(), DataSliceMessageLength(slice));
            QCOMPARE(at(message, 10), checksums[slice]);
            const QByteArray payload = payloadOf(message);
            QCOMPARE(payload, QByteArray(payload.size(), '\0'));
            payloadTotal += int(payload.size());
        }
        QCOMPARE(payloadTotal, kEncodedBlockSize);
    }

    // Random blocks anywhere in a full-size buffer, including the last one of
    // the image and the last one of the buffer: the six windows must rebuild
    // the stream exactly, with valid 7-bit framing and checksums.
    void slicesRebuildTheStream_data()
    {
        QTest::addColumn<std::uint32_t>("offset");
        QTest::addColumn<QByteArray>("address");

        QTest::newRow("block 0") << 0u << hex("000000");
        QTest::newRow("block 1") << 512u << hex("020000");
        QTest::newRow("block 5") << 2560u << hex("0A0000");
        QTest::newRow("block 64") << 32768u << hex("000100");
        QTest::newRow("last image block") << 450048u << hex("5E0D00");
        QTest::newRow("last buffer block") << kImageBufferSize - kBlockSize << hex("7E1F00");
    }

    void slicesRebuildTheStream()
    {
        QFETCH(std::uint32_t, offset);
        QFETCH(QByteArray, address);

        // The block sits flush against the end of its allocation, so that a
        // read past it is caught by the sanitizer builds.
        Image image(offset + kBlockSize);
        QRandomGenerator rng(offset + 7);
        for (auto& b : image)
            b = static_cast<std::uint8_t>(rng.bounded(256));

        QByteArray rebuilt;
        for (int slice = 0; slice < kSliceCount; ++slice) {
            const QByteArray message = encode(image, offset, slice);
            QCOMPARE(at(message, 0), 0xF0);
            QCOMPARE(at(message, message.size() - 1), 0xF7);
            for (int i = 1; i + 1 < message.size(); ++i)
                QVERIFY2(at(message, i) < 0x80,
                         qPrintable(QStringLiteral("slice %1 byte %2").arg(slice).arg(i)));

            const int sliceOffset = at(message, 11) | at(message, 12) << 7;
            QCOMPARE(sliceOffset, slice * kSliceSize);
            QCOMPARE(int(rebuilt.size()), sliceOffset);
            int sum = 0;
            for (int i = 11; i < message.size() - 1; ++i)
                sum += at(message, i);
            QCOMPARE(at(message, 10), sum % 128);

            rebuilt += payloadOf(message);
        }
        QCOMPARE(rebuilt.left(3), address);
        QCOMPARE(rebuilt, referenceStream(image.data() + offset, offset));
    }

    void commandByteIsPassedThrough()
    {
        const Image image(kBlockSize, 0x12);
        std::uint8_t out[kLongMessageBufferSize];
        QCOMPARE(EncodeDataSlice(image.data(), 0, 2, 0x55, out), 126);
        QCOMPARE(out[9], std::uint8_t(0x55));
    }

    void sliceOutsideTheBlockWritesNothing_data()
    {
        QTest::addColumn<int>("slice");
        QTest::newRow("-1") << -1;
        QTest::newRow("6") << 6;
        QTest::newRow("2^20") << (1 << 20);
    }

    void sliceOutsideTheBlockWritesNothing()
    {
        QFETCH(int, slice);
        const Image image(kBlockSize, 0x12);
        QByteArray out(kLongMessageBufferSize, '\xEE');
        QCOMPARE(EncodeDataSlice(image.data(), 0, slice, DataSlice,
                                 reinterpret_cast<std::uint8_t*>(out.data())),
                 0);
        QCOMPARE(out, QByteArray(kLongMessageBufferSize, '\xEE'));
        QCOMPARE(DataSliceMessageLength(slice), 0);
    }
};

QTEST_APPLESS_MAIN(TestDataSlice)
#include "tst_dataslice.moc"
