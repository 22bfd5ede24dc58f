// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Writing a data file so that a failure never costs the file that was there.
//
// A regular file (or a name not yet taken) is written to a new file beside it,
// and only when every write, the final flush and the sync have succeeded does
// the new file take the old one's name (and its permissions). A symbolic link
// stays a link: the file it points to is the one replaced. Anything else (a
// FIFO, a terminal, a character device, /dev/stdout) is written into directly
// and is never replaced, so it stays what it was.
//
// Every failure keeps the system's reason ("No space left on device",
// "Permission denied", "Is a directory") for the message the user sees.

#include <QString>
#include <cstddef>
#include <string>
#include <string_view>

namespace dmm {

class FileOutput {
  public:
    enum class Placement {
        // A regular file is replaced only when the new one is complete.
        ReplaceWhenDone,
        // A regular file is emptied at once and written as the bytes come, so
        // that what was written survives the writer (a log that grows).
        WriteInPlace,
    };

    // waitForReader: a FIFO with nobody reading from it is waited on, as a
    // shell's redirection does; without it, such a FIFO fails at once.
    explicit FileOutput(const QString& fileName, bool waitForReader = false,
                        Placement placement = Placement::ReplaceWhenDone);
    ~FileOutput();  // cancels what was not committed
    FileOutput(const FileOutput&) = delete;
    FileOutput& operator=(const FileOutput&) = delete;

    // False (with error()) when the target cannot be written at all.
    bool open();
    // Buffers bytes and writes them out when the buffer is full. Once a write
    // has failed, every later call fails too.
    bool write(std::string_view bytes);
    // Writes out what is buffered.
    bool flush();
    // Writes out what is buffered and has the system put it on the disk.
    bool sync();
    // Writes what is buffered, syncs it, and puts the new file in place.
    bool commit();
    // Drops the new file; the target stays as it was.
    void cancel();

    bool failed() const { return !error_.empty(); }
    // The system's reason for the first failure, and its error number (0
    // for a reason of this program's own).
    const std::string& error() const { return error_; }
    int errorNumber() const { return errorNumber_; }

    // The buffer's size: a file larger than this is written in several pieces.
    static constexpr size_t kBufferBytes = size_t(64) << 10;

  private:
    bool fail(int error);
    bool fail(std::string reason);
    bool writeOut(const char* data, size_t size);
    bool flushBuffer();
    bool openDirect(const std::string& path, bool isFifo);
    bool openReplacement(const std::string& target);
    bool openInPlace(const std::string& target);
    bool openRegular(const std::string& target);

    QString fileName_;
    bool waitForReader_;
    Placement placement_;
    int fd_ = -1;
    bool direct_ = false;    // written into, never replaced
    bool syncable_ = false;  // a regular file, which a sync puts on the disk
    std::string target_;     // the file that the new one replaces
    std::string temporary_;  // the new file, until it is committed
    std::string buffer_;
    std::string error_;
    int errorNumber_ = 0;
};

// The system's text for an errno value, safe on any thread.
std::string SystemErrorText(int error);

}  // namespace dmm
