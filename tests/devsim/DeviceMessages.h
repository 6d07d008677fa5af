// Messages for the simulated unit built by hand, with the tool's own slice
// encoder and scrambler: what the tool sends, and what it never would, for
// tests that feed the unit directly or forge a message on its way.
#pragma once

#include "AccessCode.h"
#include "DataSlice.h"
#include "ImagePreparation.h"
#include "Protocol.h"

#include <QFile>

#include <cstdint>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

inline Bytes plainImage()
{
    QFile file(QString::fromLatin1(kImageResourcePath));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.readAll();
    return Bytes(data.begin(), data.end());
}

inline Bytes scrambledFor(Bytes image, std::uint32_t serial)
{
    std::uint8_t keystream[kKeystreamSize];
    buildKeystream(serial, keystream);
    scrambleImage(image.data(), std::uint32_t(image.size()), keystream);
    return image;
}

inline Bytes beginUpdate(std::uint8_t p1 = kImageVersionMajor, std::uint8_t p2 = kImageVersionMinor,
                         std::uint32_t length = kImageSize,
                         const std::uint8_t* code = UpdateAccessCode)
{
    Bytes m(21);
    WriteFrameHeader(m.data(), BeginUpdate);
    m[10] = p1;
    m[11] = p2;
    for (int i = 0; i < 4; ++i)
        m[12 + i] = (length >> (7 * i)) & 0x7F;
    for (int i = 0; i < 4; ++i)
        m[16 + i] = code[i];
    m[20] = 0xF7;
    return m;
}

inline Bytes command(std::uint8_t cmd)
{
    Bytes m(11);
    WriteFrameHeader(m.data(), cmd);
    m[10] = 0xF7;
    return m;
}

inline Bytes commit(std::uint8_t tag)
{
    Bytes m(12);
    WriteFrameHeader(m.data(), CommitBlock);
    m[10] = tag;
    m[11] = 0xF7;
    return m;
}

inline Bytes slice(const Bytes& image, int block, int n)
{
    Bytes m(kLongMessageBufferSize);
    m.resize(
        EncodeDataSlice(image.data(), std::uint32_t(block) * kBlockSize, n, DataSlice, m.data()));
    return m;
}

} // namespace testsupport
