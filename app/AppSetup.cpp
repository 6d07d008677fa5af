#include "AppSetup.h"

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>
#include <QWidget>

void setApplicationIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Zelvonik"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("zelvonik.example"));
    QCoreApplication::setApplicationName(QStringLiteral("Orvik16_update"));
    // Wayland compositors and docks find the window's desktop entry, and with
    // it the icon, by this name; the installed files carry the same id.
    QGuiApplication::setDesktopFileName(QStringLiteral(ORVIK_APP_ID));
}

void installApplicationStyle()
{
    // Qt 6 dropped Plastique; Fusion is its closest successor and is built in.
    QStyle* style = QStyleFactory::create(QStringLiteral("Plastique"));
    if (!style)
        style = QStyleFactory::create(QStringLiteral("Fusion"));
    if (style)
        QApplication::setStyle(style);
}

void fixWindowSize(QWidget& window)
{
    window.setFixedSize(kWindowWidth, kWindowHeight);
}
