#pragma once

// Desktop services the window uses: registering the project file type with the desktop and
// opening a path or link with the desktop's program for it. GUI library only (QtGui).

#include <QString>

// Writes the desktop entry and the MIME type of *.kxor under the user's data directory, at
// every start, pointing at the running program.
void RegisterFileAssociation();
// Opens a file, folder, network path (\\host\share\... as smb://), mail or web link with the
// desktop's handler. Never fails visibly.
void ShellOpen(const QString& target);
