// Device names as winmm's caps records carry them.

#include "WinmmLayer_p.h"

#include <algorithm>
#include <string>
#include <utility>

namespace orvik::winmm {

namespace {

constexpr std::size_t kNameUnits = MAXPNAMELEN - 1;

bool isHighSurrogate(char16_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

// Cuts to at most `units` without leaving the first half of a pair behind.
void cutName(std::u16string& name, std::size_t units)
{
    if (name.size() <= units)
        return;
    name.resize(units);
    if (!name.empty() && isHighSurrogate(name.back()))
        name.pop_back();
}

} // namespace

std::u16string capsName(std::string_view utf8)
{
    std::u16string out = utf16(utf8);
    cutName(out, kNameUnits);
    return out;
}

std::u16string utf16(std::string_view utf8)
{
    std::u16string out;
    out.reserve(utf8.size());
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* end = p + utf8.size();
    // Names come from other programs: malformed UTF-8 becomes U+FFFD rather
    // than garbage or a read past the end.
    while (p < end) {
        const unsigned char lead = *p;
        char32_t cp = 0xFFFD;
        int extra = 0;
        char32_t min = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = lead & 0x1F;
            extra = 1;
            min = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = lead & 0x0F;
            extra = 2;
            min = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            cp = lead & 0x07;
            extra = 3;
            min = 0x10000;
        } else {
            extra = -1;
        }
        ++p;
        if (extra < 0) {
            cp = 0xFFFD;
        } else if (extra > 0) {
            bool ok = end - p >= extra;
            for (int i = 0; ok && i < extra; ++i)
                ok = (p[i] & 0xC0) == 0x80;
            if (ok) {
                for (int i = 0; i < extra; ++i)
                    cp = (cp << 6) | (p[i] & 0x3F);
                p += extra;
                if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
                    cp = 0xFFFD;
            } else {
                cp = 0xFFFD;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::vector<std::u16string> distinctNames(const DeviceList& list)
{
    std::vector<std::string> plain;
    plain.reserve(list.size());
    for (const auto& device : list)
        plain.push_back(device->name());
    std::vector<std::u16string> names;
    names.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        std::string name = plain[i];
        const std::string address = list[i]->address();
        // The address, not a count: a row keeps its name while others come
        // and go, and says which port it is.
        if (!address.empty() && std::count(plain.begin(), plain.end(), plain[i]) > 1)
            name += ' ' + address;
        names.push_back(utf16(name));
    }
    return names;
}

void makeNamesUnique(std::vector<std::u16string>& names)
{
    std::vector<std::u16string> taken;
    taken.reserve(names.size());
    auto isTaken = [&](const std::u16string& name) {
        return std::find(taken.begin(), taken.end(), name) != taken.end();
    };
    for (std::u16string& name : names) {
        if (isTaken(name)) {
            for (unsigned n = 2;; ++n) {
                std::u16string suffix = u" ";
                for (char c : std::to_string(n))
                    suffix.push_back(static_cast<char16_t>(c));
                std::u16string candidate = name;
                cutName(candidate, kNameUnits - suffix.size());
                candidate += suffix;
                if (!isTaken(candidate)) {
                    name = std::move(candidate);
                    break;
                }
            }
        }
        taken.push_back(name);
    }
}

} // namespace orvik::winmm
