#pragma once

#include <QApplication>
#include <QDateTime>
#include <QString>

// The application object. Every error that escapes an event handler of the GUI thread ends
// here instead of ending the program, and is announced for the errors pane.
class TkxApplication : public QApplication {
    Q_OBJECT
public:
    TkxApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* e) override;

    // The running TkxApplication, or null (tests with a plain QApplication).
    static TkxApplication* Instance();

    void RaiseError(const QString& message);

Q_SIGNALS:
    // An uncaught error of the GUI thread: when it happened and its message.
    void ErrorRaised(const QDateTime& when, const QString& message);
};
