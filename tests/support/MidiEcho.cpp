// orvik-midi-echo NAME [alsa]
//
// Sends back every MIDI message it receives, SysEx included, on two virtual
// ports of JACK (or, with "alsa", of the ALSA sequencer): "NAME-in:in"
// (write to it) and "NAME-out:out" (read from it).
// Prints "ready" once both exist and runs until its standard input closes, so
// it never outlives the test that started it. On exit it prints how many
// messages it echoed.

#include <rtmidi/RtMidi.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

std::atomic<unsigned long> echoed{0};
std::atomic<bool> failed{false};

void report(RtMidiError::Type type, const std::string& text, void*)
{
    std::cerr << "orvik-midi-echo: " << text << '\n';
    if (type != RtMidiError::WARNING && type != RtMidiError::DEBUG_WARNING)
        failed = true;
}

void received(double, std::vector<unsigned char>* message, void* out)
{
    if (!message || message->empty())
        return;
    static_cast<RtMidiOut*>(out)->sendMessage(message->data(), message->size());
    ++echoed;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3 || (argc == 3 && std::string(argv[2]) != "alsa")) {
        std::cerr << "usage: orvik-midi-echo NAME [alsa]\n";
        return 2;
    }
    const std::string name = argv[1];
    const RtMidi::Api api = argc == 3 ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
    try {
        auto out = std::make_unique<RtMidiOut>(api, name + "-out");
        out->setErrorCallback(&report, nullptr);
        out->openVirtualPort("out");
        auto in = std::make_unique<RtMidiIn>(api, name + "-in", 1000);
        in->setErrorCallback(&report, nullptr);
        in->ignoreTypes(false, true, true);
        in->setCallback(&received, out.get());
        in->openVirtualPort("in");
        if (failed) {
            std::cerr << "orvik-midi-echo: cannot open the ports\n";
            return 1;
        }
        std::cout << "ready" << std::endl;

        char byte;
        while (::read(0, &byte, 1) > 0) {
        }
        in->cancelCallback();
        in.reset();
        out.reset();
    } catch (const RtMidiError& error) {
        std::cerr << "orvik-midi-echo: " << error.getMessage() << '\n';
        return 1;
    }
    std::cerr << "orvik-midi-echo: echoed " << echoed.load() << " messages\n";
    return 0;
}
