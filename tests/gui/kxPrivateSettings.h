#pragma once

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

// A settings directory of the test's own: window tests never read or write the user's
// settings. Made when the test object is, before anything has asked for a settings path.
class TkxPrivateSettings : public QTemporaryDir {
public:
    TkxPrivateSettings() {
        if (isValid())
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(path()));
    }
};
