#pragma once

// Text helpers shared by the storage formats and the windows, and the program's version as
// stamped into its executable file.

#include <QByteArray>
#include <QChar>
#include <QIODevice>
#include <QString>
#include <QtGlobal>

#include <functional>

class QIODevice;

// "text (detail)", or the text alone when the detail is empty.
QString TextWithDetail(const QString& text, const QString& detail);

// One UTF-8 line ended by CR LF. A line feed inside the text would split the line and shift
// every line after it, so it is written as U+FFFD; a lone CR is kept. Throws EkxError when
// the device refuses the bytes. A buffered file may report a full disk only when flushed: the
// caller checks flush() before closing.
void WriteTextLine(QIODevice& device, const QString& text);

// The next line without its LF or CR LF, decoded from UTF-8 (bytes that are not UTF-8 become
// U+FFFD). At the end of the data it returns an empty text: check atEnd() first where a
// missing line matters. Throws EkxError on a read error and on a line longer than
// MaxTextLineBytes (a hostile file must not exhaust memory).
QString ReadTextLine(QIODevice& device);
inline constexpr qint64 MaxTextLineBytes = 16 * 1024 * 1024;

// Splits by one delimiter and joins by another, with the quoting of delimited texts.
QString ReDelimit(const QString& text, QChar from, QChar to);
// "File Name" -> "File_Name"; a run of blanks gives one underscore.
QString SpacesToUnderscores(const QString& text);

struct TkxFileVersion {
    quint16 Major = 0;
    quint16 Minor = 0;
    quint16 Release = 0;
    quint16 Build = 0;
    bool operator==(const TkxFileVersion&) const = default;
};

// The version stamped into an ELF executable (section ".orvane_version"). Throws EkxError
// "Unhandled error <reason> with GetFileVersionInfoSize for <file>" when the file cannot be
// read or carries no stamp.
TkxFileVersion GetFileVersion(const QString& fileName);

// "major.minor.release.build" of the running program.
QString ProgramVersionText();

// Every writer (project, XML, CSV) replaces its target by renaming a finished file over it, so
// an existing target must be a regular file (a symbolic link to one is followed): a device
// node or a FIFO would be destroyed, a folder can not be replaced. Its folder must exist and
// be writable. Checked before writing, so a failure costs nothing. Throws EkxError naming
// `what` ("project file", "XML file", "CSV file").
void CheckWriteTarget(const QString& fileName, const QString& what);

// The one way a writer (project, XML, CSV, translation) makes a file: the target is checked
// (CheckWriteTarget), `write` fills a new file beside it, and only a complete file replaces the
// old one by a rename. "Can not create <what> <file>: <reason>" when the new file can not be
// made, "Can not write <what> <file>: <reason>" when the rename fails; an error thrown by
// `write` leaves the old file as it was and passes on.
void WriteFileSafely(const QString& fileName, const QString& what,
                     const std::function<void(QIODevice&)>& write);

// Whether two file names end up writing the same file: links followed (also one that leads
// nowhere yet), hard links and spellings of one path ("./x", "dir/../x") count as the same.
bool SameWriteTarget(const QString& a, const QString& b);

// Writes the whole buffer to the device and empties it; a failed write raises an error
// naming `what` ("project file", "XML file") with the device's reason.
void WriteBuffer(QIODevice& device, QByteArray& buffer, const QString& what);
