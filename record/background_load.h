// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A data file read on a thread of its own into a table of its own, so that
// the window goes on decoding and recording while a large file comes in. The
// thread touches nothing but the state it shares with this object, so the
// window can walk away from a read that is stuck in the system (a FIFO that
// nobody writes to, a stalled network mount): abandoning never waits for it.

#include <QString>
#include <atomic>
#include <memory>
#include <thread>

#include "record/data_files.h"
#include "record/reading_table.h"

namespace dmm {

class BackgroundLoad {
  public:
    // Starts reading at once; the table never grows beyond maxRows rows.
    BackgroundLoad(const QString& fileName, size_t maxRows);
    // Abandons a load that has not finished.
    ~BackgroundLoad();
    BackgroundLoad(const BackgroundLoad&) = delete;
    BackgroundLoad& operator=(const BackgroundLoad&) = delete;

    FileForm form() const { return form_; }
    // How far the read has come, in thousandths of the file; -1 while a file
    // whose size is not known (a FIFO, a device) is being waited on.
    int permille() const;
    // True once the thread is done; the outcome and the rows are then final.
    bool finished() const;
    const LoadOutcome& outcome() const;
    ReadingTable& table();

    // Asks the thread to stop and leaves it behind: it ends at its next look
    // at the stop flag, or when the system lets its read return.
    void abandon();

  private:
    struct Shared;
    FileForm form_;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace dmm
