// Carries one completed SysEx input buffer from the MIDI layer's thread to the
// GUI thread through Qt's posted-event queue.
#pragma once

#include "TsanAnnotations.h"
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

    // The receiving thread's side of the hand-off, for ThreadSanitizer: call
    // it on every event before reading anything of it, its type included.
    // Qt's queue orders the post before the delivery, but Qt is not
    // instrumented, so TSan must be told. Costs nothing in other builds.
    static void Receive(QEvent* event) { ORVIK_TSAN_ACQUIRE(event); }

    MIDIHDR* Header;
};
