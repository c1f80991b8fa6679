// Fuzzes the settings file's text functions. The input's first bytes choose a section, a key and
// a value; the rest is the file's text. Besides running into no sanitizer report, every write
// must read back, leave every other value as it was, and be idempotent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/settings_file.h"

namespace {

constexpr std::string_view kSections[] = {"VELKRAN SETTINGS", "velkran settings", " S ", "a"};
constexpr std::string_view kKeys[] = {"TEMPERATURE", "ATUO START", "tft_speed", "k"};

bool SameNoCase(std::string_view a, std::string_view b) {
    auto trim = [](std::string_view s) {
        while (!s.empty() && s.front() == ' ')
            s.remove_prefix(1);
        while (!s.empty() && s.back() == ' ')
            s.remove_suffix(1);
        return s;
    };
    a = trim(a);
    b = trim(b);
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

void Check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::uint8_t pick = input.empty() ? 0 : static_cast<std::uint8_t>(input[0]);
    if (!input.empty())
        input.remove_prefix(1);

    // Value: up to 15 bytes of the input, kept to characters a value reads back unchanged.
    std::string value;
    std::size_t valueLength = std::min<std::size_t>(pick >> 4, input.size());
    for (char c : input.substr(0, valueLength)) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
            c == '-' || c == '+' || c == '_') {
            value += c;
        }
    }
    input.remove_prefix(valueLength);
    const std::string_view text = input;
    const std::string_view section = kSections[pick & 3];
    const std::string_view key = kKeys[(pick >> 2) & 3];

    std::string written = tqv::ini::ReplaceValue(text, section, key, value);
    Check(tqv::ini::LookupValue(written, section, key) == value);
    Check(tqv::ini::HasKey(written, section, key));
    Check(tqv::ini::ReplaceValue(written, section, key, value) == written);

    for (std::string_view otherSection : kSections) {
        for (std::string_view otherKey : kKeys) {
            if (SameNoCase(otherSection, section) && SameNoCase(otherKey, key))
                continue;
            Check(tqv::ini::LookupValue(written, otherSection, otherKey) ==
                  tqv::ini::LookupValue(text, otherSection, otherKey));
        }
    }

    // Names that cannot be written leave the text as it is.
    Check(tqv::ini::ReplaceValue(text, section, "a=b", value) == text);
    Check(tqv::ini::ReplaceValue(text, "x]", key, value) == text);
    Check(tqv::ini::ReplaceValue(text, section, key, "1\n[x]") == text);
    return 0;
}
