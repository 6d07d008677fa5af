// The window as the form builds it, before the controller touches it, and
// the window class's meta-object.

#include "AppSetup.h"
#include "MainWindow.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QStyle>
#include <QtTest>

class TestMainWindowForm : public QObject
{
    Q_OBJECT

private slots:
    void applicationIdentityAndStyle();
    void widgetTree_data();
    void widgetTree();
    void texts_data();
    void texts();
    void accessibleNames_data();
    void accessibleNames();
    void keyboardOrder();
    void initialState();
    void objectNameKeptWhenSet();
    void metaCast();
    void slotTable();
    void metaCallDispatch();
    void closeIsAlwaysAccepted();
    void startupFixesWindowSize();
};

void TestMainWindowForm::applicationIdentityAndStyle()
{
    QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Zelvonik"));
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Orvik16_update"));
    QVERIFY(!QCoreApplication::organizationDomain().isEmpty());
    // The name the installed desktop entry, icon and metainfo are given.
    QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral(ORVIK_APP_ID));
    // Qt 6 has no Plastique; the style installed before the application
    // object must have survived its construction.
    QCOMPARE(QApplication::style()->name().toLower(), QStringLiteral("fusion"));
}

void TestMainWindowForm::widgetTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("rect");

    auto row = [](const char* name, const char* cls, const char* parent, QRect r) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(cls)
                            << QString::fromLatin1(parent) << r;
    };
    row("groupBox", "QGroupBox", "centralwidget", {10, 230, 171, 81});
    row("SnEdit", "QLineEdit", "groupBox", {70, 20, 91, 21});
    row("label", "QLabel", "groupBox", {10, 20, 51, 21});
    row("VersionEdit", "QLineEdit", "groupBox", {70, 50, 91, 21});
    row("label_2", "QLabel", "groupBox", {10, 50, 51, 21});
    row("groupBox_3", "QGroupBox", "centralwidget", {10, 90, 251, 131});
    row("MidiInList", "QListWidget", "groupBox_3", {10, 20, 231, 101});
    row("groupBox_4", "QGroupBox", "centralwidget", {270, 90, 241, 131});
    row("MidiOutList", "QListWidget", "groupBox_4", {10, 20, 221, 101});
    row("ConnectButton", "QPushButton", "centralwidget", {200, 240, 75, 23});
    row("TryConText", "QLabel", "centralwidget", {370, 240, 91, 21});
    row("TransferButton", "QPushButton", "centralwidget", {280, 240, 75, 23});
    row("progressBar", "QProgressBar", "centralwidget", {200, 280, 311, 23});
    row("IconLabel", "QLabel", "centralwidget", {110, 0, 311, 81});
}

void TestMainWindowForm::widgetTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, rect);

    MainWindow w;
    auto* widget = w.findChild<QWidget*>(name);
    QVERIFY(widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->parentWidget()->objectName(), parentName);
    QCOMPARE(widget->geometry(), rect);
}

void TestMainWindowForm::texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("property");
    QTest::addColumn<QString>("text");

    auto row = [](const char* name, const char* prop, const char* text) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(prop)
                            << QString::fromLatin1(text);
    };
    row("MainWindow", "windowTitle", "Orvik16(KX/LX) Update");
    row("groupBox", "title", "Information");
    row("label", "text", "SN:");
    row("label_2", "text", "Version:");
    row("groupBox_3", "title", "MIDI IN port");
    row("groupBox_4", "title", "MIDI OUT port");
    row("ConnectButton", "text", "Connect");
    row("TryConText", "text", "try to connect...");
    row("TransferButton", "text", "Transfer");
    row("IconLabel", "text", "TextLabel");
}

void TestMainWindowForm::texts()
{
    QFETCH(QString, name);
    QFETCH(QString, property);
    QFETCH(QString, text);

    MainWindow w;
    QObject* object = name == w.objectName() ? &w : w.findChild<QObject*>(name);
    QVERIFY(object);
    QCOMPARE(object->property(property.toLatin1()).toString(), text);
}

// What a screen reader announces: the lists by direction, the fields by what
// they hold (their group box alone says only "Information").
void TestMainWindowForm::accessibleNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("accessibleName");

    auto row = [](const char* name, const char* accessible) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(accessible);
    };
    row("MidiInList", "MIDI IN port");
    row("MidiOutList", "MIDI OUT port");
    row("SnEdit", "Serial number");
    row("VersionEdit", "Firmware version");
    row("IconLabel", "Orvik16 KX / LX firmware update");
}

void TestMainWindowForm::accessibleNames()
{
    QFETCH(QString, name);
    QFETCH(QString, accessibleName);

    MainWindow w;
    auto* widget = w.findChild<QWidget*>(name);
    QVERIFY(widget);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    QVERIFY(accessible);
    QCOMPARE(accessible->text(QAccessible::Name), accessibleName);
}

// The job done from the keyboard: focus starts on the IN list, not on the
// read-only serial field, and Tab walks the controls in the order of use.
void TestMainWindowForm::keyboardOrder()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    const QList<QWidget*> order{w.MidiInList, w.MidiOutList, w.ConnectButton, w.TransferButton};
    QCOMPARE(QApplication::focusWidget(), order.first());
    // Round the window and back to the start.
    for (qsizetype i = 1; i <= order.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), order[i % order.size()]);
    }
}

