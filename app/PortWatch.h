// The MIDI ports behind the window's two lists: what the lists show, which
// rows are picked, and the interface behind the opened pair, known by what
// stays the same when it is unplugged and plugged back in rather than by its
// name or its place in a list. The window calls it on its tick, at Connect
// and at Disconnect; it opens and closes the pair, and leaves the rest of
// the window to the window.
#pragma once

#include "MidiPorts.h"

#include <QCoreApplication>
#include <QString>

#include <vector>

class MidiPortPair;
class QListWidget;

class PortWatch
{
    Q_DECLARE_TR_FUNCTIONS(PortWatch)

public:
    // What became of the opened pair's interface since the last tick.
    enum class Change
    {
        None,
        Lost, // it went: the pair is closed
        Back, // it returned: the pair is open again on the same ports
    };

    explicit PortWatch(MidiPortPair& pair);

    // Takes over the lists: they keep their size, and a long name is shown
    // with its middle left out, whole in its tooltip and accessible name.
    void attach(QListWidget* inputs, QListWidget* outputs);

    // While nothing is open: the lists follow the ports the MIDI system has
    // now, each pick kept on its port (not on its name or row) while it is
    // there, and picked again when it returns.
    void follow();

    // Opens the pair on the ports of the picked rows. False when it could
    // not; failure() then says why, for the user.
    bool open();
    QString failure() const { return failure_; }

    // Closes the pair and forgets it; the lists follow the ports again.
    void close();

    // While a pair is open, or was until its interface went: one reading of
    // the ports, and what became of the interface. Reopens the pair only on
    // the same ports, and only where nothing else could be them.
    Change watch();

    // The opened pair's interface has gone, and the pair is closed.
    bool away() const { return away_ != Away::No; }
    // Something of its kind is back, but more than one port could be the
    // one the pair was opened on: the window cannot tell which holds the
    // unit, and waits.
    bool unsure() const { return away_ == Away::Unsure; }
    // A list without a single port: nothing to connect to.
    bool noInputPorts() const { return shownInputs_.empty(); }
    bool noOutputPorts() const { return shownOutputs_.empty(); }
    // The opened ports' whole names.
    QString openedInput() const { return input_.name; }
    QString openedOutput() const { return output_.name; }

private:
    struct Port
    {
        QString name;
        QString identity;
        // Ports of this identity in the reading it was opened from: more
        // than one, and a re-plug cannot say which is which.
        int twins = 0;
        bool operator==(const Port&) const = default;
    };
    enum class Away
    {
        No,
        Gone,
        Unsure,
    };
    // -1 when `port` is not in `ports`; -2 when several could be it.
    static int findAgain(const Port& port, const std::vector<Port>& ports);
    static std::vector<Port> read(bool input);
    void show(QListWidget* list, std::vector<Port>& shown, const std::vector<Port>& ports,
              const Port& picked, const QString& whenEmpty);
    // Where the port of `row` of `shown` is in `now`, a newer reading.
    static int locate(const std::vector<Port>& shown, int row, const std::vector<Port>& now);
    static QString noInputText();
    static QString noOutputText();
    static QString openFailure(const QString& direction, const QString& name, MMRESULT result,
                               const std::u16string& text);

    MidiPortPair& pair_;
    QListWidget* inputs_ = nullptr;
    QListWidget* outputs_ = nullptr;
    std::vector<Port> shownInputs_;
    std::vector<Port> shownOutputs_;
    // The port last picked in each list, by the user or by a test; kept
    // while its port is gone, so that it is picked again when it returns.
    Port pickedInput_;
    Port pickedOutput_;
    // The ports the pair was opened on; empty while none is.
    Port input_;
    Port output_;
    Away away_ = Away::No;
    QString failure_;
};
