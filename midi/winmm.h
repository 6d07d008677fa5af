// The Windows multimedia MIDI interface, on every platform.
//
// On Windows this is the real <mmsystem.h> and winmm. Elsewhere it is our own
// layer (WinmmLayer.cpp and the files beside it) with the same calls, records,
// constants and result codes, backed by RtMidi (ALSA sequencer, JACK,
// CoreMIDI) and, in tests, by in-process loopback devices (loopback/). The port pair is written
// once against this interface and behaves the same everywhere.
#pragma once

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <mmsystem.h>

#else // !_WIN32

#include <cstdint>

#ifndef CALLBACK
#define CALLBACK
#endif

using UINT = unsigned int;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using DWORD_PTR = std::uintptr_t;
using UINT_PTR = std::uintptr_t;
using MMRESULT = UINT;
using MMVERSION = UINT;
using WCHAR = char16_t; // UTF-16, as on Windows
using LPSTR = char*;

struct HMIDIIN__;
struct HMIDIOUT__;
using HMIDIIN = HMIDIIN__*;
using HMIDIOUT = HMIDIOUT__*;
using LPHMIDIIN = HMIDIIN*;
using LPHMIDIOUT = HMIDIOUT*;

inline constexpr int MAXPNAMELEN = 32;

struct MIDIHDR
{
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    MIDIHDR* lpNext;
    DWORD_PTR reserved;
    DWORD dwOffset;
    DWORD_PTR dwReserved[8];
};
using LPMIDIHDR = MIDIHDR*;

struct MIDIINCAPSW
{
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    WCHAR szPname[MAXPNAMELEN];
    DWORD dwSupport;
};
using LPMIDIINCAPSW = MIDIINCAPSW*;

struct MIDIOUTCAPSW
{
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    WCHAR szPname[MAXPNAMELEN];
    WORD wTechnology;
    WORD wVoices;
    WORD wNotes;
    WORD wChannelMask;
    DWORD dwSupport;
};
using LPMIDIOUTCAPSW = MIDIOUTCAPSW*;

// Result codes, with winmm's values.
inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
inline constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT MMSYSERR_HANDLEBUSY = 12;

inline constexpr MMRESULT MIDIERR_BASE = 64;
inline constexpr MMRESULT MIDIERR_UNPREPARED = MIDIERR_BASE + 0;
inline constexpr MMRESULT MIDIERR_STILLPLAYING = MIDIERR_BASE + 1;
inline constexpr MMRESULT MIDIERR_NOMAP = MIDIERR_BASE + 2;
inline constexpr MMRESULT MIDIERR_NOTREADY = MIDIERR_BASE + 3;
inline constexpr MMRESULT MIDIERR_NODEVICE = MIDIERR_BASE + 4;
inline constexpr MMRESULT MIDIERR_INVALIDSETUP = MIDIERR_BASE + 5;
inline constexpr MMRESULT MIDIERR_BADOPENMODE = MIDIERR_BASE + 6;
inline constexpr MMRESULT MIDIERR_DONT_CONTINUE = MIDIERR_BASE + 7;

// Open flags.
inline constexpr DWORD CALLBACK_NULL = 0x00000000;
inline constexpr DWORD CALLBACK_FUNCTION = 0x00030000;

// Callback messages.
inline constexpr UINT MIM_OPEN = 0x3C1;
inline constexpr UINT MIM_CLOSE = 0x3C2;
inline constexpr UINT MIM_DATA = 0x3C3;
inline constexpr UINT MIM_LONGDATA = 0x3C4;
inline constexpr UINT MIM_ERROR = 0x3C5;
inline constexpr UINT MIM_LONGERROR = 0x3C6;
inline constexpr UINT MOM_OPEN = 0x3C7;
inline constexpr UINT MOM_CLOSE = 0x3C8;
inline constexpr UINT MOM_DONE = 0x3C9;

// MIDIHDR flags.
inline constexpr DWORD MHDR_DONE = 0x00000001;
inline constexpr DWORD MHDR_PREPARED = 0x00000002;
inline constexpr DWORD MHDR_INQUEUE = 0x00000004;

using MIDIINPROC = void(CALLBACK*)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
using MIDIOUTPROC = void(CALLBACK*)(HMIDIOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

MMRESULT midiInGetDevCapsW(UINT_PTR uDeviceID, LPMIDIINCAPSW pmic, UINT cbmic);
MMRESULT midiOutGetDevCapsW(UINT_PTR uDeviceID, LPMIDIOUTCAPSW pmoc, UINT cbmoc);

MMRESULT midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                    DWORD fdwOpen);
MMRESULT midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiInStart(HMIDIIN hmi);
MMRESULT midiInStop(HMIDIIN hmi);
MMRESULT midiInReset(HMIDIIN hmi);
MMRESULT midiInClose(HMIDIIN hmi);

MMRESULT midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                     DWORD fdwOpen);
MMRESULT midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiOutReset(HMIDIOUT hmo);
MMRESULT midiOutClose(HMIDIOUT hmo);

#endif // _WIN32
