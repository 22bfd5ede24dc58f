// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/reading_table_model.h"

#include <climits>

namespace dmm {
namespace {

int ClampRows(size_t n) {
    return n > size_t(INT_MAX) ? INT_MAX : int(n);
}

constexpr const char* kTitles[] = {"no.", "time", "Function", "value", "unit", "Judge", "nval"};
constexpr Qt::Alignment kAlignments[] = {Qt::AlignRight, Qt::AlignHCenter, Qt::AlignHCenter,
                                         Qt::AlignRight, Qt::AlignRight,   Qt::AlignHCenter,
                                         Qt::AlignRight};

}  // namespace

ReadingTableModel::ReadingTableModel(const ReadingTable& table, QObject* parent)
    : QAbstractTableModel(parent),
      table_(table),
      shown_(ClampRows(table.size())),
      generation_(table.generation()) {}

int ReadingTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shown_;
}

int ReadingTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ReadingTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= shown_ || size_t(index.row()) >= table_.size()) {
        return {};
    }
    const int column = index.column();
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(kAlignments[column] | Qt::AlignVCenter);
    }
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return {};
    const auto row = size_t(index.row());
    const auto field = Field(column);
    if (IsIntegerField(field)) {
        const auto v = table_.integer(row, field);
        return v ? QVariant(*v) : QVariant();
    }
    if (table_.isNull(row, field))
        return {};
    const std::string_view text = table_.text(row, field);
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

QVariant ReadingTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    if (role == Qt::DisplayRole)
        return QString::fromLatin1(kTitles[section]);
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(kAlignments[section] | Qt::AlignVCenter);
    return {};
}

bool ReadingTableModel::sync() {
    const int now = ClampRows(table_.size());
    if (table_.generation() != generation_ || now < shown_) {
        beginResetModel();
        generation_ = table_.generation();
        shown_ = now;
        endResetModel();
        return true;
    }
    if (now == shown_)
        return false;
    beginInsertRows({}, shown_, now - 1);
    shown_ = now;
    endInsertRows();
    return true;
}

}  // namespace dmm
