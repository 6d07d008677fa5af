#include "PortWatch.h"

#include "MidiPortPair.h"

#include <QListWidget>
#include <QSignalBlocker>
#include <QStringList>
#include <QStyle>

#include <algorithm>

namespace {

constexpr int kUserIdentity = Qt::UserRole;

QString fromUtf16(const std::u16string& text)
{
    return QString::fromUtf16(text.data(), qsizetype(text.size()));
}

// The room a row's text has in `list`: inside its frame, beside the
// scroll bar that a long list grows, within the margins the view keeps.
int textRoom(const QListWidget* list)
{
    const QStyle* style = list->style();
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1;
    return list->width() - 2 * list->frameWidth() -
           style->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list) - 2 * margin;
}

} // namespace

PortWatch::PortWatch(MidiPortPair& pair) : pair_(pair) {}

void PortWatch::attach(QListWidget* inputs, QListWidget* outputs)
{
    inputs_ = inputs;
    outputs_ = outputs;
    for (QListWidget* list : {inputs, outputs}) {
        // A wider row would scroll the whole list sideways, and the ends of
        // the names, which tell ports apart, with it.
        list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        list->setTextElideMode(Qt::ElideMiddle);
        list->setWordWrap(false);
    }
    // What the user picks is remembered by port; the lists' own changes of
    // the current row (see show()) are not picks.
    QObject::connect(inputs, &QListWidget::currentRowChanged, inputs, [this](int row) {
        if (row >= 0 && std::size_t(row) < shownInputs_.size())
            pickedInput_ = shownInputs_[std::size_t(row)];
    });
    QObject::connect(outputs, &QListWidget::currentRowChanged, outputs, [this](int row) {
        if (row >= 0 && std::size_t(row) < shownOutputs_.size())
            pickedOutput_ = shownOutputs_[std::size_t(row)];
    });
}

std::vector<PortWatch::Port> PortWatch::read(bool input)
{
    std::vector<Port> ports;
    for (const MidiPortInfo& info : ReadMidiPorts(input))
        ports.push_back({fromUtf16(info.name), fromUtf16(info.identity), 0});
    for (Port& port : ports) {
        port.twins = int(std::count_if(ports.begin(), ports.end(), [&](const Port& other) {
            return other.identity == port.identity;
        }));
    }
    return ports;
}

QString PortWatch::noInputText()
{
    return tr("No MIDI input port found.\nConnect the MIDI interface;\nits ports appear here.");
}

QString PortWatch::noOutputText()
{
    return tr("No MIDI output port found.\nConnect the MIDI interface;\nits ports appear here.");
}

void PortWatch::follow()
{
    // Before the window has handed over its lists there is nothing to show.
    if (!inputs_ || !outputs_)
        return;
    show(inputs_, shownInputs_, read(true), pickedInput_, noInputText());
    show(outputs_, shownOutputs_, read(false), pickedOutput_, noOutputText());
}

// Shows `ports` in `list`, which says what to do when there are none. The
// row picked is `picked`'s port while it is there, else the one current
// before, else the first. A list that already shows these ports is left
// alone, so that a tick never moves it under the user's hand.
void PortWatch::show(QListWidget* list, std::vector<Port>& shown, const std::vector<Port>& ports,
                     const Port& picked, const QString& whenEmpty)
{
    if (list->count() > 0 && shown == ports)
        return;
    const QSignalBlocker quiet(list);
    const int currentRow = list->currentRow();
    const Port before = currentRow >= 0 && std::size_t(currentRow) < shown.size()
                            ? shown[std::size_t(currentRow)]
                            : Port{};
    shown = ports;
    list->clear();
    if (ports.empty()) {
        // Not a port: it cannot be chosen.
        auto* item = new QListWidgetItem(whenEmpty, list);
        item->setFlags(Qt::NoItemFlags);
        return;
    }
    const int room = textRoom(list);
    for (const Port& port : ports) {
        // Shortened in the middle: the start names the interface, the end
        // says which of its ports this is.
        auto* item = new QListWidgetItem(
            list->fontMetrics().elidedText(port.name, Qt::ElideMiddle, room), list);
        item->setToolTip(port.name);
        item->setData(Qt::AccessibleTextRole, port.name);
        item->setData(kUserIdentity, port.identity);
    }
    int row = -1;
    for (const Port& wanted : {picked, before}) {
        if (wanted.identity.isEmpty())
            continue;
        row = locate({wanted}, 0, ports);
        if (row >= 0)
            break;
    }
    list->setCurrentRow(std::max(row, 0));
}

