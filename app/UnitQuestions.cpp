// The unit behind the ports, around an update: who it is before the image is
// prepared for it and while the image goes out, and which firmware it runs
// once it has restarted. Everything here runs on the GUI thread.

#include "FirmwareVersion.h"
#include "MainWindow.h"

#include <QLabel>
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
    UpdateResultText->setText(tr("Asking the unit which firmware it runs now; it may take a "
                                 "few seconds to restart..."));
    UpdateResultText->show();
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
        UpdateResultText->setText(
            tr("The unit has not answered for a minute since the update, so the firmware it "
               "runs is not known. Check that it is on and both MIDI cables are in, then press "
               "Disconnect and Connect."));
        return;
    }
}

void MainWindow::versionReported()
{
    Version.stop();
    if (DeviceSerial != Unit.updatedSerial()) {
        UpdateResultText->setText(
            tr("A unit with serial number %1 answered, not the unit just updated (%2), so the "
               "firmware that one runs is not known. Connect the updated unit, then press "
               "Disconnect and Connect.")
                .arg(DeviceSerialText, serialText(Unit.updatedSerial())));
        return;
    }
    const QString reported = VersionEdit->text();
    const QString expected = QString::fromLatin1(kFirmwareVersionText);
    if (DeviceVersion == kFirmwareVersion) {
        UpdateResultText->setText(
            tr("The unit now runs firmware %1, the version of this update.").arg(reported));
        return;
    }
    UpdateResultText->setText(tr("The unit reports firmware %1, not %2.").arg(reported, expected));
    QMessageBox::warning(
        this, kBoxTitle,
        tr("After the update the unit reports firmware version %1, but this update installs "
           "version %2.\n\nThe new firmware is not running. Press Update to repeat the "
           "update; if the unit still reports %1 afterwards, contact the maker's support.")
            .arg(reported, expected),
        QMessageBox::Ok, QMessageBox::NoButton);
}
