#include "MidiPorts.h"

#ifndef _WIN32
#include "WinmmLayer_p.h"
#endif

#ifdef _WIN32

namespace {

std::u16string fromCaps(const WCHAR* text)
{
    return std::u16string(reinterpret_cast<const char16_t*>(text));
}

} // namespace

std::vector<MidiPortInfo> ReadMidiPorts(bool input)
{
    std::vector<MidiPortInfo> ports;
    const UINT count = input ? midiInGetNumDevs() : midiOutGetNumDevs();
    for (UINT id = 0; id < count; ++id) {
        std::u16string name;
        if (input) {
            MIDIINCAPSW caps{};
            if (midiInGetDevCapsW(id, &caps, sizeof(caps)) != MMSYSERR_NOERROR)
                continue;
            name = fromCaps(caps.szPname);
        } else {
            MIDIOUTCAPSW caps{};
            if (midiOutGetDevCapsW(id, &caps, sizeof(caps)) != MMSYSERR_NOERROR)
                continue;
            name = fromCaps(caps.szPname);
        }
        // Windows numbers identical devices itself ("2- NAME"); the name,
        // cut to 31 characters, is all winmm says of a device.
        ports.push_back({id, name, u"winmm " + name});
    }
    return ports;
}

std::u16string MidiOpenFailureText(bool input, MMRESULT result)
{
    WCHAR text[MAXERRORLENGTH] = {};
    const MMRESULT got = input ? midiInGetErrorTextW(result, text, MAXERRORLENGTH)
                               : midiOutGetErrorTextW(result, text, MAXERRORLENGTH);
    return got == MMSYSERR_NOERROR ? fromCaps(text) : std::u16string();
}

#else

std::vector<MidiPortInfo> ReadMidiPorts(bool input)
{
    std::vector<MidiPortInfo> ports;
    UINT id = 0;
    for (auto& device : orvik::winmm::readDevices(input))
        ports.push_back({id++, std::move(device.name), std::move(device.identity)});
    return ports;
}

std::u16string MidiOpenFailureText(bool, MMRESULT)
{
    return orvik::winmm::utf16(orvik::winmm::takeOpenFailureText());
}

#endif
