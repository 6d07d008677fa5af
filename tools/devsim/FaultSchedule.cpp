#include "FaultSchedule.h"

#include <algorithm>
#include <charconv>
#include <initializer_list>
#include <random>

namespace orvik::devsim {

namespace {

constexpr const char* kNames[kInjectionKindCount] = {
    "silent",    "repeat",    "restart", "late",    "duplicate",
    "unrelated", "oversized", "doubled", "overdue",
};

std::string knownNames()
{
    std::string known;
    for (const char* name : kNames) {
        if (!known.empty())
            known += ", ";
        known += name;
    }
    return known;
}

std::uint32_t bit(Injection kind)
{
    return 1u << static_cast<int>(kind);
}

// Appends rather than chaining "literal" + std::string, about which GCC 12
// warns falsely (-Wrestrict, -Warray-bounds) once it is inlined.
std::string joined(std::initializer_list<std::string_view> pieces)
{
    std::string text;
    for (const std::string_view piece : pieces)
        text += piece;
    return text;
}

} // namespace

const char* injectionName(Injection kind)
{
    const int i = static_cast<int>(kind);
    return i >= 0 && i < kInjectionKindCount ? kNames[i] : "?";
}

std::optional<Injection> injectionFromName(std::string_view name)
{
    for (int i = 0; i < kInjectionKindCount; ++i) {
        if (name == kNames[i])
            return static_cast<Injection>(i);
    }
    return std::nullopt;
}

std::optional<InjectionKinds> injectionKindsFromText(std::string_view text, std::string* error)
{
    InjectionKinds kinds = 0;
    while (true) {
        const auto comma = text.find(',');
        const std::string_view name = text.substr(0, comma);
        const auto kind = injectionFromName(name);
        if (!kind) {
            if (error)
                *error = joined({"unknown fault '", name, "' (known: ", knownNames(), ")"});
            return std::nullopt;
        }
        kinds |= bit(*kind);
        if (comma == std::string_view::npos)
            return kinds;
        text = text.substr(comma + 1);
    }
}

void FaultSchedule::add(std::uint64_t message, Injection kind)
{
    entries_[message] |= bit(kind);
}

bool FaultSchedule::addFromText(std::string_view text, std::string* error)
{
    auto fail = [&](std::string why) {
        if (error)
            *error = std::move(why);
        return false;
    };
    const auto at = text.find('@');
    if (at == std::string_view::npos)
        return fail(joined({"'", text, "' is not KIND@MESSAGE"}));
    const auto kind = injectionFromName(text.substr(0, at));
    if (!kind)
        return fail(
            joined({"unknown fault '", text.substr(0, at), "' (known: ", knownNames(), ")"}));

    std::vector<std::uint64_t> numbers;
    std::string_view rest = text.substr(at + 1);
    while (true) {
        const auto comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        std::uint64_t n = 0;
        const auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), n);
        if (item.empty() || ec != std::errc() || end != item.data() + item.size())
            return fail(joined({"'", item, "' in '", text, "' is not a message number"}));
        numbers.push_back(n);
        if (comma == std::string_view::npos)
            break;
        rest = rest.substr(comma + 1);
    }
    for (const auto n : numbers)
        add(n, *kind);
    return true;
}

void FaultSchedule::merge(const FaultSchedule& other)
{
    for (const auto& [message, bits] : other.entries_)
        entries_[message] |= bits;
}

FaultSchedule FaultSchedule::random(int count, std::uint64_t seed, std::uint64_t last,
                                    InjectionKinds kinds)
{
    FaultSchedule schedule;
    kinds &= kAllInjectionKinds;
    if (count <= 0 || last == 0 || kinds == 0)
        return schedule;
    std::vector<Injection> drawn;
    for (int i = 0; i < kInjectionKindCount; ++i) {
        if (kinds & (1u << i))
            drawn.push_back(static_cast<Injection>(i));
    }
    // mt19937_64's output is fixed by the standard, unlike the distributions,
    // so a seed gives the same schedule with every standard library.
    std::mt19937_64 rng(seed);
    const std::uint64_t wanted = std::min<std::uint64_t>(static_cast<std::uint64_t>(count), last);
    while (schedule.entries_.size() < wanted) {
        const std::uint64_t message = 1 + rng() % last;
        if (schedule.entries_.count(message))
            continue;
        schedule.add(message, drawn[rng() % drawn.size()]);
    }
    return schedule;
}

bool FaultSchedule::has(std::uint64_t message, Injection kind) const
{
    const auto it = entries_.find(message);
    return it != entries_.end() && (it->second & bit(kind));
}

bool FaultSchedule::any(std::uint64_t message) const
{
    return entries_.count(message) != 0;
}

std::size_t FaultSchedule::size() const
{
    std::size_t n = 0;
    for (const auto& [message, bits] : entries_) {
        for (int i = 0; i < kInjectionKindCount; ++i)
            n += (bits >> i) & 1u;
    }
    return n;
}

std::string FaultSchedule::describe() const
{
    std::string text;
    for (const auto& [message, bits] : entries_) {
        for (int i = 0; i < kInjectionKindCount; ++i) {
            if (!(bits & (1u << i)))
                continue;
            if (!text.empty())
                text += ' ';
            text += kNames[i];
            text += '@';
            text += std::to_string(message);
        }
    }
    return text;
}

} // namespace orvik::devsim
