// The unit's receiver behind a raw MIDI device: whatever way the driver cuts
// the stream into reads, the unit must see the same messages.

#include "ByteStreamFramer.h"

#include <QTest>

using namespace orvik::devsim;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::vector<Bytes> frame(const Bytes& stream, std::size_t chunk)
{
    std::vector<Bytes> out;
    ByteStreamFramer framer(
        [&](const std::uint8_t* d, std::size_t n) { out.emplace_back(d, d + n); });
    for (std::size_t i = 0; i < stream.size(); i += chunk)
        framer.feed(stream.data() + i, std::min(chunk, stream.size() - i));
    return out;
}

} // namespace

class TestByteStreamFramer : public QObject
{
    Q_OBJECT

private slots:
    void sameMessagesHoweverTheReadsFall();
    void longSysExIsCutAtTheBuffer();
};

void TestByteStreamFramer::sameMessagesHoweverTheReadsFall()
{
    // SysEx with a real-time start inside and clock bytes, an unfinished
    // SysEx ended by a note, running status, a stray end and a stray data byte.
    const Bytes stream{0xF0, 0x00, 0x20, 0xFA, 0x33, 0xF8, 0xF7, 0xF0, 0x01, 0x90, 0x40,
                       0x7F, 0x41, 0x00, 0xF7, 0x05, 0xC0, 0x10, 0x11, 0xFE, 0xF0, 0xF7};
    const std::vector<Bytes> expected{{0xFA},
                                      {0xF0, 0x00, 0x20, 0x33, 0xF7},
                                      {0xF0, 0x01},
                                      {0x90, 0x40, 0x7F},
                                      {0x90, 0x41, 0x00},
                                      {0xF7},
                                      {0x05},
                                      {0xC0, 0x10},
                                      {0xC0, 0x11},
                                      {0xF0, 0xF7}};
    for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk)
        QCOMPARE(frame(stream, chunk), expected);
}

void TestByteStreamFramer::longSysExIsCutAtTheBuffer()
{
    Bytes stream(ByteStreamFramer::kMaxMessage + 10, 0x11);
    stream.front() = 0xF0;
    stream.back() = 0xF7;
    stream.push_back(0xF6);
    const auto out = frame(stream, 4096);
    QCOMPARE(out.size(), std::size_t{2});
    QCOMPARE(out[0].size(), ByteStreamFramer::kMaxMessage);
    QCOMPARE(out[0].back(), std::uint8_t{0x11});
    QCOMPARE(out[1], Bytes{0xF6});
}

QTEST_APPLESS_MAIN(TestByteStreamFramer)
#include "tst_bytestreamframer.moc"
