// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The grid's view of the reading table. The table grows by thousands of rows
// a minute and may hold millions, so the model does not announce each row as
// it is appended: the window calls sync() a few times a second and the model
// tells the view about everything that changed since, in one insert (or one
// reset after a clearing or a load that replaced the rows).

#include <QAbstractTableModel>

#include "record/reading_table.h"

namespace dmm {

class ReadingTableModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    // The columns, in table order; the grid hides Nval.
    enum Columns { No, Time, DcAc, Value, Unit, Auto, Nval, ColumnCount };

    explicit ReadingTableModel(const ReadingTable& table, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Brings the view up to the table. Returns true when rows were added or
    // the model was reset.
    bool sync();

  private:
    const ReadingTable& table_;
    int shown_ = 0;  // rows the view knows of
    uint64_t generation_ = 0;
};

}  // namespace dmm
