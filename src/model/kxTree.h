#pragma once

#include "model/kxLists.h"

#include <QAbstractItemModel>

#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

struct TkxNode;

// The children of a node, owned, in one pointer: most nodes are leaves and a tree holds
// millions. Offers the part of std::vector's interface the tree's users need.
class TkxNodeList {
public:
    using value_type = std::unique_ptr<TkxNode>;
    using iterator = value_type*;
    using const_iterator = const value_type*;

    TkxNodeList() noexcept = default;
    TkxNodeList(TkxNodeList&& other) noexcept : Block(std::exchange(other.Block, nullptr)) {}
    TkxNodeList& operator=(TkxNodeList&& other) noexcept;
    ~TkxNodeList();

    size_t size() const { return Block ? Block->Size : 0; }
    size_t capacity() const { return Block ? Block->Capacity : 0; }
    bool empty() const { return size() == 0; }
    iterator begin() { return Items(); }
    iterator end() { return Items() + size(); }
    const_iterator begin() const { return Items(); }
    const_iterator end() const { return Items() + size(); }
    value_type& operator[](size_t i) { return Items()[i]; }
    const value_type& operator[](size_t i) const { return Items()[i]; }
    value_type& front() { return Items()[0]; }
    const value_type& front() const { return Items()[0]; }
    value_type& back() { return Items()[size() - 1]; }
    const value_type& back() const { return Items()[size() - 1]; }

    void reserve(size_t n);
    void push_back(value_type&& node);
    // Takes the node at i out of the list; the ones after it move up.
    value_type take(size_t i);
    // Hands every node for which `pred` holds to `sink`, in order; the others close up.
    template <class Pred, class Sink> void extract_if(Pred&& pred, Sink&& sink);
    void clear() noexcept;

private:
    struct THeader {
        quint32 Size;
        quint32 Capacity;
    };
    value_type* Items() const { return Block ? reinterpret_cast<value_type*>(Block + 1) : nullptr; }
    THeader* Block = nullptr; // followed by Capacity slots
};

// One node of the result tree. The node owns its record; the invisible root has none.
struct TkxNode {
    TkxNode* Parent = nullptr;
    TkxNodeList Children;
    int Row = 0;         // index among the parent's children
    int ImageIndex = -1; // -1 no icon fetched yet, -2 none to be had, else an icon index
    TkxInfo Info;

    // 0 for a top-level node (a range).
    int Level() const;
    bool IsRoot() const { return Parent == nullptr; }
};

// The result tree as a model: an invisible root whose children are the ranges. Only the GUI
// thread touches it. It knows nothing of the search queue: the project document wraps
// every addition and deletion with that bookkeeping.
class TkxTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Roles {
        HasMatchRole = Qt::UserRole + 1, // bool: draw bold
        ImageIndexRole,                  // int
        KindRole,                        // TkxItemKind
        AddressRole,                     // QString
        NodeRole,                        // quintptr of the TkxNode
        FailureRole                      // QString: why the node's last task failed, or empty
    };

    explicit TkxTreeModel(QObject* parent = nullptr);
    ~TkxTreeModel() override;

    TkxNode* Root() { return &RootNode; }
    const TkxNode* Root() const { return &RootNode; }
    int NodeCount() const { return Count; }
    bool HasNodes() const { return !RootNode.Children.empty(); }

    // Appends one node as the last child of parent (nullptr: the root).
    TkxNode* AppendNode(TkxNode* parent, TkxInfo&& info);
    // Appends several children of one parent with a single model insertion.
    std::vector<TkxNode*> AppendNodes(TkxNode* parent, std::vector<TkxInfo>&& infos);
    // Deletes the node and its subtree.
    void DeleteNode(TkxNode* node);
    // Deletes the nodes with their subtrees as one layout change: views keep what they show of
    // the nodes that stay (expansion, selection) and lay out once, however many subtrees go.
    // No node may lie below another of the list. Yields the number of nodes deleted.
    int DeleteNodes(const std::vector<TkxNode*>& nodes);
    void DeleteChildren(TkxNode* node);
    void Clear();

    // Why the node's last task failed (the thread list's state text), kept beside the tree
    // until the node is explored again or deleted; never written to a project file. Setting
    // an empty reason clears the mark.
    void SetFailure(TkxNode* node, const QString& reason);
    QString Failure(const TkxNode* node) const;
    bool HasFailure(const TkxNode* node) const { return !Failures.empty() && Failures.count(node); }
    int FailureCount() const { return int(Failures.size()); }

    // The node's caption or flags changed; views repaint it. Between BeginChanges and
    // EndChanges each changed node is announced once, at the end.
    void NodeChanged(TkxNode* node);
    void BeginChanges();
    void EndChanges();

    // Appends between BeginBulk and EndBulk are announced as one model reset: a project read
    // is not tens of thousands of insertions.
    void BeginBulk();
    void EndBulk();

    // Grows whenever nodes are freed: a node pointer taken under one generation is still
    // valid while the generation is the same.
    quint64 Generation() const { return FreedGeneration; }

    QModelIndex IndexOf(const TkxNode* node) const;
    TkxNode* NodeOf(const QModelIndex& index) const;

    // Pre-order: the node after `node` (the first top-level node for nullptr), or nullptr.
    TkxNode* NextPreOrder(const TkxNode* node) const;
    // The next node in tree order that a view with `isExpanded` shows (collapsed subtrees skipped).
    template <class IsExpanded>
    TkxNode* NextVisible(const TkxNode* node, IsExpanded&& isExpanded) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;

    // The node and everything below it.
    static int SubtreeSize(const TkxNode* node);

private:
    // Announces the collected changes; deletions call it first, so no freed node is announced.
    void FlushChanges();
    // Drops the failure marks of nodes at or below any of `tops` (keep: the tops' own marks).
    void ForgetFailuresBelow(const std::unordered_set<const TkxNode*>& tops, bool keepTops);
    TkxNode RootNode;
    int Count = 0;
    int ChangeDepth = 0;
    std::vector<TkxNode*> Changed;
    std::unordered_set<const TkxNode*> ChangedSet;
    int BulkDepth = 0;
    quint64 FreedGeneration = 0;
    // Few nodes fail: the marks live beside the tree, not in every node.
    std::unordered_map<const TkxNode*, QString> Failures;
};

template <class Pred, class Sink> void TkxNodeList::extract_if(Pred&& pred, Sink&& sink) {
    const size_t n = size();
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
        value_type& item = Items()[i];
        if (pred(item))
            sink(std::move(item));
        else if (kept++ != i)
            Items()[kept - 1] = std::move(item);
    }
    while (Block && Block->Size > kept) {
        --Block->Size;
        Items()[Block->Size].~value_type();
    }
}

template <class IsExpanded>
TkxNode* TkxTreeModel::NextVisible(const TkxNode* node, IsExpanded&& isExpanded) const {
    if (!node)
        return RootNode.Children.empty() ? nullptr : RootNode.Children.front().get();
    if (!node->Children.empty() && isExpanded(node))
        return node->Children.front().get();
    while (node && node->Parent) {
        const TkxNode* parent = node->Parent;
        if (size_t(node->Row) + 1 < parent->Children.size())
            return parent->Children[size_t(node->Row) + 1].get();
        node = parent;
    }
    return nullptr;
}
