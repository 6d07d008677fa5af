// One MIDI input and one MIDI output port, opened and closed together.
//
// All operations run on the GUI thread; the two driver callbacks run on the
// MIDI layer's thread. This header stays free of Qt so that the port pair can
// be compiled against the real Windows headers.
#pragma once

#include "winmm.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class QObject;

inline constexpr DWORD kInputBufferSize = 1024;
inline constexpr int kInputBufferCount = 2;

class MidiPortPair
{
public:
    MidiPortPair();
    ~MidiPortPair();
    MidiPortPair(const MidiPortPair&) = delete;
    MidiPortPair& operator=(const MidiPortPair&) = delete;

    void SetReceiver(QObject* receiver);
    bool Open(int inputDevice, int outputDevice);
    void Close();
    void QueueInputBuffer();
    void UnprepareInputBuffer(MIDIHDR* header);
    // Takes ownership of `buffer` (allocated with new[]) whatever the result.
    bool SendLongMessage(std::uint8_t* buffer, DWORD length);
    const WCHAR* InputPortName(int device);
    const WCHAR* OutputPortName(int device);

    // Driver callback thread (MidiHandoff.cpp).
    void OnMidiInMessage(HMIDIIN handle, UINT message, MIDIHDR* header);

    // Frees an input buffer made by QueueInputBuffer (header and data block).
    static void ReleaseInputBuffer(MIDIHDR* header);

    MIDIINCAPSW InCaps{};
    MIDIOUTCAPSW OutCaps{};
    // Written on the GUI thread, read on the callback thread.
    std::atomic<HMIDIIN> MidiIn{nullptr};
    HMIDIOUT MidiOut = nullptr;
    std::atomic<bool> StopFlag{false};
    QObject* Receiver = nullptr;
    // What the MIDI system answered to the last Open, for the user to read
    // when a port would not open.
    MMRESULT InputOpenResult = MMSYSERR_NOERROR;
    MMRESULT OutputOpenResult = MMSYSERR_NOERROR;
    // And the MIDI system's own words for it, where it has any.
    std::u16string InputOpenText;
    std::u16string OutputOpenText;

private:
    // Input buffers that the driver handed back but that were not forwarded
    // (the input was closing): released by Close once no callback can run.
    void KeepReturnedBuffer(MIDIHDR* header);
    std::mutex ReturnedLock;
    std::vector<MIDIHDR*> Returned;
};

void CALLBACK MidiInCallback(HMIDIIN handle, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                             DWORD_PTR param2);
void CALLBACK MidiOutCallback(HMIDIOUT handle, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                              DWORD_PTR param2);
