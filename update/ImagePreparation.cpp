#include "ImagePreparation.h"

#include "Protocol.h"

#include <QFile>

bool prepareImage(std::uint8_t* imageBuffer, std::uint32_t seed)
{
    if (!imageBuffer)
        return false;

    QFile file(QString::fromLatin1(kImageResourcePath));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // The build checks the resource's size when it embeds it; a short read
    // all the same must never send a unit whatever the buffer held before.
    if (file.read(reinterpret_cast<char*>(imageBuffer), kImageSize) != qint64(kImageSize))
        return false;
    file.close();

    std::uint8_t keystream[kKeystreamSize];
    buildKeystream(seed, keystream);
    scrambleImage(imageBuffer, kImageSize, keystream);
    return true;
}
