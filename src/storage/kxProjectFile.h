#pragma once

// The project file (.kxor): UTF-8 lines ended by CR LF; a header of five lines (threads,
// depth, lifetime, masks, node count) and eleven lines per node in pre-order (level, name,
// address, size, three times, Matched, HasMatch, Kind, Scanned).

#include "model/kxErrors.h"
#include "model/kxLists.h"
#include "model/kxTree.h"

#include <QByteArrayView>
#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <functional>
#include <optional>
#include <vector>

class QIODevice;

// Progress of a long pass over the tree: nodes done of the total.
using TkxProgress = std::function<void(int done, int total)>;

// Calls the progress at the first step and then at most every ProgressIntervalMs, so that
// reporting (and the event processing that goes with it) costs next to nothing.
class TkxProgressThrottle {
public:
    static constexpr qint64 ProgressIntervalMs = 100;

    TkxProgressThrottle(const TkxProgress& progress, int total) : Progress(progress), Total(total) {
        Clock.start();
    }
    void Step(int done) {
        if (!Progress || (done & 63) != 1)
            return;
        if (done != 1 && Clock.elapsed() < ProgressIntervalMs)
            return;
        Clock.restart();
        Progress(done, Total);
    }

private:
    const TkxProgress& Progress;
    int Total;
    QElapsedTimer Clock;
};

// Writes the project. The file is replaced only when everything was written (the previous
// file survives any failure). Within values CR and LF are written as U+FFFD, so that no value
// can shift the lines after it; so is a surrogate without its partner. At most
// tree.NodeCount() nodes as counted at the start are written. Throws EkxError.
void WriteProjectFile(const QString& fileName, const TkxParams& params, const TkxTreeModel& tree,
                      const TkxProgress& progress = {});
void WriteProjectData(QIODevice& device, const TkxParams& params, const TkxTreeModel& tree,
                      const TkxProgress& progress = {});

// A value as the project file keeps it: CR, LF and lone surrogates become U+FFFD, as
// WriteProjectFile writes them; everything else stays.
QString ProjectText(QStringView text);

// A size line as the reader holds it: a plain whole number of up to 15 digits as a number
// (it prints back as the same text), anything else as the text.
void SetProjectSize(TkxInfo& info, QByteArrayView line);

// The tree as a checkpoint writes it: taken on the tree's thread in one quick pass, written on
// another thread while a search goes on adding nodes. It points at the nodes, which must
// outlive it (nothing may delete a node while it is written), and copies what a search still
// changes in existing nodes: the HasMatch and Scanned flags and, for hosts, the name.
struct TkxTreeSnapshot {
    struct TEntry {
        const TkxNode* Node = nullptr;
        qint32 Level = 0;
        quint8 HasMatch = 0;
        quint8 Scanned = 0;
    };
    TkxParams Params;
    std::vector<TEntry> Entries;                   // pre-order
    std::vector<std::pair<size_t, QString>> Names; // entry index and name, in entry order

    static TkxTreeSnapshot Take(const TkxTreeModel& tree, const TkxParams& params);
};

// Writes the snapshot in the project file's format. A set `cancel` ends the write early with
// EkxError (CancelledMessage). Safe on any thread while the tree's thread goes on.
void WriteProjectSnapshot(QIODevice& device, const TkxTreeSnapshot& snapshot,
                          const std::atomic<bool>* cancel = nullptr);
inline constexpr char CancelledMessage[] = "The write was cancelled";

// What the reader builds into.
struct TkxProjectSink {
    // The parameters the header starts from; a header line that is missing keeps its value.
    TkxParams Params;
    // The parameters as read: after the header, and also when the file ends within it.
    std::function<void(const TkxParams&)> ParamsRead;
    // Called once after the header, before the first node.
    std::function<void()> ClearTree;
    // Adds the records as the last children of parent (nullptr: top level), in order, and
    // yields the node of the last one.
    std::function<TkxNode*(std::vector<TkxInfo>&&, TkxNode* parent)> AddNodes;
    TkxProgress Progress;
    // Set by the reader: the nodes the header announced, and whether the file holds more after
    // them (a header whose count was damaged, so that most of the file was not read).
    int Announced = 0;
    bool MoreAfterNodes = false;
};

// A project file read as far as its header goes, with more after the nodes it announced: the
// tree holds what was read, and the file must not be replaced by that as if it were all.
class EkxDamagedProject : public EkxError {
public:
    using EkxError::EkxError;
};

// Reads a project. Numbers that do not parse give their defaults; a level more than one deeper
// than the previous node's attaches to the previous node. Anything but blank lines after the
// announced nodes sets sink.MoreAfterNodes (nothing of it is read). A file that ends before its
// announced nodes throws EkxError "Unexpected end of project file" after the nodes read completely
// have been added, and so does a record that would nest deeper than MaxProjectDepth. Only regular
// files are opened. Throws EkxError.
void ReadProjectFile(const QString& fileName, TkxProjectSink& sink);
void ReadProjectData(QIODevice& device, TkxProjectSink& sink);

// A header or record number: a signed 32-bit decimal (blanks around it allowed), or nothing.
std::optional<qint32> ParseProjectNumber(QByteArrayView text);

// The deepest tree a project file may describe. Far beyond what a share's path length allows,
// yet shallow enough for every recursive walk of the tree (its destruction included).
inline constexpr int MaxProjectDepth = 4096;

inline constexpr char UnexpectedEndMessage[] = "Unexpected end of project file";
