#include "ImagePreparation.h"
#include "Protocol.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using Keystream = std::array<std::uint8_t, kKeystreamSize>;

Keystream keystreamFor(std::uint32_t seed)
{
    Keystream k;
    k.fill(0xA5);
    buildKeystream(seed, k.data());
    return k;
}

QByteArray scrambled(QByteArray data, const Keystream& k)
{
    scrambleImage(reinterpret_cast<std::uint8_t*>(data.data()), std::uint32_t(data.size()),
                  k.data());
    return data;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray out(size, '\0');
    QRandomGenerator rng(seed);
    for (auto& c : out)
        c = char(rng.bounded(256));
    return out;
}

// The development data the build makes when no maker's data is given; the
// known answers below hold only for it.
bool isDevelopmentTable()
{
    const std::uint8_t head[8] = {0x64, 0xE4, 0xB1, 0xE2, 0xFC, 0xD6, 0xF0, 0xC0};
    return std::memcmp(ScrambleTable, head, sizeof head) == 0;
}

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

bool isDevelopmentImage(const QByteArray& image)
{
    return QCryptographicHash::hash(image, QCryptographicHash::Sha256) ==
           QByteArray::fromHex("158a6177a6d9943704a57e1cf5ed1ef884109c6a919af69e8b7329096df44643");
}

QByteArray slice(const Keystream& k, int from, int count)
{
    return QByteArray(reinterpret_cast<const char*>(k.data()) + from, count);
}

} // namespace

class TestScrambler : public QObject
{
    Q_OBJECT

private slots:
    void keystreamStartsWithTheSeed_data()
    {
        QTest::addColumn<std::uint32_t>("seed");
        QTest::addColumn<QByteArray>("head");

        QTest::newRow("0") << 0u << hex("00000000");
        QTest::newRow("123456789") << 123456789u << hex("15CD5B07");
        QTest::newRow("top nibble dropped") << 0xF1234567u << hex("67452301");
        QTest::newRow("all ones") << 0xFFFFFFFFu << hex("FFFFFF0F");
    }

    void keystreamStartsWithTheSeed()
    {
        QFETCH(std::uint32_t, seed);
        QFETCH(QByteArray, head);
        QCOMPARE(slice(keystreamFor(seed), 0, 4), head);
    }

    void keystreamKnownAnswers_data()
    {
        QTest::addColumn<std::uint32_t>("seed");
        QTest::addColumn<QByteArray>("bytes4to11");
        QTest::addColumn<QByteArray>("lastTwo");

        QTest::newRow("0") << 0u << hex("CE9D50679491F494") << hex("761A");
        QTest::newRow("123456789") << 123456789u << hex("AD3BDA05C460CDEB") << hex("657B");
        QTest::newRow("0x0ABCDEF1") << 0x0ABCDEF1u << hex("F25FBF85FFAA7A20") << hex("9FA5");
    }

    void keystreamKnownAnswers()
    {
        if (!isDevelopmentTable())
            QSKIP("the build carries a maker's scramble table");
        QFETCH(std::uint32_t, seed);
        QFETCH(QByteArray, bytes4to11);
        QFETCH(QByteArray, lastTwo);

        const Keystream k = keystreamFor(seed);
        QCOMPARE(slice(k, 4, 8), bytes4to11);
        QCOMPARE(slice(k, kKeystreamSize - 2, 2), lastTwo);
    }

    // Every seed byte must feed the stream beyond the four bytes that merely
    // copy it; the top four bits must feed nothing.
    void keystreamDependsOnEachSeedByte()
    {
        const std::uint32_t base = 0x0A5A5A5A;
        const QByteArray baseTail = slice(keystreamFor(base), 4, kKeystreamSize - 4);
        for (std::uint32_t flip : {0x00000001u, 0x00000100u, 0x00010000u, 0x01000000u})
            QVERIFY2(slice(keystreamFor(base ^ flip), 4, kKeystreamSize - 4) != baseTail,
                     qPrintable(QString::number(flip, 16)));

        for (std::uint32_t top : {0x10000000u, 0x80000000u, 0xF0000000u})
            QCOMPARE(slice(keystreamFor(base | top), 0, kKeystreamSize),
                     slice(keystreamFor(base), 0, kKeystreamSize));
    }

