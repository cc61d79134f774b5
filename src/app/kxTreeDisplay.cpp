#include "app/kxTreeDisplay.h"

#include "lang/kxLanguages.h"
#include "model/kxTree.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QMimeDatabase>
#include <QStyle>

int TkxIconList::IndexOf(const QString& key) {
    const auto found = Indexes.constFind(key);
    if (found != Indexes.constEnd())
        return *found;
    QIcon icon;
    if (key.contains(u'/')) {
        const QMimeType type = QMimeDatabase().mimeTypeForName(key);
        if (type.isValid()) {
            icon = ThemeIcon(type.iconName());
            if (icon.isNull())
                icon = ThemeIcon(type.genericIconName());
        }
    } else {
        icon = ThemeIcon(key);
    }
    int index = -2;
    if (!icon.isNull()) {
        index = int(Icons.size());
        Icons.push_back(icon);
    }
    Indexes.insert(key, index);
    return index;
}

QIcon TkxIconList::Icon(int index) const {
    if (index < 0 || size_t(index) >= Icons.size())
        return {};
    return Icons[size_t(index)];
}

void SetupIconTheme() {
    if (!QIcon::fromTheme(QStringLiteral("folder")).isNull())
        return;
    QStringList paths = QIcon::themeSearchPaths();
    const QString system = QStringLiteral("/usr/share/icons");
    if (!paths.contains(system) && QDir(system).exists())
        paths << system;
    QIcon::setThemeSearchPaths(paths);
    QIcon::setThemeName(QStringLiteral("Adwaita"));
}

QIcon ThemeIcon(const QString& name) {
    if (name.isEmpty())
        return {};
    QIcon icon = QIcon::fromTheme(name);
    if (icon.isNull() && !name.endsWith(QStringLiteral("-symbolic")))
        icon = QIcon::fromTheme(name + QStringLiteral("-symbolic"));
    return icon;
}

TkxTreeDisplayModel::TkxTreeDisplayModel(const TkxIconList& icons, QObject* parent)
    : QIdentityProxyModel(parent), Icons(icons) {
    Bold.setBold(true);
}

void TkxTreeDisplayModel::SetBaseFont(const QFont& font) {
    Bold = font;
    Bold.setBold(true);
}

QIcon FailedTaskIcon() {
    static const QIcon icon = [] {
        QIcon themed = ThemeIcon(QStringLiteral("dialog-error"));
        return themed.isNull() ? QApplication::style()->standardIcon(QStyle::SP_MessageBoxCritical)
                               : themed;
    }();
    return icon;
}

QVariant TkxTreeDisplayModel::data(const QModelIndex& index, int role) const {
    switch (role) {
    case Qt::FontRole:
        if (QIdentityProxyModel::data(index, TkxTreeModel::HasMatchRole).toBool())
            return Bold;
        return {};
    case Qt::DecorationRole:
        // A failed task shows until its node is explored again; the reason is in the tip.
        if (!QIdentityProxyModel::data(index, TkxTreeModel::FailureRole).toString().isEmpty())
            return FailedTaskIcon();
        return Icons.Icon(QIdentityProxyModel::data(index, TkxTreeModel::ImageIndexRole).toInt());
    case Qt::ToolTipRole: {
        const QString address =
            QIdentityProxyModel::data(index, TkxTreeModel::AddressRole).toString();
        const QString failure =
            QIdentityProxyModel::data(index, TkxTreeModel::FailureRole).toString();
        if (failure.isEmpty())
            return address;
        return address + u'\n' + failure;
    }
    case Qt::AccessibleDescriptionRole: {
        const QModelIndex source = mapToSource(index);
        const auto* model = static_cast<const TkxTreeModel*>(sourceModel());
        const TkxNode* node = model ? model->NodeOf(source) : nullptr;
        if (!node)
            return {};
        QStringList said;
        if (node->Info.HasMatch)
            said << AccessibleText(node->Info.Matched ? TkxAccessibleText::Matches
                                                      : TkxAccessibleText::LeadsToMatch);
        if (const QString failure = model->Failure(node); !failure.isEmpty())
            said << failure;
        if (said.isEmpty())
            return {};
        return said.join(QStringLiteral("; "));
    }
    default:
        return QIdentityProxyModel::data(index, role);
    }
}

QVariant TkxTreeDisplayModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && section == 0 && role == Qt::DisplayRole)
        return AccessibleText(TkxAccessibleText::ResultTree);
    return QIdentityProxyModel::headerData(section, orientation, role);
}

TkxThreadListModel::TkxThreadListModel(QAbstractItemModel* rows, QObject* parent)
    : QAbstractTableModel(parent), Rows(rows) {
    Repaint.setSingleShot(true);
    Repaint.setInterval(RepaintMs);
    connect(&Repaint, &QTimer::timeout, this, [this] {
        if (rowCount() > 0)
            Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
    });
    connect(Rows, &QAbstractItemModel::dataChanged, this, [this] {
        if (!Repaint.isActive())
            Repaint.start();
    });
    connect(Rows, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [this](const QModelIndex&, int first, int last) { beginInsertRows({}, first, last); });
    connect(Rows, &QAbstractItemModel::rowsInserted, this, [this] { endInsertRows(); });
    connect(Rows, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex&, int first, int last) { beginRemoveRows({}, first, last); });
    connect(Rows, &QAbstractItemModel::rowsRemoved, this, [this] { endRemoveRows(); });
    connect(Rows, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
        Repaint.stop();
        beginResetModel();
    });
    connect(Rows, &QAbstractItemModel::modelReset, this, [this] { endResetModel(); });
    connect(Rows, &QAbstractItemModel::headerDataChanged, this,
            &QAbstractItemModel::headerDataChanged);
}

int TkxThreadListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : Rows->rowCount();
}

int TkxThreadListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : Rows->columnCount();
}

QVariant TkxThreadListModel::data(const QModelIndex& index, int role) const {
    return Rows->data(Rows->index(index.row(), index.column()), role);
}

QVariant TkxThreadListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    return Rows->headerData(section, orientation, role);
}
