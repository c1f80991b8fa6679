#include "app/settings_file.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/file_io.h"
#include "platform/paths.h"

namespace tqv {
namespace ini {
namespace {

constexpr std::string_view kBlanks = " \t\r\v\f";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view text) {
    auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

enum class LineKind { Blank, Section, Key, Other };

// One line of the text. Offsets are into the whole text; `end` is the position of the line's
// '\n' (or the text's end), so a CR before it still belongs to [begin, end).
struct Line {
    std::size_t begin = 0;
    std::size_t end = 0;
    LineKind kind = LineKind::Blank;
    std::string_view name;    // section name or key name, trimmed
    std::string_view value;   // key value, trimmed
    std::size_t nameEnd = 0;  // offset just past the key name
};

Line ParseLine(std::string_view text, std::size_t begin, std::size_t end) {
    Line line;
    line.begin = begin;
    line.end = end;
    std::string_view raw = text.substr(begin, end - begin);
    std::string_view content = Trim(raw);
    if (content.empty())
        return line;

    if (content.front() == '[') {
        auto close = content.rfind(']');
        if (close != std::string_view::npos && close > 0) {
            line.kind = LineKind::Section;
            line.name = Trim(content.substr(1, close - 1));
            return line;
        }
    }
    if (content.front() == ';') {
        line.kind = LineKind::Other;
        return line;
    }
    line.kind = LineKind::Key;
    auto equals = content.find('=');
    std::string_view name = Trim(content.substr(0, equals));
    line.name = name;
    line.nameEnd = static_cast<std::size_t>(name.data() - text.data()) + name.size();
    if (equals != std::string_view::npos)
        line.value = Trim(content.substr(equals + 1));
    return line;
}

// Calls `visit(line)` for each line of `text` until it returns false.
template <typename Visit>
void ForEachLine(std::string_view text, Visit&& visit) {
    std::size_t pos = text.substr(0, kUtf8Bom.size()) == kUtf8Bom ? kUtf8Bom.size() : 0;
    while (pos < text.size()) {
        auto newline = text.find('\n', pos);
        std::size_t end = newline == std::string_view::npos ? text.size() : newline;
        if (!visit(ParseLine(text, pos, end)))
            return;
        pos = end + 1;
    }
}

// Where `key` lives in the first section named `section`.
struct Location {
    bool sectionFound = false;
    bool keyFound = false;
    Line keyLine;
    Line lastFilledLine;  // the section's last non-blank line (its header when it has none)
};

Location Locate(std::string_view text, std::string_view section, std::string_view key) {
    Location where;
    section = Trim(section);
    key = Trim(key);
    if (section.empty() || key.empty())
        return where;
    bool inside = false;
    ForEachLine(text, [&](const Line& line) {
        if (line.kind == LineKind::Section) {
            if (inside)
                return false;  // the first matching section has ended
            if (EqualNoCase(line.name, section)) {
                inside = true;
                where.sectionFound = true;
                where.lastFilledLine = line;
            }
            return true;
        }
        if (!inside || line.kind == LineKind::Blank)
            return true;
        where.lastFilledLine = line;
        if (line.kind == LineKind::Key && EqualNoCase(line.name, key)) {
            where.keyFound = true;
            where.keyLine = line;
            return false;
        }
        return true;
    });
    return where;
}

std::string_view LineEnding(std::string_view text) {
    auto newline = text.find('\n');
    if (newline != std::string_view::npos && newline > 0 && text[newline - 1] == '\r') {
        return "\r\n";
    }
    return "\n";
}

bool HasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace

std::string LookupValue(std::string_view text, std::string_view section, std::string_view key) {
    Location where = Locate(text, section, key);
    if (!where.keyFound)
        return {};
    std::string_view value = where.keyLine.value;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

bool HasKey(std::string_view text, std::string_view section, std::string_view key) {
    return Locate(text, section, key).keyFound;
}

bool IsWritable(std::string_view section, std::string_view key, std::string_view value) {
    section = Trim(section);
    key = Trim(key);
    if (section.empty() || key.empty())
        return false;
    if (HasLineBreakOrNul(section) || HasLineBreakOrNul(key) || HasLineBreakOrNul(value)) {
        return false;
    }
    if (section.find(']') != std::string_view::npos)
        return false;
    if (key.find('=') != std::string_view::npos || key.front() == '[' || key.front() == ';') {
        return false;
    }
    return true;
}

std::string ReplaceValue(std::string_view text, std::string_view section, std::string_view key,
                         std::string_view value) {
    std::string result(text);
    if (!IsWritable(section, key, value))
        return result;
    section = Trim(section);
    key = Trim(key);
    const std::string_view eol = LineEnding(text);
    Location where = Locate(text, section, key);

    if (where.keyFound) {
        // Keep the line's indentation, the key as spelled in the file and the line's ending.
        const Line& line = where.keyLine;
        std::size_t tail = line.end;
        if (tail > line.begin && text[tail - 1] == '\r')
            --tail;
        std::string replacement(text.substr(line.begin, line.nameEnd - line.begin));
        replacement += '=';
        replacement += value;
        result.replace(line.begin, tail - line.begin, replacement);
        return result;
    }

    std::string entry(key);
    entry += '=';
    entry += value;

    if (where.sectionFound) {
        const Line& after = where.lastFilledLine;
        if (after.end < text.size()) {
            result.insert(after.end + 1, entry + std::string(eol));
        } else {
            result += eol;
            result += entry;
            result += eol;
        }
        return result;
    }

    if (!result.empty() && result.back() != '\n')
        result += eol;
    result += '[';
    result += section;
    result += ']';
    result += eol;
    result += entry;
    result += eol;
    return result;
}

}  // namespace ini

namespace {

enum class FileState { Missing, Regular, Unusable };

FileState StateOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? FileState::Missing : FileState::Unusable;
    }
    // Anything but a regular file (a folder, a FIFO, a device) is never read or replaced: a
    // FIFO would block the reader and a device could feed it without end.
    return S_ISREG(st.st_mode) ? FileState::Regular : FileState::Unusable;
}

}  // namespace

std::string SettingsFile::ReadValue(std::string_view section, std::string_view key) const {
    if (path_.empty() || StateOf(path_) != FileState::Regular)
        return {};
    std::string text;
    if (!platform::ReadWholeFile(path_, text))
        return {};
    std::string value = ini::LookupValue(text, section, key);
    if (value.size() > kMaxValueLength)
        value.resize(kMaxValueLength);
    return value;
}

bool SettingsFile::WriteValue(std::string_view section, std::string_view key,
                              std::string_view text) const {
    return WriteValues(section, {{std::string(key), std::string(text)}});
}

bool SettingsFile::WriteValues(
    std::string_view section,
    const std::vector<std::pair<std::string, std::string>>& values) const {
    if (path_.empty())
        return false;
    for (const auto& [key, value] : values) {
        if (!ini::IsWritable(section, key, value))
            return false;
    }
    std::string text;
    switch (StateOf(path_)) {
        case FileState::Unusable:
            return false;
        case FileState::Regular:
            // A file that exists but cannot be read is left alone rather than replaced by one
            // holding only the new value.
            if (!platform::ReadWholeFile(path_, text))
                return false;
            break;
        case FileState::Missing: {
            std::string folder = platform::FolderOf(path_);
            if (!folder.empty() && !platform::PathExists(folder) &&
                !platform::MakeDirectories(folder)) {
                return false;
            }
            break;
        }
    }
    for (const auto& [key, value] : values)
        text = ini::ReplaceValue(text, section, key, value);
    return platform::ReplaceFileAtomically(path_, text);
}

}  // namespace tqv
