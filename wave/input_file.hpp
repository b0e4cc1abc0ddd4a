#pragma once

#include <cstddef>
#include <string>

// A wave file opened for reading only. Names that are empty or hold "*", "?" or a NUL byte are
// refused, and so is anything that is not a regular file (a directory, a FIFO, a device), which
// is opened without blocking and closed again at once. The descriptor is closed on destruction.
struct InputFile {
    int descriptor = -1;
    std::string reason;  // the system's reason when the file could not be opened

    explicit InputFile(const std::string& path);
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    bool isOpen() const { return descriptor >= 0; }

    // Reads up to `count` bytes from `offset` into `buffer`, stopping early only where the file
    // ends or a read fails; returns the bytes read. `reason` is set when a read failed.
    std::size_t readAt(long long offset, void* buffer, std::size_t count);
};
