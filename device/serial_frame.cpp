#include "device/serial_frame.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/debug_log.h"

namespace tqv {
namespace {

// Byte offset of each kind's value slot; 0 for a kind without one.
constexpr std::size_t SlotOffset(std::uint8_t kind) {
    switch (kind) {
        case Code(ValueKind::Clock):
            return 3;
        case Code(ValueKind::TempCelsius):
            return 5;
        case Code(ValueKind::TempFahrenheit):
            return 7;
        case Code(ValueKind::Fan):
            return 10;
        case Code(ValueKind::Power):
            return 12;
        case Code(ValueKind::Load):
            return 14;
        default:
            return 0;
    }
}

constexpr std::size_t kCommandByte = 1;
constexpr std::size_t kSelectorByte = 2;
constexpr std::size_t kStateByte = 9;
constexpr std::size_t kTrailerByte = 16;
constexpr std::size_t kChecksumByte = 17;
constexpr std::uint8_t kStateOff = 0x01;
constexpr std::uint8_t kStateOn = 0x02;

}  // namespace

SerialFrame BuildFrame(std::uint8_t command, std::int32_t value, std::uint8_t kind, bool gpu,
                       std::uint8_t orientation) {
    SerialFrame frame;
    auto& b = frame.bytes;
    b[0] = SerialFrame::kHeader;
    switch (command) {
        case Code(FrameCommand::DisplayOff):
            b[kCommandByte] = 0x00;
            b[kStateByte] = kStateOff;
            break;
        case Code(FrameCommand::Handshake):
            b[kCommandByte] = 0x01;
            b[kStateByte] = kStateOn;
            break;
        case Code(FrameCommand::ShowValue): {
            if (orientation <= 3) {
                b[kCommandByte] = static_cast<std::uint8_t>((orientation << 4) | 0x02);
            }
            b[kStateByte] = kStateOn;
            const std::size_t slot = SlotOffset(kind);
            if (slot != 0) {
                b[kSelectorByte] =
                    static_cast<std::uint8_t>(kind + (gpu ? SerialFrame::kGpuFlag : 0));
                const auto bits = static_cast<std::uint32_t>(value);
                b[slot] = static_cast<std::uint8_t>((bits >> 8) & 0xFF);
                b[slot + 1] = static_cast<std::uint8_t>(bits & 0xFF);
            }
            break;
        }
        case Code(FrameCommand::PlayAnimation):
            b[kCommandByte] = 0x03;
            b[kStateByte] = kStateOn;
            break;
        default:
            break;
    }
    b[kTrailerByte] = SerialFrame::kTrailer;
    unsigned sum = 0;
    for (std::size_t i = 0; i < kChecksumByte; ++i)
        sum += b[i];
    b[kChecksumByte] = static_cast<std::uint8_t>(sum & 0xFF);
    return frame;
}

std::string FormatFrameTrace(const SerialFrame& frame) {
    std::string line;
    line.reserve(SerialFrame::kSize * 3 + 2);
    char pair[4];
    for (std::uint8_t byte : frame.bytes) {
        std::snprintf(pair, sizeof pair, "%02x ", byte);
        line += pair;
    }
    line += "\r\n";
    return line;
}

void WriteFrame(platform::SerialPort* handle, DeviceLink& link, const SerialFrame& frame) {
    if (handle == nullptr) {
        link.lastWriteOk = false;
        return;
    }
    handle->ClearErrors();
    link.lastWriteOk = handle->Write(frame.bytes.data(), frame.bytes.size());
}

void SendFrame(std::uint8_t command, std::int32_t value, DeviceLink& link, std::uint8_t kind,
               bool gpu, std::uint8_t orientation, bool broadcast) {
    const SerialFrame frame = BuildFrame(command, value, kind, gpu, orientation);
    platform::DebugOutput(FormatFrameTrace(frame));

    if (broadcast) {
        // The handle table has a fixed number of slots; entries of a longer list have none.
        const std::size_t count = std::min(link.ports.size(), link.handles.size());
        for (std::size_t i = 0; i < count; ++i) {
            if (link.handles[i])
                WriteFrame(link.handles[i].get(), link, frame);
        }
        return;
    }

    platform::SerialPort* port = link.current;
    if (port == nullptr) {
        link.lastWriteOk = false;
        link.confirmed = false;
        return;
    }
    WriteFrame(port, link, frame);
    std::this_thread::sleep_for(std::chrono::milliseconds(SerialFrame::kAnswerWaitMs));
    std::array<std::uint8_t, SerialFrame::kAnswerSize> answer{};
    const int read = port->Read(answer.data(), answer.size());
    // The count is not examined: an empty answer leaves the first byte at zero.
    link.confirmed = read >= 0 && answer[0] == SerialFrame::kHandshakeAnswer;
}

}  // namespace tqv
