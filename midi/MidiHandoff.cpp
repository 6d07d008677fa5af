// Moves completed input buffers from the MIDI layer's thread to the GUI
// thread without copying them and without a lock: Qt's posted-event queue is
// the only channel between the two.

#include "MidiEvent.h"
#include "MidiPortPair.h"

#include <QCoreApplication>

#include <utility>

MidiEvent::MidiEvent(MIDIHDR* header)
    : QEvent(static_cast<QEvent::Type>(kMidiEventType)), Header(header)
{}

MidiEvent::~MidiEvent()
{
    // Qt also deletes events that were never delivered (their receiver went
    // away), without Receive() having run.
    Receive(this);
    MidiPortPair::ReleaseInputBuffer(Header);
}

MIDIHDR* MidiEvent::TakeHeader()
{
    return std::exchange(Header, nullptr);
}

void CALLBACK MidiInCallback(HMIDIIN handle, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                             DWORD_PTR)
{
    if (!instance)
        return;
    reinterpret_cast<MidiPortPair*>(instance)->OnMidiInMessage(handle, message,
                                                               reinterpret_cast<MIDIHDR*>(param1));
}

void MidiPortPair::OnMidiInMessage(HMIDIIN handle, UINT message, MIDIHDR* header)
{
    if (message != MIM_LONGDATA && message != MIM_LONGERROR)
        return; // open and close notices, short messages, MIM_ERROR: no buffer involved
    if (!header)
        return;

    HMIDIIN current = MidiIn.load();
    if ((current && current != handle) || StopFlag || !Receiver) {
        // Not forwarded: the input is closing, or this is a stale handle.
        // Close releases it once no callback can run any more.
        KeepReturnedBuffer(header);
        return;
    }
    if (message == MIM_LONGERROR) {
        // An incomplete SysEx: nothing in it may be acted on, but the buffer
        // still goes to the GUI thread so that it is replaced and released;
        // otherwise every such error would leave the input one buffer short
        // until it goes deaf.
        header->dwBytesRecorded = 0;
    }
    auto* event = new MidiEvent(header);
    // Publishes the event with the header and the bytes it carries; nothing
    // of them is touched on this thread after the post.
    ORVIK_TSAN_RELEASE(event);
    QCoreApplication::postEvent(Receiver, event, Qt::NormalEventPriority);
}
