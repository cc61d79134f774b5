#pragma once

#include <QString>

class QWidget;

// Edits a masks text one mask per line; yields the text unchanged when cancelled.
QString EditMasks(QWidget* owner, const QString& masks);
