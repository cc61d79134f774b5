#pragma once

// Desktop services the window uses: registering the project file type with the desktop and
// opening a path or link with the desktop's program for it. GUI library only (QtGui).

#include <QString>
#include <QUrl>

// The project file type as the desktop knows it, and the names of the entry and icon.
inline constexpr char ProjectMimeType[] = "application/x-orvane-project";
inline constexpr char DesktopEntryName[] = "orvane.desktop";
inline constexpr char MimePackageName[] = "orvane.xml";
inline constexpr char AppIconName[] = "orvane.svg";

// Writes the desktop entry and the MIME type of *.kxor under the user's data directory, at
// every start, pointing at the running program.
void RegisterFileAssociation();
// The same into `dataHome` (applications/, mime/packages/, icons/hicolor/scalable/apps/) for
// `program`. The desktop's caches are refreshed in the background when a file changed or a
// cache is missing, and only when the tools exist. Throws EkxError when a file cannot be
// written; anything there that is no regular file is left alone and reported.
void RegisterFileAssociation(const QString& dataHome, const QString& program);

// The Exec value that starts `program` with the opened file: the path quoted and escaped as
// desktop entries need it, then %f.
QString DesktopExecLine(const QString& program);

// What ShellOpen hands to the desktop: \\host\share\dir as smb://host/share/dir (percent-
// encoded; invalid when the host part is no host), a link with a scheme (mailto:, https:, ...)
// as it is, anything else as a file.
QUrl ShellOpenUrl(const QString& target);
// Opens a file, folder, network path, mail or web link of the program's own (an export it
// wrote, the about box's links) with the desktop's handler. Never fails visibly.
void ShellOpen(const QString& target);
// Opens a tree node's address, which may come from a project file of anyone's: only a network
// path with a valid host, as smb://. Throws EkxError saying why anything else is refused.
void OpenNodeAddress(const QString& address);
