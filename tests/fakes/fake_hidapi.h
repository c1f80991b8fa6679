// A stand-in for the hidapi library, for tests: the hidapi functions with the real header's
// signatures, recording every call instead of touching a device. Switches make hid_open succeed
// or fail and hid_write report a result or take its time. Thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tqv::fake_hid {

struct Call {
    std::string function;            // "hid_init", "hid_exit", "hid_open", "hid_write", "hid_close"
    unsigned short vendorId = 0;     // hid_open
    unsigned short productId = 0;    // hid_open
    bool serialGiven = false;        // hid_open: a serial number was passed
    int device = 0;                  // hid_open (the handle returned, 0 for none), hid_write,
                                     // hid_close: the handle's number
    std::vector<std::uint8_t> data;  // hid_write: the bytes written
};

// Forgets every call and open handle and restores the defaults: hid_open fails, hid_write
// reports success at once.
void Reset();

void SetOpenSucceeds(bool succeeds);
// What hid_write returns; a negative value reports failure. Default: the length written.
void SetWriteResult(int result);
void UseWrittenLengthAsResult();
// How long each hid_write takes (the call log's mutex is not held meanwhile).
void SetWriteDuration(std::chrono::milliseconds duration);

std::vector<Call> Calls();
// Just the function names, in call order.
std::vector<std::string> Functions();
// Handles returned by hid_open and not closed yet.
int OpenHandles();
// Misuse seen: a write to or close of a handle that is not open, or a close while a write on the
// same handle is still under way.
int Misuses();

}  // namespace tqv::fake_hid
