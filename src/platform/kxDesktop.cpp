#include "platform/kxDesktop.h"

#include <QDesktopServices>
#include <QUrl>

void RegisterFileAssociation() {}

void ShellOpen(const QString& target) {
    QDesktopServices::openUrl(QUrl::fromUserInput(target));
}
