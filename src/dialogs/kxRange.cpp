#include "dialogs/kxRange.h"

bool ExecuteRangeDialog(QWidget*, QString&, QString&) {
    return false;
}
