// Makes the development stand-ins for the maker's data, and embeds binary data
// as C++ arrays. Runs at build time only; never shipped.
//
//   orvik-devdata image OUT             450560-byte development firmware image
//   orvik-devdata table OUT             8192-byte development scramble table
//   orvik-devdata embed IN OUT NAME N   C++ source defining `const uint8_t NAME[N]`

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kImageSize = 450560;
constexpr std::size_t kTableSize = 8192;

// splitmix64: tiny, well distributed, and the same on every platform, so the
// stand-ins are byte-identical wherever they are built.
struct SplitMix
{
    std::uint64_t state;
    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

std::vector<std::uint8_t> makeImage()
{
    std::vector<std::uint8_t> image(kImageSize);
    SplitMix rng{0x0A16'2006'0000'0001ull};
    for (auto& b : image)
        b = static_cast<std::uint8_t>(rng.next() >> 56);
    // Guarantee every byte value, in order, in block 1 so that the top-bit
    // handling of the 7-bit encoding meets 0x7F/0x80 and 0xFF for certain.
    for (int i = 0; i < 512; ++i)
        image[512 + i] = static_cast<std::uint8_t>(i);
    // Real firmware ends in erased flash; make the last blocks look like it.
    for (std::size_t i = kImageSize - 4 * 512; i < kImageSize; ++i)
        image[i] = 0xFF;
    // And some zero padding in the middle.
    for (std::size_t i = 200 * 512; i < 202 * 512; ++i)
        image[i] = 0x00;
    return image;
}

std::vector<std::uint8_t> makeTable()
{
    std::vector<std::uint8_t> table(kTableSize);
    SplitMix rng{0x5C4A'4B1E'7AB1'E000ull};
    for (auto& b : table)
        b = static_cast<std::uint8_t>(rng.next() >> 56);
    return table;
}

bool writeFile(const std::string& path, const std::vector<std::uint8_t>& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

int embed(const std::string& in, const std::string& out, const std::string& name,
          std::size_t expected)
{
    std::ifstream file(in, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "orvik-devdata: cannot read %s\n", in.c_str());
        return 1;
    }
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(file)), {});
    if (data.size() != expected) {
        std::fprintf(stderr, "orvik-devdata: %s has %zu bytes; expected %zu\n", in.c_str(),
                     data.size(), expected);
        return 1;
    }
    std::string text = "// Generated from the build's data; do not edit.\n#include <cstdint>\n\n";
    text += "extern const std::uint8_t " + name + "[" + std::to_string(expected) + "];\n";
    text += "alignas(64) const std::uint8_t " + name + "[" + std::to_string(expected) + "] = {";
    char item[16];
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::snprintf(item, sizeof item, "%s%u,", i % 16 ? "" : "\n    ", data[i]);
        text += item;
    }
    text += "\n};\n";
    std::ofstream o(out, std::ios::trunc);
    o << text;
    return o ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "image")
        return writeFile(args[1], makeImage()) ? 0 : 1;
    if (args.size() == 2 && args[0] == "table")
        return writeFile(args[1], makeTable()) ? 0 : 1;
    if (args.size() == 5 && args[0] == "embed")
        return embed(args[1], args[2], args[3], std::stoul(args[4]));
    std::fprintf(stderr, "usage: orvik-devdata image OUT | table OUT | embed IN OUT NAME SIZE\n");
    return 2;
}
