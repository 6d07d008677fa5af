// Carries one completed SysEx input buffer from the MIDI layer's thread to the
// GUI thread through Qt's posted-event queue.
#pragma once

#include "winmm.h"

#include <QEvent>

inline constexpr int kMidiEventType = 1000; // QEvent::User

class MidiEvent : public QEvent
{
public:
    explicit MidiEvent(MIDIHDR* header);
    // Releases the buffer only if nobody took it: Qt deletes events that are
    // still queued when their receiver dies, and their buffers must not leak.
    ~MidiEvent() override;

    // The receiver takes the buffer out of the event and becomes its owner.
    MIDIHDR* TakeHeader();

    MIDIHDR* Header;
};
