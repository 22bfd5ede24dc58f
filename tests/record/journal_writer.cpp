// SPDX-License-Identifier: GPL-3.0-or-later
// A recording program in miniature for the journal's kill test: journals one
// row a millisecond into the folder given, and after each append writes the
// row's number on standard output, until it is killed.

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "record/journal.h"
#include "support/journal_rows.h"

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    dmm::Journal journal(QString::fromLocal8Bit(argv[1]));
    if (!journal.open())
        return 1;
    dmm::ReadingTable table;
    auto next = std::chrono::steady_clock::now();
    for (int32_t n = 1;; ++n) {
        table.append(dmm::test::NumberedRow(n));
        journal.append(table, table.size() - 1, "AUTO");
        std::printf("%d\n", n);
        std::fflush(stdout);
        next += std::chrono::milliseconds(1);
        std::this_thread::sleep_until(next);
    }
}
