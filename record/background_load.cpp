// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/background_load.h"

#include <exception>
#include <new>

namespace dmm {

struct BackgroundLoad::Shared {
    std::atomic<int> permille{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    ReadingTable table;
    LoadOutcome outcome;
};

BackgroundLoad::BackgroundLoad(const QString& fileName, size_t maxRows)
    : form_(FormOf(fileName)), shared_(std::make_shared<Shared>()) {
    thread_ = std::thread([shared = shared_, fileName, maxRows, form = form_] {
        auto progress = [&shared](int64_t done, int64_t total) {
            shared->permille = total > 0 ? int(std::min<int64_t>(done, total) * 1000 / total) : -1;
            return !shared->stop.load();
        };
        try {
            shared->outcome = LoadTableFromFile(fileName, shared->table, false, progress, maxRows);
        } catch (const std::bad_alloc&) {
            shared->table.clear();
            shared->outcome = {};
            shared->outcome.form = form;
            shared->outcome.message = kLoadFailedText;
            shared->outcome.detail = "there is not enough memory for the file's rows";
        } catch (const std::exception& error) {
            shared->outcome = {};
            shared->outcome.form = form;
            shared->outcome.message = kLoadFailedText;
            shared->outcome.detail = error.what();
        }
        shared->done.store(true, std::memory_order_release);
    });
}

BackgroundLoad::~BackgroundLoad() {
    abandon();
}

int BackgroundLoad::permille() const {
    return shared_->permille.load();
}

bool BackgroundLoad::finished() const {
    return shared_->done.load(std::memory_order_acquire);
}

const LoadOutcome& BackgroundLoad::outcome() const {
    return shared_->outcome;
}

ReadingTable& BackgroundLoad::table() {
    return shared_->table;
}

void BackgroundLoad::abandon() {
    if (!thread_.joinable())
        return;
    shared_->stop = true;
    if (finished())
        thread_.join();
    else
        thread_.detach();  // it holds the shared state until it ends
}

}  // namespace dmm
