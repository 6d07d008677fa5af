#include "AppSetup.h"
#include "MainWindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    // Identity and style go in before the application object exists.
    setApplicationIdentity();
    installApplicationStyle();

    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    fixWindowSize(window);
    window.initController();
    return app.exec();
}