    void serialsDifferingInTopBitsScrambleAlike()
    {
        const QByteArray image = randomBytes(8192, 3);
        QCOMPARE(scrambled(image, keystreamFor(0x7654321)),
                 scrambled(image, keystreamFor(0xB7654321)));
        QVERIFY(scrambled(image, keystreamFor(0x7654321)) !=
                scrambled(image, keystreamFor(0x7654320)));
    }

    // Values worked out by hand from the start positions (B = 32, A = 51) and
    // the update order, with a keystream K[i] = 7i + 3 that is not the
    // build's, so that they hold for any table.
    void scrambleKnownAnswers_data()
    {
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("zeros") << hex("0000000000000000") << hex("18B82BA0C5B9E9F8");
        QTest::newRow("counting") << hex("0001020304050607") << hex("18B909B5EA5C4360");
    }

    void scrambleKnownAnswers()
    {
        QFETCH(QByteArray, plain);
        QFETCH(QByteArray, expected);
        Keystream k;
        for (int i = 0; i < kKeystreamSize; ++i)
            k[i] = std::uint8_t(7 * i + 3);
        QCOMPARE(scrambled(plain, k), expected);
    }

    // Positions follow the scrambled output: one changed byte leaves the
    // bytes before it alone and changes itself and (almost surely) the rest.
    void changeOnlyAffectsLaterBytes_data()
    {
        QTest::addColumn<int>("position");
        QTest::newRow("first") << 0;
        QTest::newRow("inside the seed bytes") << 2;
        QTest::newRow("middle") << 1000;
        QTest::newRow("last") << 4095;
    }

    void changeOnlyAffectsLaterBytes()
    {
        QFETCH(int, position);
        const Keystream k = keystreamFor(0x01234567);
        const QByteArray plain = randomBytes(4096, 11);
        QByteArray changed = plain;
        changed[position] = char(changed[position] ^ 0x40);

        const QByteArray a = scrambled(plain, k);
        const QByteArray b = scrambled(changed, k);
        QCOMPARE(b.left(position), a.left(position));
        QCOMPARE(char(b[position] ^ a[position]), char(0x40));
        if (position + 64 <= plain.size())
            QVERIFY(b.mid(position + 1) != a.mid(position + 1));
    }

    void zeroLengthChangesNothing()
    {
        const Keystream k = keystreamFor(42);
        std::uint8_t data[4] = {1, 2, 3, 4};
        scrambleImage(data, 0, k.data());
        QCOMPARE(QByteArray(reinterpret_cast<char*>(data), 4), hex("01020304"));
    }

    void prepareImageScramblesTheEmbeddedImage()
    {
        QFile resource(QString::fromLatin1(kImageResourcePath));
        QVERIFY(resource.open(QIODevice::ReadOnly));
        const QByteArray original = resource.readAll();
        QCOMPARE(original.size(), qsizetype(kImageSize));

        const std::uint32_t seed = 123456789;
        std::vector<std::uint8_t> buffer(kImageBufferSize, 0xCC);
        QVERIFY(prepareImage(buffer.data(), seed));

        const QByteArray result(reinterpret_cast<const char*>(buffer.data()), kImageSize);
        QCOMPARE(result, scrambled(original, keystreamFor(seed)));
        // The rest of the buffer is not the image's and stays untouched.
        QVERIFY(std::all_of(buffer.begin() + kImageSize, buffer.end(),
                            [](std::uint8_t b) { return b == 0xCC; }));

        if (isDevelopmentTable() && isDevelopmentImage(original)) {
            QCOMPARE(result.left(8), hex("3F03C71938896E4E"));
            QCOMPARE(result.right(8), hex("7C82AE7D82EB3439"));
        }

        // A second preparation starts from the resource again, not from the
        // scrambled buffer.
        QVERIFY(prepareImage(buffer.data(), seed));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(buffer.data()), kImageSize), result);
    }

    void prepareImageWithoutBufferFails() { QVERIFY(!prepareImage(nullptr, 1)); }
};

QTEST_GUILESS_MAIN(TestScrambler)
#include "tst_scrambler.moc"
