#pragma once

// Reading a running orvane-scan's progress line from its standard error.

#include <QByteArray>
#include <QProcess>
#include <QTest>

// Waits until the running scan's progress shows at least `nodes` nodes; what it read stays in
// `progress` for the caller.
inline bool WaitForNodes(QProcess& p, QByteArray& progress, int nodes) {
    return QTest::qWaitFor(
        [&] {
            progress += p.readAllStandardError();
            const qsizetype at = progress.lastIndexOf("nodes ");
            return at >= 0 && progress.mid(at + 6).split('\x1b').first().toInt() >= nodes;
        },
        60000);
}

inline bool WaitForNodes(QProcess& p, int nodes) {
    QByteArray progress;
    return WaitForNodes(p, progress, nodes);
}
