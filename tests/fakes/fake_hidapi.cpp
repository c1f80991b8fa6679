#include "tests/fakes/fake_hidapi.h"

#include <hidapi.h>

#include <map>
#include <mutex>
#include <thread>

struct hid_device_ {
    int id;
};

namespace tqv::fake_hid {
namespace {

struct State {
    std::mutex mutex;
    std::vector<Call> calls;
    bool openSucceeds = false;
    bool writeResultIsLength = true;
    int writeResult = 0;
    std::chrono::milliseconds writeDuration{0};
    int nextId = 1;
    // Open handles and the number of writes each has under way.
    std::map<hid_device*, int> open;
    // Closed handles stay allocated until Reset, so a new handle never reuses an old address.
    std::vector<hid_device*> closed;
    int misuses = 0;

    // Handles still allocated when the process ends are freed with the state, so a test that
    // does not reset the fake afterwards reports no leak.
    ~State() {
        for (auto& [device, writes] : open)
            delete device;
        for (hid_device* device : closed)
            delete device;
    }
};

State& S() {
    static State state;
    return state;
}

Call Named(const char* function) {
    Call call;
    call.function = function;
    return call;
}

}  // namespace

void Reset() {
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.calls.clear();
    s.openSucceeds = false;
    s.writeResultIsLength = true;
    s.writeResult = 0;
    s.writeDuration = std::chrono::milliseconds(0);
    for (auto& [device, writes] : s.open)
        delete device;
    s.open.clear();
    for (hid_device* device : s.closed)
        delete device;
    s.closed.clear();
    s.misuses = 0;
}

void SetOpenSucceeds(bool succeeds) {
    std::lock_guard lock(S().mutex);
    S().openSucceeds = succeeds;
}

void SetWriteResult(int result) {
    std::lock_guard lock(S().mutex);
    S().writeResultIsLength = false;
    S().writeResult = result;
}

void UseWrittenLengthAsResult() {
    std::lock_guard lock(S().mutex);
    S().writeResultIsLength = true;
}

void SetWriteDuration(std::chrono::milliseconds duration) {
    std::lock_guard lock(S().mutex);
    S().writeDuration = duration;
}

std::vector<Call> Calls() {
    std::lock_guard lock(S().mutex);
    return S().calls;
}

std::vector<std::string> Functions() {
    std::vector<std::string> names;
    for (const Call& call : Calls())
        names.push_back(call.function);
    return names;
}

int OpenHandles() {
    std::lock_guard lock(S().mutex);
    return static_cast<int>(S().open.size());
}

int Misuses() {
    std::lock_guard lock(S().mutex);
    return S().misuses;
}

}  // namespace tqv::fake_hid

using tqv::fake_hid::Call;
using tqv::fake_hid::Named;
using tqv::fake_hid::S;

extern "C" {

int hid_init(void) {
    std::lock_guard lock(S().mutex);
    S().calls.push_back(Named("hid_init"));
    return 0;
}

int hid_exit(void) {
    std::lock_guard lock(S().mutex);
    S().calls.push_back(Named("hid_exit"));
    return 0;
}

hid_device* hid_open(unsigned short vendor_id, unsigned short product_id,
                     const wchar_t* serial_number) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    Call call = Named("hid_open");
    call.vendorId = vendor_id;
    call.productId = product_id;
    call.serialGiven = serial_number != nullptr;
    hid_device* device = nullptr;
    if (s.openSucceeds) {
        device = new hid_device{s.nextId++};
        s.open[device] = 0;
        call.device = device->id;
    }
    s.calls.push_back(std::move(call));
    return device;
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
    auto& s = S();
    std::chrono::milliseconds duration;
    int id = 0;
    {
        std::lock_guard lock(s.mutex);
        Call call = Named("hid_write");
        auto it = s.open.find(dev);
        if (it == s.open.end()) {
            ++s.misuses;
        } else {
            ++it->second;
            id = dev->id;
        }
        call.device = id;
        if (data != nullptr)
            call.data.assign(data, data + length);
        s.calls.push_back(std::move(call));
        duration = s.writeDuration;
    }
    if (duration.count() > 0)
        std::this_thread::sleep_for(duration);
    std::lock_guard lock(s.mutex);
    auto it = s.open.find(dev);
    if (it == s.open.end()) {
        if (id != 0)
            ++s.misuses;  // closed while the write was under way
        return -1;
    }
    --it->second;
    return s.writeResultIsLength ? static_cast<int>(length) : s.writeResult;
}

void hid_close(hid_device* dev) {
    auto& s = S();
    std::lock_guard lock(s.mutex);
    Call call = Named("hid_close");
    auto it = s.open.find(dev);
    if (it == s.open.end()) {
        ++s.misuses;
    } else {
        call.device = dev->id;
        if (it->second > 0)
            ++s.misuses;
        s.open.erase(it);
        s.closed.push_back(dev);
    }
    s.calls.push_back(std::move(call));
}

}  // extern "C"
