#include "platform/autostart.h"

#include "platform/file_io.h"
#include "platform/paths.h"

namespace tqv::platform {
namespace {

std::string AutostartFolder() {
    return UserConfigDir() + "/autostart";
}

}  // namespace

std::string AutostartEntryPath() {
    return AutostartFolder() + "/Velkran.desktop";
}

std::string QuoteExecArgument(const std::string& path) {
    // First the Exec line's own quoting and field-code escaping...
    std::string quoted = "\"";
    for (char c : path) {
        switch (c) {
            case '"':
            case '`':
            case '$':
            case '\\':
                quoted += '\\';
                quoted += c;
                break;
            case '%':
                quoted += "%%";
                break;
            default:
                quoted += c;
        }
    }
    quoted += '"';

    // ...then the escaping of every string value in the file, which a reader undoes first.
    std::string escaped;
    escaped.reserve(quoted.size());
    for (char c : quoted) {
        switch (c) {
            case '\\':
                escaped += "\\\\";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '\t':
                escaped += "\\t";
                break;
            case '\r':
                escaped += "\\r";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string AutostartEntryText(const std::string& executablePath) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Velkran\n"
           "Exec=" +
           QuoteExecArgument(executablePath) +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

void SetAutostartEntry(int mode, const std::string& executablePath) {
    if (mode == 1) {
        if (executablePath.empty())
            return;
        std::string folder = AutostartFolder();
        if (!PathExists(folder) && !MakeDirectories(folder))
            return;
        ReplaceFileAtomically(AutostartEntryPath(), AutostartEntryText(executablePath));
    } else if (mode == 0) {
        RemoveFile(AutostartEntryPath());
    }
}

}  // namespace tqv::platform
