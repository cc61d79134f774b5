#include "model/kxTree.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <new>
#include <stdexcept>

static_assert(sizeof(TkxNode) <= 136, "a node and malloc's header fit a 144-byte chunk");
static_assert(alignof(std::unique_ptr<TkxNode>) <= 8 && sizeof(std::unique_ptr<TkxNode>) == 8);

TkxNodeList& TkxNodeList::operator=(TkxNodeList&& other) noexcept {
    if (this != &other) {
        clear();
        std::free(Block);
        Block = std::exchange(other.Block, nullptr);
    }
    return *this;
}

TkxNodeList::~TkxNodeList() {
    clear();
    std::free(Block);
}

void TkxNodeList::reserve(size_t n) {
    if (n <= capacity())
        return;
    if (n > std::numeric_limits<quint32>::max())
        throw std::length_error("too many children");
    auto* block = static_cast<THeader*>(std::malloc(sizeof(THeader) + n * sizeof(value_type)));
    if (!block)
        throw std::bad_alloc();
    const size_t count = size();
    auto* items = reinterpret_cast<value_type*>(block + 1);
    for (size_t i = 0; i < count; ++i) {
        new (items + i) value_type(std::move(Items()[i]));
        Items()[i].~value_type();
    }
    std::free(Block);
    block->Size = quint32(count);
    block->Capacity = quint32(n);
    Block = block;
}

void TkxNodeList::push_back(value_type&& node) {
    if (size() == capacity())
        reserve(std::max<size_t>(4, 2 * capacity()));
    new (end()) value_type(std::move(node));
    ++Block->Size;
}

TkxNodeList::value_type TkxNodeList::take(size_t i) {
    value_type node = std::move(Items()[i]);
    std::move(begin() + i + 1, end(), begin() + i);
    back().~value_type();
    --Block->Size;
    return node;
}

void TkxNodeList::clear() noexcept {
    // The block stays: the list is usually refilled or dropped.
    if (!Block)
        return;
    while (Block->Size > 0) {
        --Block->Size;
        Items()[Block->Size].~value_type();
    }
}

int TkxNode::Level() const {
    int level = -1;
    for (const TkxNode* n = this; n->Parent; n = n->Parent)
        ++level;
    return level;
}

TkxTreeModel::TkxTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

TkxTreeModel::~TkxTreeModel() = default;

TkxNode* TkxTreeModel::AppendNode(TkxNode* parent, TkxInfo&& info) {
    std::vector<TkxInfo> one;
    one.push_back(std::move(info));
    return AppendNodes(parent, std::move(one)).front();
}

std::vector<TkxNode*> TkxTreeModel::AppendNodes(TkxNode* parent, std::vector<TkxInfo>&& infos) {
    if (!parent)
        parent = &RootNode;
    std::vector<TkxNode*> added;
    if (infos.empty())
        return added;
    added.reserve(infos.size());
    const int first = int(parent->Children.size());
    const int last = first + int(infos.size()) - 1;
    if (BulkDepth == 0)
        beginInsertRows(IndexOf(parent), first, last);
    // Geometric growth: a project file appends a large directory's entries one at a time.
    const size_t needed = parent->Children.size() + infos.size();
    if (needed > parent->Children.capacity())
        parent->Children.reserve(std::max(needed, 2 * parent->Children.capacity()));
    for (auto& info : infos) {
        auto node = std::make_unique<TkxNode>();
        node->Parent = parent;
        node->Row = int(parent->Children.size());
        node->Info = std::move(info);
        added.push_back(node.get());
        parent->Children.push_back(std::move(node));
    }
    Count += int(added.size());
    if (BulkDepth == 0)
        endInsertRows();
    return added;
}

int TkxTreeModel::SubtreeSize(const TkxNode* node) {
    int n = 1;
    for (const auto& child : node->Children)
        n += SubtreeSize(child.get());
    return n;
}

