// Where the progress bar was: what became of the update once it ended, and
// which firmware the unit says it runs afterwards (see VersionCheck).
#pragma once

#include <QString>

class QLabel;
class QRect;
class QWidget;

class UpdateResultNote
{
public:
    void attach(QWidget* area, const QRect& where);

    void hide();
    // Shown again as it was, once the interface is back.
    void showAgain();

    // Shown at once.
    void askingForVersion();
    void leftUnfinished();

    // What the version check found; said where the question was.
    void noAnswerForVersion();
    void otherUnitAnswered(const QString& answered, const QString& updated);
    void runsThisUpdate(const QString& version);
    void runsOtherVersion(const QString& reported, const QString& expected);

    QLabel* label() const { return label_; }

private:
    QLabel* label_ = nullptr;
};
