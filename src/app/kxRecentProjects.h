#pragma once

// The projects opened or saved last, newest first, kept in the settings beside the window's
// stored state, and their items in the File menu.

#include <QObject>
#include <QStringList>

#include <array>

class QAction;
class QMenu;

class TkxRecentProjects : public QObject {
    Q_OBJECT
public:
    static constexpr int Count = 5;

    // Adds a separator and Count items to the end of menu; both show only while in use.
    explicit TkxRecentProjects(QMenu* menu, QObject* parent = nullptr);

    QStringList Files() const;
    // Moves the file (made absolute) to the top.
    void Add(const QString& fileName);
    void Remove(const QString& fileName);

    const std::array<QAction*, Count>& Items() const { return MenuItems; }
    QAction* Separator() const { return MenuSeparator; }

Q_SIGNALS:
    // An item was chosen: the file it names, empty for an unused item.
    void OpenRequested(const QString& fileName);

private:
    void Set(const QStringList& files);
    void ShowInMenu();

    QMenu* Menu;
    std::array<QAction*, Count> MenuItems;
    QAction* MenuSeparator;
};
