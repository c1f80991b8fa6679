// The serial display's wire format: one fixed 18-byte frame per command, a header byte, a
// trailer byte and a byte-sum checksum, plus the operations that build, trace and send it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "device/device_link.h"
#include "platform/serial_port.h"

namespace tqv {

// Byte 1 of a frame names the command (for ShowValue the low nibble; see BuildFrame).
enum class FrameCommand : std::uint8_t {
    DisplayOff = 0,
    Handshake = 1,
    ShowValue = 2,
    PlayAnimation = 3,
};

// The selector of a ShowValue frame; each kind has its own value slot. Kind 3 has no slot.
enum class ValueKind : std::uint8_t {
    Clock = 0,           // MHz, bytes 3-4
    TempCelsius = 1,     // degrees Celsius, bytes 5-6
    TempFahrenheit = 2,  // degrees Fahrenheit, bytes 7-8
    Fan = 4,             // RPM, bytes 10-11
    Power = 5,           // W, bytes 12-13
    Load = 6,            // percent, bytes 14-15
};

constexpr std::uint8_t Code(FrameCommand command) {
    return static_cast<std::uint8_t>(command);
}
constexpr std::uint8_t Code(ValueKind kind) {
    return static_cast<std::uint8_t>(kind);
}

struct SerialFrame {
    static constexpr std::size_t kSize = 18;
    static constexpr std::uint8_t kHeader = 0xC5;
    static constexpr std::uint8_t kTrailer = 0x01;
    // Added to the selector when the value belongs to the graphics card.
    static constexpr std::uint8_t kGpuFlag = 0x10;
    // First byte of the display's answer to a handshake.
    static constexpr std::uint8_t kHandshakeAnswer = 0x5C;
    // How long the handshake waits for the answer before reading it, in milliseconds.
    static constexpr int kAnswerWaitMs = 100;
    // Size of the handshake answer buffer.
    static constexpr std::size_t kAnswerSize = 9;

    std::array<std::uint8_t, kSize> bytes{};

    friend bool operator==(const SerialFrame&, const SerialFrame&) = default;
};

// Builds one frame. `value`, `kind`, `gpu` and `orientation` matter for ShowValue only.
// A ShowValue frame carries the orientation (0 to 3) in the high nibble of byte 1; any other
// orientation leaves byte 1 at 0x00. A kind without a slot (3, above 6) leaves the selector and
// all slots at zero. A command code above 3 leaves bytes 1 and 9 at zero. Values are stored as
// their low 16 bits, high byte first (-5 is FF FB, 70000 is 11 70).
SerialFrame BuildFrame(std::uint8_t command, std::int32_t value, std::uint8_t kind, bool gpu,
                       std::uint8_t orientation);

// The debug trace of a frame: "%02x " for each byte, then "\r\n" (56 characters).
std::string FormatFrameTrace(const SerialFrame& frame);

// Writes the 18 bytes to one open port (after clearing its error state) and stores whether the
// write succeeded in link.lastWriteOk. A null handle counts as a failed write. No retry.
void WriteFrame(platform::SerialPort* handle, DeviceLink& link, const SerialFrame& frame);

// Builds a frame, hands its trace line to the debug output (always, before any write, whether
// or not a port is open), then sends it:
// - broadcast: to every open handle of the link, in list order; link.lastWriteOk ends up with the
//   result of the last port written and is left alone when no handle is open; link.confirmed is
//   not touched;
// - otherwise (the handshake): to link.current, then waits 100 ms, reads up to 9 bytes of answer
//   and sets link.confirmed to whether the read succeeded and the answer's first byte is 0x5C.
//   Without a current port both results become false and nothing is waited for.
//
// The CALLER holds link.mutex for the whole call. SendFrame never locks it itself: the handshake
// runs inside a rebuild of the link that already holds it.
void SendFrame(std::uint8_t command, std::int32_t value, DeviceLink& link, std::uint8_t kind,
               bool gpu, std::uint8_t orientation, bool broadcast);

}  // namespace tqv
