#pragma once

class QWidget;

// The translation request: the texts in the first keyboard language without a table, edited
// in a dialog and saved as UTF-16 text. Does nothing when there is no such language.
void ExecuteTranslateRequest(QWidget* owner);
