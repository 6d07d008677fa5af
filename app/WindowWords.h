// The window's words, under the window's name for translators, wherever one
// of its helpers says them.
#pragma once

#include <QCoreApplication>
#include <QString>

namespace windowwords {
inline QString tr(const char* text)
{
    return QCoreApplication::translate("MainWindow", text);
}
} // namespace windowwords
