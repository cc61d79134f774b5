#pragma once

// The XML export of the result tree: a root element named after the project, one element
// "Level<n>" per node holding first "Info" (six value elements named after the detail list's
// column captions) and then its children's elements. Two blanks of indentation per depth,
// CR LF line ends, UTF-8, an XML declaration first.

#include "model/kxTree.h"
#include "storage/kxProjectFile.h"

#include <QString>
#include <QStringList>

class QIODevice;

// The six value element names in the current language: the captions with blanks turned into
// underscores.
QStringList XmlFieldNames();

// An element name that XML 1.0 and namespaces accept (an NCName: no colon).
bool IsXmlElementName(QStringView name);
// The name itself when it is one; otherwise every character XML forbids there becomes '_'
// and a leading digit, '-' or '.' gets a '_' before it ("2024-scan" gives "_2024-scan").
QString XmlElementNameOf(const QString& name);

// Writes the document. Every name is checked before anything is written: one that XML rejects
// throws EkxError and leaves any existing file alone, as does a failure while writing. Text
// characters that XML 1.0 can not hold become U+FFFD; tab, CR and LF are written as character
// references so that the value survives and stays on its line.
void WriteXmlExport(const QString& fileName, const QString& rootName, const TkxTreeModel& tree,
                    const TkxProgress& progress = {});
void WriteXmlData(QIODevice& device, const QString& rootName, const QStringList& fieldNames,
                  const TkxTreeModel& tree, const TkxProgress& progress = {});
