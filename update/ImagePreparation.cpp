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
    // The resource is checked for its exact size when the build embeds it,
    // so a short read cannot happen here.
    file.read(reinterpret_cast<char*>(imageBuffer), kImageSize);
    file.close();

    std::uint8_t keystream[kKeystreamSize];
    buildKeystream(seed, keystream);
    scrambleImage(imageBuffer, kImageSize, keystream);
    return true;
}
