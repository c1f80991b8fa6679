// One open serial port, as the display link uses it. The Linux implementation is a tty opened
// raw at 115200 8N1; tests substitute ports of their own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tqv::platform {

class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Clears a pending error state of the line. Nothing is reported.
    virtual void ClearErrors() = 0;

    // Writes all `size` bytes within the port's write time-out. True when every byte went out.
    virtual bool Write(const std::uint8_t* data, std::size_t size) = 0;

    // Returns at once with what has arrived, at most `capacity` bytes: the count read (0 when
    // nothing is there), or -1 when the read failed.
    virtual int Read(std::uint8_t* buffer, std::size_t capacity) = 0;
};

}  // namespace tqv::platform
