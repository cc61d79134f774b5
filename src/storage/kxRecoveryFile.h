#pragma once

// A recovery file: the window's project as a crash, a kill or a logout would otherwise take it
// with them. A few header lines (what the question at the next start shows, and what tells a
// whole file of this program's version from anything else), then the project in the project
// file's own format.

#include <QDateTime>
#include <QString>

#include <functional>

class QIODevice;

struct TkxRecoveryInfo {
    QString ProjectFileName; // empty for an untitled project
    QString ProjectName;     // as the window showed it
    int NewProjectCount = 0;
    int Nodes = 0;
    QDateTime Written; // UTC
    QString Version;   // of the program that wrote it
};

// Writes the header, then the project through writeProject. The project's length goes into the
// header, so that a file cut short (or grown) is told from a whole one.
void WriteRecoveryFile(QIODevice& device, const TkxRecoveryInfo& info,
                       const std::function<void(QIODevice&)>& writeProject);

// Reads and checks the header; the device is left where the project starts. Throws EkxError
// when the file is no recovery file or a damaged one, and when another version wrote it (that
// version is then in the message), so that it is never read as an empty project.
TkxRecoveryInfo ReadRecoveryHeader(QIODevice& device, const QString& currentVersion);
