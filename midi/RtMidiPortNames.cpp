#include "RtMidiPortNames_p.h"

#ifdef ORVIK_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>

namespace orvik::winmm::rtmidibackend {
namespace {

// ALSA names end in the port's numeric address ("Synth:Synth MIDI 1 20:0"),
// which the sequencer hands out anew on every plug: it is shown only where
// it tells two ports of one name apart. Returns where the address starts,
// or npos.
std::size_t alsaAddressAt(const std::string& name)
{
    const std::size_t space = name.rfind(' ');
    if (space == std::string::npos || space == 0)
        return std::string::npos;
    const std::string address = name.substr(space + 1);
    const std::size_t colon = address.find(':');
    const bool numeric = colon != std::string::npos && colon > 0 && colon + 1 < address.size() &&
                         address.find(':', colon + 1) == std::string::npos &&
                         std::all_of(address.begin(), address.end(),
                                     [](char c) { return c == ':' || (c >= '0' && c <= '9'); });
    return numeric ? space : std::string::npos;
}

#ifdef ORVIK_HAVE_ALSA
// The card behind a kernel client, as a re-plugged interface keeps it: its
// long name carries the bus path ("... at usb-0000:00:14.0-2, high speed"),
// which stays with the socket it is plugged into. The card's id is left
// out: it follows the order interfaces are plugged in ("Anniv", "Anniv_1"),
// so two twins pulled together and plugged back the other way round swap
// theirs. Empty for a program's own client, which has no card.
std::string alsaCard(int client)
{
    static std::mutex mutex;
    // Leaked like the listers; one client for the process, which never
    // makes a port: it only asks.
    static snd_seq_t* seq = nullptr;
    std::lock_guard lock(mutex);
    if (!seq) {
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK) < 0) {
            seq = nullptr;
            return {};
        }
        snd_seq_set_client_name(seq, kClientName);
    }
    snd_seq_client_info_t* info = nullptr;
    snd_seq_client_info_alloca(&info);
    if (snd_seq_get_any_client_info(seq, client, info) < 0)
        return {};
    const int card = snd_seq_client_info_get_card(info);
    if (card < 0)
        return {};
    char* longName = nullptr;
    if (snd_card_get_longname(card, &longName) == 0 && longName) {
        std::string name(longName);
        std::free(longName);
        return name;
    }
    // Without the right to open the card's control device: the long name
    // as /proc shows it to everyone, on the line below the card's number.
    std::ifstream cards("/proc/asound/cards");
    const std::string number = std::to_string(card) + " [";
    std::string line;
    while (std::getline(cards, line)) {
        const std::size_t at = line.find_first_not_of(' ');
        if (at == std::string::npos || line.compare(at, number.size(), number) != 0)
            continue;
        if (!std::getline(cards, line))
            break;
        const std::size_t start = line.find_first_not_of(' ');
        return start == std::string::npos ? std::string() : line.substr(start);
    }
    return {};
}
#endif

} // namespace

std::string shownName(RtMidi::Api api, const std::string& name)
{
    const std::size_t at = api == RtMidi::LINUX_ALSA ? alsaAddressAt(name) : std::string::npos;
    return at == std::string::npos ? name : name.substr(0, at);
}

std::string shownAddress(RtMidi::Api api, const std::string& name)
{
    const std::size_t at = api == RtMidi::LINUX_ALSA ? alsaAddressAt(name) : std::string::npos;
    return at == std::string::npos ? std::string() : name.substr(at + 1);
}

// What stays the same when the port's interface is plugged in again: on
// ALSA the card, the names and the port's number in its client (twin
// interfaces share the names but not the card), or for a program's client
// its names; on JACK and CoreMIDI the whole name.
std::string portIdentity(RtMidi::Api api, const std::string& name)
{
    if (api == RtMidi::UNIX_JACK)
        return "jack " + name;
    if (api != RtMidi::LINUX_ALSA)
        return "coremidi " + name;
    const std::string address = shownAddress(api, name);
    const std::size_t colon = address.find(':');
    if (colon == std::string::npos)
        return "alsa " + name;
    const std::string port = address.substr(colon + 1);
#ifdef ORVIK_HAVE_ALSA
    const std::string card = alsaCard(std::atoi(address.c_str()));
    // With the names: a card may have several clients, each with its own
    // port 0 (the virtual raw MIDI card has one per device).
    if (!card.empty())
        return "alsa card " + card + ": " + shownName(api, name) + " port " + port;
#endif
    return "alsa client " + shownName(api, name) + " port " + port;
}

} // namespace orvik::winmm::rtmidibackend
