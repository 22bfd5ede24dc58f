// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the text table and the XML snapshot share on their way to and from a
// file: where a loader's bytes come from (a file, or bytes already in memory),
// how a save is written and committed, and the outcomes both report.

#include <QString>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

#include "record/data_files.h"
#include "record/file_input.h"
#include "record/file_output.h"

namespace dmm {

// The loaders report progress (and may be cancelled) every this many lines or rows.
inline constexpr size_t kProgressLines = 4096;
inline constexpr std::string_view kCancelledText = "loading was cancelled";

// Where a loader's bytes come from: a file or bytes already in memory.

class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // The count of bytes read, 0 at the end, -1 on a failure (error() says
    // why) or when the load was cancelled while waiting (error() is empty).
    virtual int64_t read(char* data, size_t size) = 0;
    virtual std::string error() const = 0;
    virtual int64_t size() const = 0;
};

class MemorySource : public ByteSource {
  public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    int64_t read(char* data, size_t size) override {
        const size_t n = std::min(size, bytes_.size() - at_);
        std::memcpy(data, bytes_.data() + at_, n);
        at_ += n;
        return int64_t(n);
    }
    std::string error() const override { return {}; }
    int64_t size() const override { return int64_t(bytes_.size()); }

  private:
    std::string_view bytes_;
    size_t at_ = 0;
};

// A file; while a FIFO or a device has nothing to give, the progress report
// is asked whether to go on waiting.
class FileSource : public ByteSource {
  public:
    FileSource(const QString& fileName, const LoadProgress& progress)
        : file_(fileName), progress_(progress) {}
    bool open() { return file_.open(); }
    int64_t read(char* data, size_t size) override {
        const int64_t n =
            file_.read(data, size, [this] { return !progress_ || progress_(done_, file_.size()); });
        if (n > 0)
            done_ += n;
        return n;
    }
    std::string error() const override { return file_.error(); }
    int64_t size() const override { return file_.size(); }

  private:
    FileInput file_;
    const LoadProgress& progress_;
    int64_t done_ = 0;
};

// Tells dmm.files of every text of the row that the table will cut to
// kTextFieldSize characters; what and number name the line or row ("line", 12).
void LogCutTexts(const RowData& row, const char* what, size_t number);

// What a failed read means for the load.
std::string ReadFailure(const ByteSource& source);

// A failed load of the form, with what went wrong.
LoadOutcome LoadFailure(FileForm form, std::string detail);

// Writes fileName through one FileOutput, committed only if write() and
// everything else went through; the outcome says so in the window's words.
SaveOutcome WriteDataFile(const QString& fileName, FileForm form, const SaveOptions& options,
                          const std::function<bool(FileOutput&)>& write);

}  // namespace dmm
