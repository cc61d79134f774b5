#pragma once

#include "engine/kxAbstThread.h"

#include <QAbstractTableModel>
#include <QStringList>

#include <vector>

// The thread list's rows, one per worker slot of the running search: No, Total, Time, State,
// Address. A changed row is announced alone, new slots as one insertion, clearing as a reset,
// so a view never redraws the whole list for one slot's change.
class TkxThreadRowsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int ColumnCount = 5;

    explicit TkxThreadRowsModel(QObject* parent = nullptr);

    const std::vector<TkxThreadRow>& Rows() const { return Items; }
    // Sets row i, adding empty rows up to it first.
    void Update(int i, const TkxThreadRow& row);
    void Clear();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    // Column captions are set by the window from the current language.
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool setHeaderData(int section, Qt::Orientation orientation, const QVariant& value,
                       int role = Qt::EditRole) override;

private:
    std::vector<TkxThreadRow> Items;
    QStringList Captions{ColumnCount, QString()};
};