void TkxTreeModel::SetFailure(TkxNode* node, const QString& reason) {
    if (!node || node == &RootNode)
        return;
    if (reason.isEmpty()) {
        if (Failures.erase(node) == 0)
            return;
    } else {
        QString& kept = Failures[node];
        if (kept == reason)
            return;
        kept = reason;
    }
    NodeChanged(node);
}

QString TkxTreeModel::Failure(const TkxNode* node) const {
    if (Failures.empty())
        return {};
    const auto it = Failures.find(node);
    return it == Failures.end() ? QString() : it->second;
}

void TkxTreeModel::ForgetFailuresBelow(const std::unordered_set<const TkxNode*>& tops,
                                       bool keepTops) {
    if (Failures.empty())
        return;
    std::erase_if(Failures, [&](const auto& entry) {
        const TkxNode* n = entry.first;
        if (keepTops)
            n = n->Parent;
        for (; n; n = n->Parent) {
            if (tops.count(n))
                return true;
        }
        return false;
    });
}

void TkxTreeModel::DeleteNode(TkxNode* node) {
    if (!node || node == &RootNode)
        return;
    FlushChanges();
    ForgetFailuresBelow({node}, false);
    ++FreedGeneration;
    TkxNode* parent = node->Parent;
    const int row = node->Row;
    const int removed = SubtreeSize(node);
    beginRemoveRows(IndexOf(parent), row, row);
    std::unique_ptr<TkxNode> doomed = parent->Children.take(size_t(row));
    for (size_t i = size_t(row); i < parent->Children.size(); ++i)
        parent->Children[i]->Row = int(i);
    Count -= removed;
    endRemoveRows();
    doomed.reset();
}

int TkxTreeModel::DeleteNodes(const std::vector<TkxNode*>& nodes) {
    if (nodes.empty())
        return 0;
    FlushChanges();
    ForgetFailuresBelow(std::unordered_set<const TkxNode*>(nodes.begin(), nodes.end()), false);
    ++FreedGeneration;
    Q_EMIT layoutAboutToBeChanged();
    // Taken after the signal: proxies make their persistent indexes in its handlers.
    const QModelIndexList before = persistentIndexList();

    // A doomed node is marked by its row until its parent's children close up.
    std::vector<TkxNode*> parents;
    std::unordered_set<TkxNode*> seen;
    for (TkxNode* node : nodes) {
        if (!node || node == &RootNode || node->Row < 0)
            continue;
        node->Row = -1;
        if (seen.insert(node->Parent).second)
            parents.push_back(node->Parent);
    }
    std::vector<std::unique_ptr<TkxNode>> doomed;
    int removed = 0;
    for (TkxNode* parent : parents) {
        parent->Children.extract_if([](const std::unique_ptr<TkxNode>& c) { return c->Row < 0; },
                                    [&](std::unique_ptr<TkxNode>&& c) {
                                        removed += SubtreeSize(c.get());
                                        c->Parent = nullptr; // cut off with its subtree
                                        doomed.push_back(std::move(c));
                                    });
        for (size_t i = 0; i < parent->Children.size(); ++i)
            parent->Children[i]->Row = int(i);
    }
    Count -= removed;

    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& index : before) {
        TkxNode* node = NodeOf(index);
        const TkxNode* top = node;
        while (top && top->Parent)
            top = top->Parent;
        after.append(node && top == &RootNode ? createIndex(node->Row, index.column(), node)
                                              : QModelIndex());
    }
    changePersistentIndexList(before, after);
    Q_EMIT layoutChanged();
    doomed.clear();
    return removed;
}

void TkxTreeModel::DeleteChildren(TkxNode* node) {
    if (!node)
        node = &RootNode;
    if (node->Children.empty())
        return;
    FlushChanges();
    ForgetFailuresBelow({node}, true);
    ++FreedGeneration;
    int removed = 0;
    for (const auto& child : node->Children)
        removed += SubtreeSize(child.get());
    beginRemoveRows(IndexOf(node), 0, int(node->Children.size()) - 1);
    TkxNodeList doomed = std::move(node->Children);
    Count -= removed;
    endRemoveRows();
    doomed.clear();
}

