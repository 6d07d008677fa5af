// Misbehaviour the simulated unit puts on at chosen messages, so that the
// tool's recovery paths run on demand.
//
// Message numbers count from the BeginUpdate of the current update, which is
// message 0; the first data slice is message 1 and the last commit of a clean
// update is message 6160. A schedule applies to every update the simulator
// serves, and messages before the first BeginUpdate are never touched.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvik::devsim {

enum class Injection : int
{
    Silent,    // no answer at all, as if the acknowledgement were lost
    Repeat,    // ask for the block again instead of acknowledging
    Restart,   // ask for a restart from block 0 instead of acknowledging
    Late,      // answer after the configured delay
    Duplicate, // acknowledge twice
    Unrelated, // other makers' and models' SysEx and short messages first
    Oversized, // a SysEx longer than the tool's input buffer first
    // What a transport does to a message on its way to the unit.
    Doubled, // the unit receives the message twice
    Overdue, // answer after the overdue delay, past the tool's watchdog
};
inline constexpr int kInjectionKindCount = 9;

// A set of kinds, one bit per Injection.
using InjectionKinds = std::uint32_t;
inline constexpr InjectionKinds kAllInjectionKinds = (1u << kInjectionKindCount) - 1;

const char* injectionName(Injection kind);
std::optional<Injection> injectionFromName(std::string_view name);
// "silent,doubled"; on failure says why in `error`.
std::optional<InjectionKinds> injectionKindsFromText(std::string_view text, std::string* error);

class FaultSchedule
{
public:
    void add(std::uint64_t message, Injection kind);
    // Parses "kind@N" or "kind@N,M,...", e.g. "silent@120"; on failure leaves
    // the schedule as it was and says why in `error`.
    bool addFromText(std::string_view text, std::string* error);
    void merge(const FaultSchedule& other);

    // `count` injections of kinds drawn from `kinds` at distinct messages in
    // 1..last. Message 0 is left alone because the tool arms its watchdog
    // only once the unit has answered the BeginUpdate. The final commit
    // (6160) is fair game: the tool waits for its acknowledgement like any
    // other.
    static FaultSchedule random(int count, std::uint64_t seed, std::uint64_t last = 6160,
                                InjectionKinds kinds = kAllInjectionKinds);

    bool has(std::uint64_t message, Injection kind) const;
    bool any(std::uint64_t message) const;
    bool empty() const { return entries_.empty(); }
    std::size_t size() const;

    // "silent@120 repeat@3000", for logs.
    std::string describe() const;

private:
    std::map<std::uint64_t, std::uint32_t> entries_; // message -> bit per Injection
};

} // namespace orvik::devsim
