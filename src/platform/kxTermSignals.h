#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Signals that ask the program to end (SIGTERM from a shutdown or a service manager, SIGHUP
// from a closed terminal or a logout) as a Qt signal on the thread that made this object. The
// handler only writes the signal's number into a pipe; a socket notifier reads it in the
// event loop, where anything may be done. Each signal is caught once: a second one of the same
// kind has its default effect. One object at a time; it restores the default handling when
// destroyed.
class TkxTermSignals : public QObject {
    Q_OBJECT
public:
    explicit TkxTermSignals(std::initializer_list<int> signos, QObject* parent = nullptr);
    ~TkxTermSignals() override;

Q_SIGNALS:
    void Received(int signo);

private:
    void Read();

    QSocketNotifier* Notifier = nullptr;
    int Signos[8] = {};
    int Count = 0;
};