int PortWatch::findAgain(const Port& port, const std::vector<Port>& ports)
{
    std::vector<int> same;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (ports[i].identity == port.identity)
            same.push_back(int(i));
    }
    if (same.empty())
        return -1;
    // Twins when it was opened: after a re-plug, nothing says which one it
    // was.
    if (same.size() > 1 || port.twins > 1)
        return -2;
    return same.front();
}

int PortWatch::locate(const std::vector<Port>& shown, int row, const std::vector<Port>& now)
{
    if (row < 0 || std::size_t(row) >= shown.size())
        return -1;
    // Nothing came or went: the row is the port, twins or not.
    if (shown == now)
        return row;
    const Port& port = shown[std::size_t(row)];
    std::vector<int> same;
    for (std::size_t i = 0; i < now.size(); ++i) {
        if (now[i].identity == port.identity)
            same.push_back(int(i));
    }
    if (same.size() > 1) {
        // Twins that still read differently (by their address) are still
        // told apart by it.
        same.erase(std::remove_if(same.begin(), same.end(),
                                  [&](int i) { return now[std::size_t(i)].name != port.name; }),
                   same.end());
    }
    if (same.empty())
        return -1;
    return same.size() == 1 ? same.front() : -2;
}

QString PortWatch::openFailure(const QString& direction, const QString& name, MMRESULT result,
                               const std::u16string& text)
{
    QString reason;
    switch (result) {
    case MMSYSERR_ALLOCATED:
        reason = tr("it is in use by another program. Close the other program and try again.");
        break;
    case MMSYSERR_BADDEVICEID:
    case MIDIERR_NODEVICE:
        reason = tr("it is no longer there. Was the interface unplugged? Plug it in again; its "
                    "ports come back in the lists.");
        break;
    case MMSYSERR_NODRIVER:
        reason = tr("the MIDI system cannot reach it; its driver or server is not running.");
        break;
    case MMSYSERR_NOMEM:
        reason = tr("the system is out of memory.");
        break;
    default:
        reason = text.empty() ? tr("the MIDI system gave error %1.").arg(result)
                              : tr("the MIDI system says: %1").arg(fromUtf16(text));
        break;
    }
    // The system's own words come with the plainer ones above, when it has
    // words of its own (no permission, no sequencer).
    if (result == MMSYSERR_NODRIVER && !text.empty())
        reason += QLatin1Char(' ') + tr("The MIDI system says: %1").arg(fromUtf16(text));
    return tr("The MIDI %1 port \"%2\" could not be opened: %3").arg(direction, name, reason);
}

