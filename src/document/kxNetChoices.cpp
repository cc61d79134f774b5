#include "document/kxNetChoices.h"

#include <QSettings>

namespace {
const QString Group = QStringLiteral("Network");
const QString NetbiosKey = QStringLiteral("Netbios");
const QString AllowSmb1Key = QStringLiteral("AllowSmb1");
} // namespace

TkxNetOptions LoadNetOptions() {
    QSettings settings(QStringLiteral("KX"), QStringLiteral("Orvane"));
    settings.beginGroup(Group);
    TkxNetOptions options;
    options.Netbios = settings.value(NetbiosKey, options.Netbios).toBool();
    options.AllowSmb1 = settings.value(AllowSmb1Key, options.AllowSmb1).toBool();
    return options;
}

void SaveNetOptions(const TkxNetOptions& options) {
    QSettings settings(QStringLiteral("KX"), QStringLiteral("Orvane"));
    settings.beginGroup(Group);
    settings.setValue(NetbiosKey, options.Netbios);
    settings.setValue(AllowSmb1Key, options.AllowSmb1);
}
