// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reading a data file without ever being stuck where that can be helped. A
// regular file is read as usual. Anything else (a FIFO, a terminal, a device)
// is opened without waiting and read only when the system says that bytes are
// there, asking the caller every tenth of a second whether to go on waiting,
// so that a FIFO nobody writes to can be abandoned.

#include <QString>
#include <cstdint>
#include <functional>
#include <string>

namespace dmm {

class FileInput {
  public:
    explicit FileInput(const QString& fileName);
    ~FileInput();
    FileInput(const FileInput&) = delete;
    FileInput& operator=(const FileInput&) = delete;

    // False (with error()) when the file cannot be opened for reading.
    bool open();
    // Reads up to size bytes: their count, 0 at the end of the file, or -1
    // on a failure (error() says why) or when keepWaiting, asked while
    // nothing arrives, answered false (error() is then empty).
    int64_t read(char* data, size_t size, const std::function<bool()>& keepWaiting = {});
    // A regular file's size; 0 for anything else.
    int64_t size() const { return size_; }
    const std::string& error() const { return error_; }

    // How long a wait lasts before keepWaiting is asked again.
    static constexpr int kWaitSliceMs = 100;

  private:
    int64_t fail(int error);

    QString fileName_;
    int fd_ = -1;
    bool waits_ = false;
    int64_t size_ = 0;
    std::string error_;
};

}  // namespace dmm
