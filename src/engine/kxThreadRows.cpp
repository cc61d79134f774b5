#include "engine/kxThreadRows.h"

TkxThreadRowsModel::TkxThreadRowsModel(QObject* parent) : QAbstractTableModel(parent) {}

void TkxThreadRowsModel::Update(int i, const TkxThreadRow& row) {
    if (i < 0)
        return;
    if (size_t(i) >= Items.size()) {
        beginInsertRows({}, int(Items.size()), i);
        Items.resize(size_t(i) + 1);
        Items[size_t(i)] = row;
        endInsertRows();
        return;
    }
    if (Items[size_t(i)] == row)
        return;
    Items[size_t(i)] = row;
    Q_EMIT dataChanged(index(i, 0), index(i, ColumnCount - 1));
}

void TkxThreadRowsModel::Clear() {
    if (Items.empty())
        return;
    beginResetModel();
    Items.clear();
    endResetModel();
}

int TkxThreadRowsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(Items.size());
}

int TkxThreadRowsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TkxThreadRowsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || size_t(index.row()) >= Items.size() ||
        (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return {};
    const TkxThreadRow& row = Items[size_t(index.row())];
    switch (index.column()) {
    case 0:
        return row.No;
    case 1:
        return row.Total;
    case 2:
        return row.TimeText();
    case 3:
        return row.State;
    case 4:
        return row.Address;
    default:
        return {};
    }
}

QVariant TkxThreadRowsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < ColumnCount)
        return Captions[section];
    return QAbstractTableModel::headerData(section, orientation, role);
}

bool TkxThreadRowsModel::setHeaderData(int section, Qt::Orientation orientation,
                                       const QVariant& value, int role) {
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount ||
        (role != Qt::DisplayRole && role != Qt::EditRole))
        return false;
    Captions[section] = value.toString();
    Q_EMIT headerDataChanged(orientation, section, section);
    return true;
}
