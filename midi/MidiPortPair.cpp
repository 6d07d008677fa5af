#include "MidiPortPair.h"

#include "MidiPorts.h"

#include <cstring>

namespace {

// A device number of -1 (a list with no current row) reaches the platform as
// winmm's UINT, unchanged.
UINT deviceId(int device)
{
    return static_cast<UINT>(device);
}

} // namespace

MidiPortPair::MidiPortPair() = default;

MidiPortPair::~MidiPortPair()
{
    Close();
}

void MidiPortPair::SetReceiver(QObject* receiver)
{
    Receiver = receiver;
}

bool MidiPortPair::Open(int inputDevice, int outputDevice)
{
    Close();
    StopFlag = false;

    HMIDIIN in = nullptr;
    InputOpenResult =
        midiInOpen(&in, deviceId(inputDevice), reinterpret_cast<DWORD_PTR>(&MidiInCallback),
                   reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    const bool inputOpened = InputOpenResult == MMSYSERR_NOERROR;
    InputOpenText = inputOpened ? std::u16string() : MidiOpenFailureText(true, InputOpenResult);
    if (inputOpened) {
        MidiIn = in;
        for (int i = 0; i < kInputBufferCount; ++i)
            QueueInputBuffer();
        midiInStart(in);
    }

    HMIDIOUT out = nullptr;
    OutputOpenResult =
        midiOutOpen(&out, deviceId(outputDevice), reinterpret_cast<DWORD_PTR>(&MidiOutCallback),
                    reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    const bool outputOpened = OutputOpenResult == MMSYSERR_NOERROR;
    OutputOpenText = outputOpened ? std::u16string() : MidiOpenFailureText(false, OutputOpenResult);
    if (outputOpened)
        MidiOut = out;

    return inputOpened && outputOpened;
}

void MidiPortPair::Close()
{
    if (HMIDIIN in = MidiIn.load()) {
        // The flag goes up before the input stops, so that the buffers the
        // reset hands back are kept here instead of travelling to the GUI.
        StopFlag = true;
        midiInStop(in);
        midiInReset(in);
        midiInClose(in);
        MidiIn = nullptr;

        // No callback for this handle runs any more: what it handed back
        // while closing is ours to release.
        std::vector<MIDIHDR*> returned;
        {
            std::lock_guard lock(ReturnedLock);
            returned.swap(Returned);
        }
        for (MIDIHDR* header : returned)
            ReleaseInputBuffer(header);
    }
    if (MidiOut) {
        midiOutReset(MidiOut);
        midiOutClose(MidiOut);
        MidiOut = nullptr;
    }
}

void MidiPortPair::QueueInputBuffer()
{
    HMIDIIN in = MidiIn.load();
    if (StopFlag || !in)
        return;

    auto* header = new MIDIHDR{};
    header->lpData = new char[kInputBufferSize]();
    header->dwBufferLength = kInputBufferSize;

    if (midiInPrepareHeader(in, header, sizeof(MIDIHDR)) != MMSYSERR_NOERROR) {
        ReleaseInputBuffer(header);
        return;
    }
    if (midiInAddBuffer(in, header, sizeof(MIDIHDR)) != MMSYSERR_NOERROR) {
        midiInUnprepareHeader(in, header, sizeof(MIDIHDR));
        ReleaseInputBuffer(header);
    }
}

void MidiPortPair::UnprepareInputBuffer(MIDIHDR* header)
{
    midiInUnprepareHeader(MidiIn.load(), header, sizeof(MIDIHDR));
}

void MidiPortPair::ReleaseInputBuffer(MIDIHDR* header)
{
    if (!header)
        return;
    delete[] header->lpData;
    delete header;
}

void MidiPortPair::KeepReturnedBuffer(MIDIHDR* header)
{
    std::lock_guard lock(ReturnedLock);
    Returned.push_back(header);
}

bool MidiPortPair::SendLongMessage(std::uint8_t* buffer, DWORD length)
{
    if (!MidiOut) {
        delete[] buffer;
        return false;
    }

    auto* header = new MIDIHDR{};
    header->lpData = reinterpret_cast<LPSTR>(buffer);
    header->dwBufferLength = length;
    header->dwUser = reinterpret_cast<DWORD_PTR>(MidiOut);

    if (midiOutPrepareHeader(MidiOut, header, sizeof(MIDIHDR)) != MMSYSERR_NOERROR) {
        delete[] buffer;
        delete header;
        return false;
    }
    if (midiOutLongMsg(MidiOut, header, sizeof(MIDIHDR)) != MMSYSERR_NOERROR) {
        // Refused: the driver never owned it, so no MOM_DONE will release it.
        midiOutUnprepareHeader(MidiOut, header, sizeof(MIDIHDR));
        delete[] buffer;
        delete header;
        return false;
    }
    return true;
}

const WCHAR* MidiPortPair::InputPortName(int device)
{
    if (midiInGetDevCapsW(static_cast<UINT_PTR>(deviceId(device)), &InCaps, sizeof(MIDIINCAPSW)) !=
        MMSYSERR_NOERROR)
        return nullptr;
    return InCaps.szPname;
}

const WCHAR* MidiPortPair::OutputPortName(int device)
{
    if (midiOutGetDevCapsW(static_cast<UINT_PTR>(deviceId(device)), &OutCaps,
                           sizeof(MIDIOUTCAPSW)) != MMSYSERR_NOERROR)
        return nullptr;
    return OutCaps.szPname;
}

void CALLBACK MidiOutCallback(HMIDIOUT, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR)
{
    auto* header = reinterpret_cast<MIDIHDR*>(param1);
    if (message != MOM_DONE || !header)
        return;
    // The handle comes from the header, so this never touches the pair and
    // still works for messages that complete while the pair closes.
    midiOutUnprepareHeader(reinterpret_cast<HMIDIOUT>(header->dwUser), header, sizeof(MIDIHDR));
    delete[] reinterpret_cast<std::uint8_t*>(header->lpData);
    delete header;
}
