#pragma once

#include <QString>

class QWidget;

// Asks for a new range. True when confirmed: name is the range's display text, rangeText its
// address text ("FIRST - LAST").
bool ExecuteRangeDialog(QWidget* owner, QString& name, QString& rangeText);
