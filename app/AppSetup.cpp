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
