// A hidapi stand-in for end-to-end tests of the real executable, loaded with LD_PRELOAD so that
// its functions replace the real library's. Every call appends one line to the file named by
// TQV_FAKE_HIDAPI_LOG: "open 5131 2007", "write <65 bytes as hex>", "close", "init", "exit".
// hid_open succeeds only when TQV_FAKE_HIDAPI_OPEN is "1".
#include <hidapi.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct FakeDevice {
    int unused = 0;
};

void Log(const std::string& line) {
    const char* path = std::getenv("TQV_FAKE_HIDAPI_LOG");
    if (!path) return;
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::string text = line + "\n";
    // One write per line keeps lines whole when several threads log.
    if (::write(fd, text.data(), text.size()) < 0) {
    }
    ::close(fd);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int hid_init(void) {
    Log("init");
    return 0;
}

__attribute__((visibility("default"))) int hid_exit(void) {
    Log("exit");
    return 0;
}

__attribute__((visibility("default"))) hid_device* hid_open(unsigned short vendor_id,
                                                            unsigned short product_id,
                                                            const wchar_t* serial_number) {
    char line[64];
    std::snprintf(line, sizeof line, "open %04x %04x%s", vendor_id, product_id,
                  serial_number ? " serial" : "");
    Log(line);
    const char* succeed = std::getenv("TQV_FAKE_HIDAPI_OPEN");
    if (succeed && std::strcmp(succeed, "1") == 0) {
        return reinterpret_cast<hid_device*>(new FakeDevice);
    }
    return nullptr;
}

__attribute__((visibility("default"))) int hid_write(hid_device* device, const unsigned char* data,
                                                     size_t length) {
    std::string line = "write";
    char hex[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, " %02x", data[i]);
        line += hex;
    }
    Log(line);
    return device ? static_cast<int>(length) : -1;
}

__attribute__((visibility("default"))) void hid_close(hid_device* device) {
    Log("close");
    delete reinterpret_cast<FakeDevice*>(device);
}

}  // extern "C"
