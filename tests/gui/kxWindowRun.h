#pragma once

// The window over the real services, for the window tests against servers: started without
// its splash and searched from through its commands, as the user does.

#include "app/kxMain.h"
#include "document/kxProjectDoc.h"

#include <QAction>
#include <QStringList>

#include <memory>

// Not shown yet, so a test can set its questions first. Without a recovery folder it keeps
// no recovery file.
inline std::unique_ptr<TfrmMain> NewWindow(const QString& recoveryDir = {},
                                           int recoveryIntervalMs = 60000) {
    TfrmMain::TOptions options{false, nullptr};
    options.RecoveryDir = recoveryDir;
    options.RecoveryIntervalMs = recoveryIntervalMs;
    return std::make_unique<TfrmMain>(QStringList{}, options);
}

// The idle pass enables the commands first, as it does after the user's last event.
inline void Trigger(TfrmMain& w, QAction* action) {
    w.aeMainIdle();
    action->trigger();
}

// An empty tree, searched with these parameters from now on.
inline void NewSearch(TfrmMain& w, const TkxParams& params) {
    w.Doc().ClearTree();
    w.Doc().SetParams(params);
}

// Every node in pre-order with its level, texts and flags, as a project file keeps it. A search
// reads folders and so moves their last-access times: compared with another search's tree,
// those are left out.
inline QStringList Dump(const TkxProjectDoc& doc, bool lastAccess = true) {
    QStringList out;
    for (const TkxNode* n = doc.Tree().NextPreOrder(nullptr); n; n = doc.Tree().NextPreOrder(n)) {
        const TkxInfo& r = n->Info;
        out << QStringList{QString::number(n->Level()),
                           r.NameText(),
                           r.AddressText(),
                           r.SizeRawText(),
                           r.CreatingText(),
                           r.EditTimeText(),
                           lastAccess ? r.LastAccessText() : QString(),
                           QString::number(r.Matched),
                           QString::number(r.HasMatch),
                           QString::number(r.Kind),
                           QString::number(r.Scanned)}
                   .join(u'|');
    }
    return out;
}
