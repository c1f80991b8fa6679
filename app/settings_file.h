// The settings file: an INI file read and written one value at a time, with the rules of the
// classic profile functions the file format comes from:
//  - section and key names match without regard to ASCII case; blanks around names and values
//    are ignored;
//  - the first matching section and, inside it, the first matching key win;
//  - a value enclosed in a matching pair of single or double quotes is read without them;
//  - a write keeps every other line (comments, unknown keys and sections) as it is, replaces an
//    existing key's line in place, adds a missing key at the end of its section and a missing
//    section at the end of the file;
//  - LF and CRLF files both read, and a write keeps the file's line ending (a new file uses LF).
// The text logic lives in pure functions on strings; SettingsFile adds the file around them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tqv {

namespace ini {

// The value of `key` in the first section named `section` of `text`, blanks around it removed
// and one pair of enclosing quotes dropped; empty when the section or the key is missing.
std::string LookupValue(std::string_view text, std::string_view section, std::string_view key);

// Whether `text` has a section named `section` and that section a key named `key`.
bool HasKey(std::string_view text, std::string_view section, std::string_view key);

// Whether a section name, key name and value can be written as one line each that the names
// find again: names are not empty after trimming; a section name holds no ']', a key name no
// '=' and does not start with '[' or ';'; nothing holds a line break or a NUL.
bool IsWritable(std::string_view section, std::string_view key, std::string_view value);

// `text` with `key` in `section` set to `value` (see the rules above). Returns `text` unchanged
// when IsWritable is false.
std::string ReplaceValue(std::string_view text, std::string_view section, std::string_view key,
                         std::string_view value);

}  // namespace ini

class SettingsFile {
  public:
    // At most this many characters of a value are read; the rest of a longer value is ignored.
    static constexpr std::size_t kMaxValueLength = 9;

    void SetPath(std::string path) { path_ = std::move(path); }
    const std::string& path() const { return path_; }

    // The value's first kMaxValueLength characters; empty when the file, the section or the key
    // is missing, or the path is not a readable regular file.
    std::string ReadValue(std::string_view section, std::string_view key) const;

    // Sets one value, creating the file (and its folder) and the section when needed. The file
    // is replaced atomically: a reader or a crash sees the old file or the new one, never a torn
    // one. False when nothing was written: the path is not a regular file, cannot be read or
    // written, or the names or the value are not writable.
    bool WriteValue(std::string_view section, std::string_view key, std::string_view text) const;

    // Several values of one section in one atomic replacement, in the order given.
    bool WriteValues(std::string_view section,
                     const std::vector<std::pair<std::string, std::string>>& values) const;

  private:
    std::string path_;
};

}  // namespace tqv
