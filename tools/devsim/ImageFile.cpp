#include "ImageFile.h"

#include "Protocol.h"

#include <QFile>

namespace orvik::devsim {

std::optional<std::vector<std::uint8_t>> loadImage(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    // One byte more than needed tells a long file from a complete image.
    const QByteArray bytes = file.read(qint64(kImageSize) + 1);
    if (bytes.size() != qsizetype(kImageSize)) {
        if (error)
            *error = QStringLiteral("%1 has %2 bytes; an image has exactly %3")
                         .arg(path)
                         .arg(bytes.size() > qsizetype(kImageSize)
                                  ? QStringLiteral("more than %1").arg(kImageSize)
                                  : QString::number(bytes.size()))
                         .arg(kImageSize);
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

} // namespace orvik::devsim