void TestMainWindowForm::initialState()
{
    MainWindow w;
    QCOMPARE(w.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(w.size(), QSize(kWindowWidth, kWindowHeight));
    QCOMPARE(w.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(w.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(w.centralWidget(), w.centralwidget);

    for (QLineEdit* edit : {w.SnEdit, w.VersionEdit}) {
        QVERIFY(edit->text().isEmpty());
        QVERIFY(edit->isReadOnly());
        QVERIFY(edit->isEnabled());
        QCOMPARE(edit->font().pointSize(), 8);
    }
    QCOMPARE(w.MidiInList->count(), 0);
    QCOMPARE(w.MidiOutList->count(), 0);
    QCOMPARE(w.progressBar->minimum(), 0);
    QCOMPARE(w.progressBar->maximum(), 100);
    QCOMPARE(w.progressBar->value(), 24);
    for (QLabel* label : {w.label, w.label_2}) {
        QCOMPARE(label->alignment(), Qt::AlignRight | Qt::AlignTrailing | Qt::AlignVCenter);
        QVERIFY(label->wordWrap());
    }
    // The constructor opens nothing and starts no timer.
    QVERIFY(!w.WatchdogTimer);
    QVERIFY(!w.Session.PortPair.MidiIn.load());
    QVERIFY(!w.Session.PortPair.MidiOut);
}

void TestMainWindowForm::objectNameKeptWhenSet()
{
    QMainWindow named;
    named.setObjectName(QStringLiteral("Custom"));
    Ui_MainWindow form;
    form.setupUi(&named);
    QCOMPARE(named.objectName(), QStringLiteral("Custom"));

    QMainWindow unnamed;
    Ui_MainWindow form2;
    form2.setupUi(&unnamed);
    QCOMPARE(unnamed.objectName(), QStringLiteral("MainWindow"));
}

void TestMainWindowForm::metaCast()
{
    MainWindow w;
    QCOMPARE(w.qt_metacast("Ui_MainWindow"), static_cast<void*>(static_cast<Ui_MainWindow*>(&w)));
    QCOMPARE(w.qt_metacast("MainWindow"), static_cast<void*>(&w));
    QCOMPARE(w.qt_metacast("QMainWindow"), w.QMainWindow::qt_metacast("QMainWindow"));
    QCOMPARE(w.qt_metacast("QWidget"), w.QMainWindow::qt_metacast("QWidget"));
    QCOMPARE(w.qt_metacast(nullptr), nullptr);
    QCOMPARE(QString::fromLatin1(w.metaObject()->className()), QStringLiteral("MainWindow"));
    QCOMPARE(w.metaObject()->superClass(), &QMainWindow::staticMetaObject);
}

void TestMainWindowForm::slotTable()
{
    const QMetaObject* mo = &MainWindow::staticMetaObject;
    const QList<QByteArray> expected{"Connect()", "Transfer()", "close1()", "comtimeout()"};
    QCOMPARE(mo->methodCount() - mo->methodOffset(), int(expected.size()));
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod m = mo->method(mo->methodOffset() + i);
        QCOMPARE(m.methodSignature(), expected[i]);
        QCOMPARE(m.methodType(), QMetaMethod::Slot);
        QCOMPARE(m.access(), QMetaMethod::Public);
    }
    QCOMPARE(mo->propertyCount(), mo->propertyOffset());
    QCOMPARE(mo->enumeratorCount(), mo->enumeratorOffset());
    QCOMPARE(mo->classInfoCount(), mo->classInfoOffset());
    QCOMPARE(mo->constructorCount(), 0);
}

void TestMainWindowForm::metaCallDispatch()
{
    MainWindow w;
    const int offset = w.metaObject()->methodOffset();
    void* args[] = {nullptr};

    // Slot 3 is comtimeout(): an armed countdown goes down by one.
    w.WatchdogCountdown = 3;
    QCOMPARE(w.qt_metacall(QMetaObject::InvokeMetaMethod, offset + 3, args), -1);
    QCOMPARE(int(w.WatchdogCountdown), 2);

    // Past the table nothing runs, and the index comes back reduced by 4.
    QCOMPARE(w.qt_metacall(QMetaObject::InvokeMetaMethod, offset + 4, args), 0);
    QCOMPARE(int(w.WatchdogCountdown), 2);
    QCOMPARE(w.qt_metacall(QMetaObject::InvokeMetaMethod, offset + 9, args), 5);
}

void TestMainWindowForm::closeIsAlwaysAccepted()
{
    MainWindow w;
    QCloseEvent close;
    close.ignore();
    QCoreApplication::sendEvent(&w, &close);
    QVERIFY(close.isAccepted());
}

void TestMainWindowForm::startupFixesWindowSize()
{
    MainWindow w;
    w.show();
    fixWindowSize(w);
    QCOMPARE(w.minimumSize(), QSize(kWindowWidth, kWindowHeight));
    QCOMPARE(w.maximumSize(), QSize(kWindowWidth, kWindowHeight));
    w.resize(800, 600);
    QCOMPARE(w.size(), QSize(kWindowWidth, kWindowHeight));
}

int main(int argc, char** argv)
{
    // The same order as the program: identity and style first.
    setApplicationIdentity();
    installApplicationStyle();
    QApplication app(argc, argv);
    TestMainWindowForm test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindowform.moc"
