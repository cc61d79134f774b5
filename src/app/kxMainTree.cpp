// The main window's tree side: a click shows the node's matching neighbours in the detail
// list, the context menu of a host, and the icon host the icon loader calls through its bridge
// (on this thread).

#include "app/kxMain.h"

#include "document/kxProjectDoc.h"

#include <QHash>
#include <QLabel>
#include <QMenu>
#include <QScopeGuard>
#include <QTreeView>
#include <QTreeWidget>

void TfrmMain::tvMainClick(const QModelIndex& index) {
    Command([&] {
        if (TkxNode* node = SelectedNode())
            ShowDetails(node, tvMain->isExpanded(index));
    });
}

namespace {
// A row of the detail list for a node whose task failed keeps the error icon.
constexpr int FailedRowRole = Qt::UserRole + 1;
} // namespace

void TfrmMain::ShowDetails(const TkxNode* node, bool expanded) {
    // Beside the matches and the way to them, the nodes whose task failed are listed: what
    // they hold is unknown, and the list says why.
    const TkxTreeModel& tree = Project->Tree();
    auto listed = [&](const TkxNode* n) { return n->Info.HasMatch || tree.HasFailure(n); };
    const TkxNode* first = nullptr;
    if (node && listed(node)) {
        if (expanded && !node->Children.empty())
            first = node->Children.front().get();
        else
            first = node->Parent->Children.front().get();
    }
    lvDir->setUpdatesEnabled(false);
    const auto done = qScopeGuard([this] { lvDir->setUpdatesEnabled(true); });
    lvDir->clear();
    if (!first)
        return;
    QList<QTreeWidgetItem*> items;
    const TkxNode* parent = first->Parent;
    for (size_t i = size_t(first->Row); i < parent->Children.size(); ++i) {
        const TkxNode* sibling = parent->Children[i].get();
        const TkxInfo& r = sibling->Info;
        if (!listed(sibling))
            continue;
        auto* item =
            new QTreeWidgetItem(QStringList{r.NameText(), r.AddressText(), r.CreatingText(),
                                            r.EditTimeText(), r.LastAccessText(), r.SizeText()});
        if (const QString failure = tree.Failure(sibling); !failure.isEmpty()) {
            item->setIcon(0, FailedTaskIcon());
            item->setData(0, FailedRowRole, true);
            for (int c = 0; c < item->columnCount(); ++c) {
                item->setToolTip(c, failure);
                item->setData(c, Qt::AccessibleDescriptionRole, failure);
            }
        } else {
            item->setIcon(0, Images.Icon(sibling->ImageIndex));
        }
        items.append(item);
    }
    lvDir->addTopLevelItems(items);
}

void TfrmMain::SetNodeIcon(TkxNode* node, int index) {
    if (!node)
        return;
    Project->SetNodeIcon(node, index);
    const QString address = node->Info.AddressText();
    for (int i = 0; i < lvDir->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = lvDir->topLevelItem(i);
        if (item->text(1) == address && !item->data(0, FailedRowRole).toBool())
            item->setIcon(0, Images.Icon(index));
    }
}

void TfrmMain::tvMainContextPopup(const QModelIndex& index, QPoint at) {
    Command([&] {
        TkxNode* node = Project->Tree().NodeOf(TreeDisplay->mapToSource(index));
        if (!node || node->Info.Kind != ikHost)
            return;
        // The menu is for the node it was opened on: selected as a click would.
        tvMain->setCurrentIndex(index);
        tvMainClick(index);
        aeMainIdle();
        pmTree->popup(tvMain->viewport()->mapToGlobal(at));
    });
}

// --- icon loader host

QObject* TfrmMain::BridgeTarget() const {
    return IconBridge.get();
}

TkxIconWork TfrmMain::HostIconWork(TkxNode* from, quint64 generation, int maxNodes) {
    TkxIconWork work;
    if (!Project)
        return work;
    const TkxTreeModel& tree = Project->Tree();
    work.Generation = tree.Generation();
    auto expanded = [&](const TkxNode* n) {
        return tvMain->isExpanded(TreeDisplay->mapFromSource(tree.IndexOf(n)));
    };
    TkxNode* node =
        from && generation == work.Generation ? from : tree.NextVisible(nullptr, expanded);
    for (int walked = 0; node && walked < maxNodes; ++walked) {
        if (node->ImageIndex == -1 && node->Info.HasMatch)
            work.Tasks.push_back(
                {node, node->Info.AddressText(), node->Info.NameText(), node->Info.Kind});
        node = tree.NextVisible(node, expanded);
    }
    work.Resume = node;
    return work;
}

void TfrmMain::HostSetNodeIcons(const std::vector<std::pair<TkxNode*, QString>>& icons,
                                quint64 generation) {
    if (!Project || generation != Project->Tree().Generation())
        return;
    std::vector<std::pair<TkxNode*, int>> indexes;
    indexes.reserve(icons.size());
    QHash<QString, int> byAddress;
    const bool details = lvDir->topLevelItemCount() > 0;
    for (const auto& [node, key] : icons) {
        const int index = Images.IndexOf(key);
        indexes.emplace_back(node, index);
        if (details)
            byAddress.insert(node->Info.AddressText(), index);
    }
    Project->SetNodeIcons(indexes);
    for (int i = 0; details && i < lvDir->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = lvDir->topLevelItem(i);
        const auto found = byAddress.constFind(item->text(1));
        if (found != byAddress.constEnd() && !item->data(0, FailedRowRole).toBool())
            item->setIcon(0, Images.Icon(*found));
    }
}

void TfrmMain::HostIconStatus(const QString& text) {
    SetPanelText(3, text);
}

void TfrmMain::WakeIconLoader() {
    if (Loader)
        Loader->Waker().Wake();
}
