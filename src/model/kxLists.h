#pragma once

#include "model/kxDates.h"

#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

enum TkxItemKind : quint8 { ikNone = 0, ikRange, ikHost, ikShare, ikFolder, ikFile };

enum TkxSlotState : quint8 { ssIdle = 0, ssWaiting, ssWorking, ssDone, ssError, ssTimeout };

// Search parameters. Depth 0 means no limit; LifeTime is in minutes.
struct TkxParams {
    quint32 TotalThreads = 16;
    quint32 Depth = 0;
    quint32 LifeTime = 1;
    QString Masks = QStringLiteral("*.*");
    bool operator==(const TkxParams&) const = default;
};
inline TkxParams DefaultParams() {
    return TkxParams{};
}

// One value: null, a text, a date-time or a number. Kept to 16 bytes (a tree holds
// millions of them): a text of up to 15 UTF-8 bytes is stored in the field itself, a longer
// one in one heap block of exactly its bytes.
class TkxField {
public:
    enum class Type : quint8 { Null, Text, Date, Number };

    TkxField() noexcept = default;
    TkxField(const TkxField& other);
    TkxField(TkxField&& other) noexcept;
    TkxField& operator=(const TkxField& other);
    TkxField& operator=(TkxField&& other) noexcept;
    ~TkxField();

    bool IsEmpty() const { return Kind == Null; }
    Type ValueType() const;
    // Empty when null; a text as it is; a date-time by DateTimeText; a number with up to
    // 15 significant digits, a whole number without a decimal point.
    QString AsText() const;
    // A text's bytes as held: UTF-8, but a lone surrogate as its own three bytes. Empty for a
    // value that is no text held as set (null, a date, a number).
    QByteArrayView Utf8() const;
    // The value as a number: a date or number as held, a text parsed; nullopt-like 0 with ok=false.
    double AsDouble(bool* ok = nullptr) const;

    // An empty text makes the value null. True when the value changed.
    bool SetText(const QString& text);
    void SetDate(double days);    // 0 or less makes the value null
    void SetNumber(double value); // also 0

protected:
    // A text that DateTimeText gives for `days`, held as the value: it still is a text.
    void SetTextOfDate(double days);

private:
    // Kind: one of these, or Inline + n for a text of n (1 to 15) bytes held in Raw.
    enum : quint8 { Null, Heap, Date, Number, DateText, Inline = 16 };
    static constexpr quint32 InlineBytes = 15;

    void Reset() noexcept;
    double Num() const;
    void SetNum(double value);
    const char* HeapBytes() const;
    quint32 HeapSize() const;

    // Num: a double at 0; Heap: the block pointer at 0 and the byte count at 8.
    alignas(8) unsigned char Raw[InlineBytes] = {};
    quint8 Kind = Null;
};

class TkxWideString : public TkxField {};
class TkxDateTime : public TkxWideString {
public:
    // As TkxField::SetText; a text that is exactly the date text of a value takes no heap
    // block (a loaded project holds millions of them) and reads back as the same text.
    void SetText(const QString& text);
};
class TkxNumber : public TkxWideString {
public:
    // Human-readable size: 512b, 15Kb, 3Mb ... 1023Tb, "Very big size"; empty for 0 or no number.
    QString SizeText() const;
};

// One result record: a range, host, share, folder or file.
class TkxInfo {
public:
    TkxWideString Name;
    TkxWideString Address;
    TkxNumber Size;
    TkxDateTime Creating;
    TkxDateTime EditTime;
    TkxDateTime LastAccess;
    quint8 Matched = 0;
    quint8 Kind = ikNone;
    quint8 HasMatch = 0;
    quint8 Scanned = 0;
    // In memory only, never in files, and in what would be padding: a number a tree watcher
    // gives the node (0 none); a flag it may set that a change of the name clears, so that it
    // can tell a node renamed since without keeping a copy of every name; and one it keeps for
    // itself. Not part of the record's value: a watcher that sees the tree as const sets them.
    mutable quint32 WatchId : 30 = 0;
    mutable quint32 NameWatched : 1 = 0;
    mutable quint32 WatchMark : 1 = 0;
    // The server's file id of a folder (0 = unknown); kept in memory only, never in files.
    quint64 FileId = 0;

    QString NameText() const { return Name.AsText(); }
    QString AddressText() const { return Address.AsText(); }
    QString CreatingText() const { return Creating.AsText(); }
    QString EditTimeText() const { return EditTime.AsText(); }
    QString LastAccessText() const { return LastAccess.AsText(); }
    QString SizeRawText() const { return Size.AsText(); }
    QString SizeText() const { return Size.SizeText(); }

    void SetName(const QString& text);    // an empty text leaves the name unchanged
    void SetAddress(const QString& text); // also sets Name when Name is empty
    void SetCreating(double days) { Creating.SetDate(days); }
    void SetEditTime(double days) { EditTime.SetDate(days); }
    void SetLastAccess(double days) { LastAccess.SetDate(days); }
    void SetSize(double bytes) { Size.SetNumber(bytes); }
    void SetCreatingText(const QString& t) { Creating.SetText(t); }
    void SetEditTimeText(const QString& t) { EditTime.SetText(t); }
    void SetLastAccessText(const QString& t) { LastAccess.SetText(t); }
    void SetSizeText(const QString& t) { Size.SetText(t); }
    void SetMatched(quint8 b) { Matched = b; }
    void SetKind(quint8 k) { Kind = k; }
    void SetHasMatch(quint8 b) { HasMatch = b; }
    void SetScanned(quint8 b) { Scanned = b; }
};

