#pragma once

// The message of the program error an action raises, or "no error".

#include "model/kxErrors.h"

#include <QString>

#include <functional>

inline QString ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EkxError& e) {
        return e.message();
    }
    return QStringLiteral("no error");
}
