#pragma once

#include "lang/kxExtraTexts.h"

#include <QFont>
#include <QHash>
#include <QIcon>
#include <QIdentityProxyModel>
#include <QString>
#include <QTimer>

#include <vector>

// The one icon list the result tree and the detail list share: an image index is a position in
// it. Each key (an icon name, or a MIME type name) is loaded from the icon theme once.
class TkxIconList {
public:
    // The index of the key's icon, or -2 when the theme has none for it.
    int IndexOf(const QString& key);
    // A null icon for -1, -2 and indexes out of range.
    QIcon Icon(int index) const;
    int Count() const { return int(Icons.size()); }

private:
    std::vector<QIcon> Icons;
    QHash<QString, int> Indexes;
};

// Icons from the desktop's theme; where Qt finds none (bare X, offscreen), the Adwaita theme.
void SetupIconTheme();

// A themed icon, tried as given and as its symbolic variant.
QIcon ThemeIcon(const QString& name);

// How the result tree is drawn: the core model hands out HasMatch, the image index and a failed
// task's reason; this maps them to a bold font, the shared icon list (the error icon for a
// failed node, its reason in the tip) and, for screen readers that cannot see bold or icons,
// an accessible description saying that the node matches, leads to a match or failed.
class TkxTreeDisplayModel : public QIdentityProxyModel {
    Q_OBJECT
public:
    TkxTreeDisplayModel(const TkxIconList& icons, QObject* parent = nullptr);

    QVariant data(const QModelIndex& index, int role) const override;
    // The tree's one column is named like the tree, for screen readers (the header is hidden).
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    // The font the view uses for nodes; bold is derived from it.
    void SetBaseFont(const QFont& font);

private:
    const TkxIconList& Icons;
    QFont Bold;
};

// The thread list as the window shows it: rows come and go with the document's rows at once,
// but changed rows are repainted at most every RepaintMs. A search changes some rows after
// every pass of its manager; painting each of those states costs the window far more than the
// search itself, and no eye follows them that fast.
class TkxThreadListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int RepaintMs = 100;

    explicit TkxThreadListModel(QAbstractItemModel* rows, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QAbstractItemModel* Rows;
    QTimer Repaint;
};

// The icon of a node whose task failed, wherever it shows (tree, detail list); the reason (the
// thread list's state text) goes to its tip and to screen readers.
QIcon FailedTaskIcon();
