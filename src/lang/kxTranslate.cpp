#include "lang/kxTranslate.h"

void ExecuteTranslateRequest(QWidget*) {}
