#pragma once

// Reading a running orvane-scan's progress line from its standard error.

#include <QByteArray>
#include <QProcess>
#include <QTest>

// Whether the last progress line in `progress` shows at least `nodes` nodes.
inline bool ShowsNodes(const QByteArray& progress, int nodes) {
    const qsizetype at = progress.lastIndexOf("nodes ");
    return at >= 0 && progress.mid(at + 6).split('\x1b').first().toInt() >= nodes;
}

// Waits until the running scan's progress shows at least `nodes` nodes; what it read stays in
// `progress` for the caller.
inline bool WaitForNodes(QProcess& p, QByteArray& progress, int nodes) {
    return QTest::qWaitFor(
        [&] {
            progress += p.readAllStandardError();
            return ShowsNodes(progress, nodes);
        },
        60000);
}
