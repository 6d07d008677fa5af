// Prints the MIDI ports exactly as the updater lists them, one per line:
// "in N NAME" and "out N NAME", then a tab and what the updater knows the
// port by across a re-plug, so that scripts can find a port's row, on one
// interface of two identical ones too.
#include "MidiPorts.h"

#include <cstdio>
#include <string>

namespace {

std::string utf8(const std::u16string& text)
{
    std::string out;
    for (const char16_t unit : text) {
        const auto c = static_cast<char32_t>(unit);
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

void print(const char* direction, bool input)
{
    for (const MidiPortInfo& port : ReadMidiPorts(input))
        std::printf("%s %u %s\t%s\n", direction, port.device, utf8(port.name).c_str(),
                    utf8(port.identity).c_str());
}

} // namespace

int main()
{
    print("in", true);
    print("out", false);
    return 0;
}
