// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include "record/reading_table_model.h"

namespace dmm {
namespace {

TEST(ReadingTableModel, BatchesAppendsAndResetsOnClear) {
    ReadingTable table;
    ReadingTableModel model(table);
    // Fatal: any fault the tester finds in the model ends the test as a failure.
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);

    for (int i = 1; i <= 250; ++i)
        table.appendRecorded(i, "01:02:03", "DC", "1.5", "k*", "pass", i);
    EXPECT_EQ(model.rowCount(), 0);  // nothing shown until the next sync
    EXPECT_TRUE(model.sync());
    EXPECT_EQ(model.rowCount(), 250);
    EXPECT_EQ(inserted.count(), 1);
    EXPECT_FALSE(model.sync());

    EXPECT_EQ(model.data(model.index(9, ReadingTableModel::No)).toInt(), 10);
    EXPECT_EQ(model.data(model.index(9, ReadingTableModel::Unit)).toString(), "k*");
    EXPECT_EQ(model.data(model.index(9, ReadingTableModel::Auto)).toString(), "pass");
    EXPECT_EQ(model.headerData(2, Qt::Horizontal).toString(), "Function");
    EXPECT_EQ(model.headerData(5, Qt::Horizontal).toString(), "Judge");
    EXPECT_TRUE(model.data(model.index(0, ReadingTableModel::No), Qt::TextAlignmentRole)
                    .value<Qt::Alignment>()
                    .testFlag(Qt::AlignRight));

    RowData loaded;
    loaded.no = 3;
    table.append(loaded);
    model.sync();
    EXPECT_FALSE(model.data(model.index(250, ReadingTableModel::Nval)).isValid());
    EXPECT_FALSE(model.data(model.index(250, ReadingTableModel::Time)).isValid());

    table.clear();
    table.appendRecorded(1, "a", "b", "c", "d", "e", 1);
    EXPECT_TRUE(model.sync());
    EXPECT_EQ(reset.count(), 1);
    EXPECT_EQ(model.rowCount(), 1);
}

}  // namespace
}  // namespace dmm
