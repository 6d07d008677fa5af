// The unit behind the ports, around an update: who it is before the image is
// prepared for it and while the image goes out, and which firmware it runs
// once it has restarted. Everything here runs on the GUI thread.

#include "FirmwareVersion.h"
#include "MainWindow.h"

#include <QMessageBox>

namespace {
const QString kBoxTitle = QStringLiteral("Orvik16(KX/LX) Update");
} // namespace

void MainWindow::identityReported()
{
    if (Unit.pending()) {
        if (Unit.answered(DeviceSerial))
            return;
        giveWindowBack(tr("Another unit answered: serial number %1, not %2 as shown when Update "
                          "was pressed. No firmware was sent.\n\nThe window now shows the unit "
                          "that answered. If it is the unit to update, press Update again.")
                           .arg(DeviceSerialText, serialText(Unit.shownSerial())));
        return;
    }
    if (transferRunning() && DeviceSerial != Unit.updatedSerial()) {
        const QString updated = serialText(Unit.updatedSerial());
        endTransfer();
        giveWindowBack(
            tr("Another unit answered during the update: serial number %1, not %2. The update "
               "was stopped, so that nothing prepared for unit %2 reaches another unit.\n\n"
               "Unit %2 holds part of the new firmware: do not switch it off. Connect it again "
               "and press Update.")
                .arg(DeviceSerialText, updated));
        return;
    }
    if (Version.running() && ConnState == Connected)
        versionReported();
}

void MainWindow::unitCheckTick()
{
    switch (Unit.tick()) {
    case UnitCheck::Tick::Wait:
        return;
    case UnitCheck::Tick::AskAgain:
        Session.SendIdentityRequest();
        return;
    case UnitCheck::Tick::Announce:
        beginUpdate();
        return;
    case UnitCheck::Tick::GiveUp:
        giveWindowBack(tr("The unit did not answer when asked who it is, so no firmware was "
                          "sent.\n\nCheck both MIDI cables and the chosen ports, then press "
                          "Update again."));
        return;
    }
}

void MainWindow::giveWindowBack(const QString& text)
{
    Note.clear();
    QMessageBox::warning(this, kBoxTitle, text, QMessageBox::Ok, QMessageBox::NoButton);
    refreshControls();
    progressBar->hide();
}

QString MainWindow::serialText(std::uint32_t serial)
{
    return QString::fromLatin1(Session.FormatSerialText(static_cast<std::int32_t>(serial)));
}

void MainWindow::startVersionCheck()
{
    Version.start();
    // What it showed was the old firmware's.
    VersionEdit->clear();
    ResultNote.askingForVersion();
    Session.SendIdentityRequest();
}

void MainWindow::versionCheckTick()
{
    if (ConnState != Connected) {
        Version.stop();
        return;
    }
    switch (Version.tick()) {
    case VersionCheck::Tick::Wait:
        return;
    case VersionCheck::Tick::Ask:
        Session.SendIdentityRequest();
        return;
    case VersionCheck::Tick::GiveUp:
        ResultNote.noAnswerForVersion();
        return;
    }
}

void MainWindow::versionReported()
{
    Version.stop();
    if (DeviceSerial != Unit.updatedSerial()) {
        ResultNote.otherUnitAnswered(DeviceSerialText, serialText(Unit.updatedSerial()));
        return;
    }
    const QString reported = VersionEdit->text();
    const QString expected = QString::fromLatin1(kFirmwareVersionText);
    if (DeviceVersion == kFirmwareVersion) {
        ResultNote.runsThisUpdate(reported);
        return;
    }
    ResultNote.runsOtherVersion(reported, expected);
    QMessageBox::warning(
        this, kBoxTitle,
        tr("After the update the unit reports firmware version %1, but this update installs "
           "version %2.\n\nThe new firmware is not running. Press Update to repeat the "
           "update; if the unit still reports %1 afterwards, contact the maker's support.")
            .arg(reported, expected),
        QMessageBox::Ok, QMessageBox::NoButton);
}
