#include "WinmmDevices.h"

#include "winmm.h"

namespace orvik::testsupport {
namespace {

constexpr UINT kMostDevices = 1000;

template <class Caps, class Query>
int find(std::u16string_view name, Query query)
{
    for (UINT id = 0; id < kMostDevices; ++id) {
        Caps caps{};
        if (query(id, &caps, sizeof caps) != MMSYSERR_NOERROR)
            return -1;
        if (std::u16string_view(reinterpret_cast<const char16_t*>(caps.szPname)) == name)
            return static_cast<int>(id);
    }
    return -1;
}

} // namespace

int findInputDevice(std::u16string_view name)
{
    return find<MIDIINCAPSW>(name, &midiInGetDevCapsW);
}

int findOutputDevice(std::u16string_view name)
{
    return find<MIDIOUTCAPSW>(name, &midiOutGetDevCapsW);
}

} // namespace orvik::testsupport
