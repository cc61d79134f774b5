#pragma once

// Whole searches with real services, for the tests against real servers: what failed, and
// every node the search left behind.

#include "document/kxProjectDoc.h"
#include "engine/kxServices.h"
#include "kxFakeServices.h"

#include <QStringList>

#include <map>
#include <memory>

struct TkxSearchOutcome {
    std::map<QString, QString> Failed; // address -> thread state text
    std::map<QString, QString> Names;  // address -> caption, every node
    QStringList Addresses;             // every node, in pre-order
};

// A search of the given tops (ranges as "first - last", anything else a share or folder
// path), with these services, until it is over.
inline TkxSearchOutcome SearchToEnd(const std::shared_ptr<TkxNetServices>& services,
                                    const QStringList& tops) {
    TkxProjectDoc doc;
    doc.SetNetServices(services);
    TkxParams p;
    p.LifeTime = 2;
    p.Masks = QStringLiteral("*");
    doc.SetParams(p);
    for (const QString& top : tops) {
        if (top.contains(u'-'))
            doc.AddRange(top, top);
        else
            AddTop(doc, top.count(u'\\') > 3 ? ikFolder : ikShare, top);
    }
    TkxSearchOutcome out;
    QObject::connect(
        &doc, &TkxProjectDoc::TaskFailed,
        [&](const QString& address, const QString& state) { out.Failed[address] = state; });
    doc.Continue();
    if (!WaitIdle(doc, 120000))
        qWarning("the search did not end");
    for (TkxNode* n = doc.Tree().NextPreOrder(nullptr); n; n = doc.Tree().NextPreOrder(n)) {
        out.Names[n->Info.AddressText()] = n->Info.NameText();
        out.Addresses << n->Info.AddressText();
    }
    return out;
}

inline TkxCredentials AccountWith(const QString& user, const QString& password) {
    TkxCredentials c = TkxCredentials::ForUser(user);
    c.Password = password;
    return c;
}