class TkxInfoList;
struct TkxNode;

// How a task that ended in ssError failed: an error of the task itself (a folder loop, a bad
// mask), or a listing the server refused for good, or one that may pass on another try.
enum TkxTaskFailure : quint8 { tfError = 0, tfLasting, tfPassing };

// The worker of a slot, as the slot sees it (the engine provides it).
class TkxSlotWorker {
public:
    virtual ~TkxSlotWorker() = default;
    // The slot lets the worker go: from now on it adds no record and changes no state.
    // Called with the slot's guard held.
    virtual void SetOwnerNone() = 0;
    virtual void Terminate() = 0;
};

// Starts a worker for the slot's current task; may throw. Without a factory no worker starts.
// The worker is shared by the slot and the thread that runs it, so whichever lets go of it
// last frees it: the slot when it lets the worker go, or the thread when the task ends.
using TkxWorkerFactory = std::function<std::shared_ptr<TkxSlotWorker>(TkxInfoList& slot)>;

// One worker slot of a search. The manager and the slot's current worker share it: every
// access from either side holds Guard, taken once per visit or step (it is not recursive).
// A worker keeps its own reference to Guard, so it can still lock it (and find itself let go)
// after the slot is gone.
class TkxInfoList {
public:
    TkxInfoList(int slotIndex, const QString& masksText);
    ~TkxInfoList();
    TkxInfoList(const TkxInfoList&) = delete;
    TkxInfoList& operator=(const TkxInfoList&) = delete;

    const std::shared_ptr<std::mutex> Guard = std::make_shared<std::mutex>();
    // Signalled (under Guard) when the manager takes records from a working slot, or lets the
    // worker go: a range task that has filled the slot waits for it.
    const std::shared_ptr<std::condition_variable> Drained =
        std::make_shared<std::condition_variable>();

    TkxWideString Name;
    TkxWideString Address;
    TkxItemKind Kind = ikNone;
    TkxSlotState State = ssIdle;
    std::shared_ptr<TkxSlotWorker> Worker;
    QString ErrorText;
    TkxTaskFailure Failure = tfError; // with ssError
    QStringList Masks;
    int WorksCount = 0;
    int SlotIndex = 0;
    double StateTime = 0;                             // local time of the last state change (shown)
    std::chrono::steady_clock::time_point StateClock; // the same moment, for lifetimes
    TkxNode* Node = nullptr;                          // the tree node being worked on
    TkxWorkerFactory WorkerFactory;
    // Loop guard of a folder task: the folder's own server file id and the ids of its
    // ancestors on the same share (share root first; 0 = not known yet). The worker reports
    // the ids it had to fetch in LearntIds and the folder's own id in FileId.
    quint64 FileId = 0;
    std::vector<std::pair<QString, quint64>> Ancestors;
    std::vector<std::pair<QString, quint64>> LearntIds;
    // A range task that goes on after this address (an interrupted one); empty: from the start.
    QString ResumeAfter;

    // The texts are kept beside the fields as well: rows and tasks read them for every task.
    // A worker may still hold a copy of the old text; it is let go here, in code that thread
    // checkers see (QString's own assignment is compiled into Qt), not inside Qt.
    const QString& NameText() const { return NameString; }
    const QString& AddressText() const { return AddressString; }
    void SetName(const QString& text) {
        Name.SetText(text);
        QString copy = text;
        NameString.swap(copy);
    }
    void SetAddress(const QString& text) {
        Address.SetText(text);
        QString copy = text;
        AddressString.swap(copy);
    }
    void SetKind(TkxItemKind k) { Kind = k; }
    void SetErrorText(const QString& text) { ErrorText = text; }

    // Detaches and stops a running worker; ssWorking starts a new one; ssIdle clears Address.
    // The caller holds Guard.
    void SetState(TkxSlotState s);

    int Count() const { return int(Records.size()); }
    const TkxInfo* Items(int i) const { return &Records.at(size_t(i)); }
    void Add(TkxInfo&& record) { Records.push_back(std::move(record)); }
    // Appends the records; into an empty slot they move as one block.
    void AddAll(std::vector<TkxInfo>&& records) {
        if (Records.empty()) {
            Records.swap(records);
            records.clear();
            return;
        }
        Records.insert(Records.end(), std::make_move_iterator(records.begin()),
                       std::make_move_iterator(records.end()));
        records.clear();
    }
    // Records are kept by value: a walk moves tens of thousands of them.
    std::vector<TkxInfo> TakeAll() { return std::exchange(Records, {}); }
    void ClearRecords() { Records.clear(); }

private:
    std::vector<TkxInfo> Records;
    QString NameString, AddressString;
};