bool PortWatch::open()
{
    failure_.clear();
    if (!inputs_ || !outputs_)
        return false;
    const int inputRow = inputs_->currentRow();
    const int outputRow = outputs_->currentRow();
    if (noInputPorts() || noOutputPorts()) {
        failure_ = tr("There is no MIDI port to connect to. Connect the MIDI interface; its "
                      "ports appear in the lists within a second.");
        return false;
    }
    if (inputRow < 0 || outputRow < 0 || std::size_t(inputRow) >= shownInputs_.size() ||
        std::size_t(outputRow) >= shownOutputs_.size()) {
        failure_ = tr("Choose the unit's ports in both lists, then press Connect.");
        return false;
    }
    // The rows are the ports as they were last read; since then some may
    // have come or gone, and the numbers they open by moved. The port of the
    // row is found in a new reading by what it is, and that reading both
    // opens it and is what the lists show from now on.
    const Port input = shownInputs_[std::size_t(inputRow)];
    const Port output = shownOutputs_[std::size_t(outputRow)];
    const std::vector<Port> inputsNow = read(true);
    const std::vector<Port> outputsNow = read(false);
    const int inputAt = locate(shownInputs_, inputRow, inputsNow);
    const int outputAt = locate(shownOutputs_, outputRow, outputsNow);
    pickedInput_ = input;
    pickedOutput_ = output;
    show(inputs_, shownInputs_, inputsNow, input, noInputText());
    show(outputs_, shownOutputs_, outputsNow, output, noOutputText());
    if (inputAt == -2 || outputAt == -2) {
        failure_ = tr("The MIDI ports changed as Connect was pressed, and the port picked now "
                      "reads the same as another. Check the picked ports, then press Connect "
                      "again.");
        return false;
    }

    QStringList lines;
    MMRESULT inputResult = MIDIERR_NODEVICE;
    MMRESULT outputResult = MIDIERR_NODEVICE;
    std::u16string inputText;
    std::u16string outputText;
    if (inputAt >= 0 && outputAt >= 0 && pair_.Open(inputAt, outputAt)) {
        input_ = inputsNow[std::size_t(inputAt)];
        output_ = outputsNow[std::size_t(outputAt)];
        away_ = Away::No;
        return true;
    }
    if (inputAt >= 0 && outputAt >= 0) {
        inputResult = pair_.InputOpenResult;
        outputResult = pair_.OutputOpenResult;
        inputText = pair_.InputOpenText;
        outputText = pair_.OutputOpenText;
    } else {
        if (inputAt >= 0)
            inputResult = MMSYSERR_NOERROR;
        if (outputAt >= 0)
            outputResult = MMSYSERR_NOERROR;
    }
    // One port may have opened; it must not stay held by this tool.
    pair_.Close();
    if (inputResult != MMSYSERR_NOERROR)
        lines << openFailure(tr("input"), input.name, inputResult, inputText);
    if (outputResult != MMSYSERR_NOERROR)
        lines << openFailure(tr("output"), output.name, outputResult, outputText);
    failure_ = lines.join(QStringLiteral("\n\n"));
    return false;
}

void PortWatch::close()
{
    pair_.Close();
    input_ = Port{};
    output_ = Port{};
    away_ = Away::No;
    follow();
}

PortWatch::Change PortWatch::watch()
{
    // Nothing to find again without the ports it was opened on.
    if (input_.identity.isEmpty() || output_.identity.isEmpty())
        return Change::None;
    const std::vector<Port> inputsNow = read(true);
    const std::vector<Port> outputsNow = read(false);
    const int inputAt = findAgain(input_, inputsNow);
    const int outputAt = findAgain(output_, outputsNow);
    if (away_ == Away::No) {
        // Still listed, as often as when it was opened: the pair holds it.
        auto listed = [](const Port& port, const std::vector<Port>& ports) {
            return std::count_if(ports.begin(), ports.end(), [&](const Port& p) {
                       return p.identity == port.identity;
                   }) >= port.twins;
        };
        if (listed(input_, inputsNow) && listed(output_, outputsNow))
            return Change::None;
        // The numbers the pair was opened from may now name other ports;
        // nothing goes out until these ports are back.
        pair_.Close();
        away_ = Away::Gone;
        return Change::Lost;
    }
    if (inputAt == -1 || outputAt == -1) {
        away_ = Away::Gone;
        return Change::None;
    }
    if (inputAt == -2 || outputAt == -2) {
        away_ = Away::Unsure;
        return Change::None;
    }
    if (!pair_.Open(inputAt, outputAt)) {
        pair_.Close();
        return Change::None;
    }
    away_ = Away::No;
    return Change::Back;
}