void TkxTreeModel::Clear() {
    FlushChanges();
    Failures.clear();
    ++FreedGeneration;
    beginResetModel();
    RootNode.Children.clear();
    Count = 0;
    endResetModel();
}

void TkxTreeModel::NodeChanged(TkxNode* node) {
    if (!node || node == &RootNode || BulkDepth > 0)
        return;
    if (ChangeDepth > 0) {
        if (ChangedSet.insert(node).second)
            Changed.push_back(node);
        return;
    }
    const QModelIndex i = IndexOf(node);
    Q_EMIT dataChanged(i, i);
}

void TkxTreeModel::BeginChanges() {
    ++ChangeDepth;
}

void TkxTreeModel::EndChanges() {
    if (ChangeDepth > 0 && --ChangeDepth == 0)
        FlushChanges();
}

void TkxTreeModel::FlushChanges() {
    if (Changed.empty())
        return;
    std::vector<TkxNode*> nodes = std::exchange(Changed, {});
    ChangedSet.clear();
    for (TkxNode* node : nodes) {
        const QModelIndex i = IndexOf(node);
        Q_EMIT dataChanged(i, i);
    }
}

void TkxTreeModel::BeginBulk() {
    if (BulkDepth++ == 0) {
        FlushChanges();
        beginResetModel();
    }
}

void TkxTreeModel::EndBulk() {
    if (BulkDepth > 0 && --BulkDepth == 0)
        endResetModel();
}

QModelIndex TkxTreeModel::IndexOf(const TkxNode* node) const {
    if (!node || node == &RootNode)
        return {};
    return createIndex(node->Row, 0, const_cast<TkxNode*>(node));
}

TkxNode* TkxTreeModel::NodeOf(const QModelIndex& index) const {
    if (!index.isValid())
        return nullptr;
    return static_cast<TkxNode*>(index.internalPointer());
}

TkxNode* TkxTreeModel::NextPreOrder(const TkxNode* node) const {
    return NextVisible(node, [](const TkxNode*) { return true; });
}

QModelIndex TkxTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0 || row < 0)
        return {};
    const TkxNode* p = parent.isValid() ? NodeOf(parent) : &RootNode;
    if (size_t(row) >= p->Children.size())
        return {};
    return createIndex(row, 0, p->Children[size_t(row)].get());
}

QModelIndex TkxTreeModel::parent(const QModelIndex& child) const {
    const TkxNode* node = NodeOf(child);
    if (!node || !node->Parent || node->Parent == &RootNode)
        return {};
    return IndexOf(node->Parent);
}

int TkxTreeModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0)
        return 0;
    const TkxNode* p = parent.isValid() ? NodeOf(parent) : &RootNode;
    return int(p->Children.size());
}

int TkxTreeModel::columnCount(const QModelIndex&) const {
    return 1;
}

bool TkxTreeModel::hasChildren(const QModelIndex& parent) const {
    const TkxNode* p = parent.isValid() ? NodeOf(parent) : &RootNode;
    return !p->Children.empty();
}

QVariant TkxTreeModel::data(const QModelIndex& index, int role) const {
    const TkxNode* node = NodeOf(index);
    if (!node)
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return node->Info.NameText();
    case Qt::ToolTipRole:
    case AddressRole:
        return node->Info.AddressText();
    case HasMatchRole:
        return node->Info.HasMatch != 0;
    case ImageIndexRole:
        return node->ImageIndex;
    case KindRole:
        return int(node->Info.Kind);
    case NodeRole:
        return QVariant::fromValue(quintptr(node));
    case FailureRole:
        return Failure(node);
    default:
        return {};
    }
}
