// Test helpers for the display link: a serial port that records what is written to it and
// answers reads from a script, a recorder for the debug trace lines, and frame literals.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "device/device_link.h"
#include "device/serial_frame.h"
#include "platform/debug_log.h"
#include "platform/serial_port.h"

namespace tqv::test {

// Parses "C5 02 01 ..." into bytes.
inline std::vector<std::uint8_t> Hex(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    std::istringstream in{std::string(text)};
    std::string pair;
    while (in >> pair)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16)));
    return bytes;
}

inline std::vector<std::uint8_t> Bytes(const SerialFrame& frame) {
    return {frame.bytes.begin(), frame.bytes.end()};
}

// Shared record of the calls made on several ports, so that tests can check their order.
struct PortJournal {
    std::mutex mutex;
    std::vector<std::string> events;  // "<name>:clear", "<name>:write", "<name>:read"
    void Add(std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    }
};

class RecordingPort : public platform::SerialPort {
  public:
    explicit RecordingPort(std::string name = "port", PortJournal* journal = nullptr)
        : name_(std::move(name)), journal_(journal) {}

    void ClearErrors() override {
        std::lock_guard lock(mutex_);
        ++clears;
        Note("clear");
    }
    bool Write(const std::uint8_t* data, std::size_t size) override {
        std::lock_guard lock(mutex_);
        writes.emplace_back(data, data + size);
        Note("write");
        return writeResult;
    }
    int Read(std::uint8_t* buffer, std::size_t capacity) override {
        std::lock_guard lock(mutex_);
        ++reads;
        lastReadCapacity = capacity;
        Note("read");
        if (readFails)
            return -1;
        const std::size_t n = std::min(capacity, answer.size());
        for (std::size_t i = 0; i < n; ++i)
            buffer[i] = answer[i];
        return static_cast<int>(n);
    }

    std::vector<std::vector<std::uint8_t>> Writes() {
        std::lock_guard lock(mutex_);
        return writes;
    }

    // Script and record; set before the port is used.
    bool writeResult = true;
    bool readFails = false;
    std::vector<std::uint8_t> answer;
    int clears = 0;
    int reads = 0;
    std::size_t lastReadCapacity = 0;
    std::vector<std::vector<std::uint8_t>> writes;

  private:
    void Note(const char* what) {
        if (journal_)
            journal_->Add(name_ + ":" + what);
    }
    std::mutex mutex_;
    std::string name_;
    PortJournal* journal_;
};

// Captures every debug line while alive; restores the channel afterwards.
class TraceRecorder {
  public:
    // With a journal, each line is also noted there as "trace", in order with the port calls.
    explicit TraceRecorder(PortJournal* journal = nullptr) {
        platform::SetDebugSink([this, journal](std::string_view line) {
            if (journal)
                journal->Add("trace");
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        });
        platform::SetDebugOutputEnabled(true);
    }
    ~TraceRecorder() {
        platform::SetDebugOutputEnabled(false);
        platform::SetDebugSink({});
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Puts a recording port into slot `slot` of the link (listing the port names up to it) and
// returns it.
inline RecordingPort* AddPort(DeviceLink& link, std::size_t slot, PortJournal* journal = nullptr) {
    while (link.ports.size() <= slot) {
        link.ports.push_back("/dev/ttyACM" + std::to_string(link.ports.size()));
    }
    auto port = std::make_unique<RecordingPort>("p" + std::to_string(slot), journal);
    RecordingPort* raw = port.get();
    link.handles[slot] = std::move(port);
    return raw;
}

}  // namespace tqv::test
