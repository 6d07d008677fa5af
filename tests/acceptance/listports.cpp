// Prints the MIDI devices exactly as the updater lists them, one per line:
// "in N NAME" and "out N NAME", so that scripts can find a port's row.
#include "winmm.h"

#include <cstdio>
#include <string>

namespace {

std::string utf8(const WCHAR* name)
{
    std::string out;
    for (; *name; ++name) {
        const char32_t c = static_cast<char32_t>(*name);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace

int main()
{
    MIDIINCAPSW in{};
    for (UINT n = 0; n < 100 && midiInGetDevCapsW(n, &in, sizeof in) == MMSYSERR_NOERROR; ++n)
        std::printf("in %u %s\n", n, utf8(in.szPname).c_str());
    MIDIOUTCAPSW out{};
    for (UINT n = 0; n < 100 && midiOutGetDevCapsW(n, &out, sizeof out) == MMSYSERR_NOERROR; ++n)
        std::printf("out %u %s\n", n, utf8(out.szPname).c_str());
    return 0;
}
