#include "app/kxRecentProjects.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QSettings>

namespace {

const QString SettingsKey = QStringLiteral("RecentProjects");

QSettings WindowSettings() {
    return QSettings(QStringLiteral("KX"), QStringLiteral("Orvane"));
}

} // namespace

TkxRecentProjects::TkxRecentProjects(QMenu* menu, QObject* parent)
    : QObject(parent), Menu(menu), MenuSeparator(menu->addSeparator()) {
    for (size_t i = 0; i < MenuItems.size(); ++i) {
        QAction* item = menu->addAction(QString());
        item->setObjectName(QStringLiteral("miRecent%1").arg(i + 1));
        connect(item, &QAction::triggered, this,
                [this, item] { Q_EMIT OpenRequested(item->data().toString()); });
        MenuItems[i] = item;
    }
    ShowInMenu();
}

QStringList TkxRecentProjects::Files() const {
    QStringList files = WindowSettings().value(SettingsKey).toStringList();
    // Settings edited by hand: no empty or repeated entries, no more than the menu holds.
    files.removeAll(QString());
    files.removeDuplicates();
    return files.mid(0, Count);
}

void TkxRecentProjects::Set(const QStringList& files) {
    QSettings settings = WindowSettings();
    if (files.isEmpty())
        settings.remove(SettingsKey);
    else
        settings.setValue(SettingsKey, files);
    ShowInMenu();
}

void TkxRecentProjects::Add(const QString& fileName) {
    const QString path = QDir::cleanPath(QFileInfo(fileName).absoluteFilePath());
    QStringList files = Files();
    files.removeAll(path);
    files.prepend(path);
    Set(files.mid(0, Count));
}

void TkxRecentProjects::Remove(const QString& fileName) {
    QStringList files = Files();
    if (files.removeAll(fileName) > 0)
        Set(files);
}

void TkxRecentProjects::ShowInMenu() {
    const QStringList files = Files();
    const QFontMetrics metrics(Menu->font());
    for (size_t i = 0; i < MenuItems.size(); ++i) {
        QAction* item = MenuItems[i];
        const QString file = files.value(qsizetype(i));
        item->setData(file);
        item->setVisible(!file.isEmpty());
        if (file.isEmpty())
            continue;
        // A long path keeps its start and the file's name.
        QString shown = metrics.elidedText(QDir::toNativeSeparators(file), Qt::ElideMiddle,
                                           60 * metrics.averageCharWidth());
        shown.replace(u'&', QStringLiteral("&&"));
        item->setText(QStringLiteral("&%1 %2").arg(i + 1).arg(shown));
    }
    MenuSeparator->setVisible(!files.isEmpty());
}
