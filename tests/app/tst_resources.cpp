// The resource tree built into the program: exact paths, sizes, no
// compression, and the image byte for byte as the build supplied it.

#include "ImagePreparation.h"
#include "Protocol.h"

#include <QDir>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QResource>
#include <QtTest>

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void treeHoldsExactlyTwoEntries();
    void entriesAreStoredUncompressed_data();
    void entriesAreStoredUncompressed();
    void pathsMatchCaseExactly_data();
    void pathsMatchCaseExactly();
    void imageReadsWholeThenNothing();
    void imageIsTheBuildsFile();
    void pictureIs320x87WithAlpha();
};

void TestResources::treeHoldsExactlyTwoEntries()
{
    QDir data(QStringLiteral(":/data"));
    QCOMPARE(data.entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name),
             (QStringList{QStringLiteral("orvik_resources_v2_06.bin"),
                          QStringLiteral("update_screen_V2_06.png")}));
}

void TestResources::entriesAreStoredUncompressed_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("image") << QString::fromLatin1(kImageResourcePath);
    QTest::newRow("picture") << QString::fromLatin1(kPictureResourcePath);
}

void TestResources::entriesAreStoredUncompressed()
{
    QFETCH(QString, path);
    QResource resource(path);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
}

void TestResources::pathsMatchCaseExactly_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("opens");
    QTest::newRow("image") << QString::fromLatin1(kImageResourcePath) << true;
    QTest::newRow("image other case") << QStringLiteral(":/data/orvik_resources_V2_06.bin") << false;
    QTest::newRow("picture") << QString::fromLatin1(kPictureResourcePath) << true;
    QTest::newRow("picture other case") << QStringLiteral(":/data/update_screen_v2_06.png") << false;
    QTest::newRow("no such entry") << QStringLiteral(":/data/other.bin") << false;
}

void TestResources::pathsMatchCaseExactly()
{
    QFETCH(QString, path);
    QFETCH(bool, opens);
    QFile file(path);
    QCOMPARE(file.open(QIODevice::ReadOnly), opens);
}

void TestResources::imageReadsWholeThenNothing()
{
    QFile file(QString::fromLatin1(kImageResourcePath));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.size(), qint64(kImageSize));
    const QByteArray all = file.read(kImageSize);
    QCOMPARE(all.size(), qsizetype(kImageSize));
    QVERIFY(file.read(1).isEmpty());
    QVERIFY(file.atEnd());
}

void TestResources::imageIsTheBuildsFile()
{
    QFile source(QStringLiteral(ORVIK_IMAGE_FILE));
    QVERIFY2(source.open(QIODevice::ReadOnly), ORVIK_IMAGE_FILE);
    QFile embedded(QString::fromLatin1(kImageResourcePath));
    QVERIFY(embedded.open(QIODevice::ReadOnly));
    QVERIFY(source.readAll() == embedded.readAll());
}

void TestResources::pictureIs320x87WithAlpha()
{
    QImage picture(QString::fromLatin1(kPictureResourcePath));
    QVERIFY(!picture.isNull());
    QCOMPARE(picture.size(), QSize(320, 87));
    QVERIFY(picture.hasAlphaChannel());

    // Asked for at its own size, the picture is not scaled.
    const QPixmap pixmap =
        QIcon(QString::fromLatin1(kPictureResourcePath)).pixmap(QSize(320, 87), QIcon::Normal, QIcon::Off);
    QCOMPARE(pixmap.size(), QSize(320, 87));
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
