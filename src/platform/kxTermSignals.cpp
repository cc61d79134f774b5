#include "platform/kxTermSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace {

int Pipe[2] = {-1, -1};

void OnSignal(int signo) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t n = ::write(Pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

TkxTermSignals::TkxTermSignals(std::initializer_list<int> signos, QObject* parent)
    : QObject(parent) {
    if (Pipe[0] >= 0 || ::pipe2(Pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    Notifier = new QSocketNotifier(Pipe[0], QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, [this] { Read(); });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // A second signal of the same kind ends the program at once, also one stuck on its way out.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (int signo : signos) {
        if (Count < int(std::size(Signos)) && ::sigaction(signo, &action, nullptr) == 0)
            Signos[Count++] = signo;
    }
}

TkxTermSignals::~TkxTermSignals() {
    if (!Notifier)
        return;
    for (int i = 0; i < Count; ++i)
        std::signal(Signos[i], SIG_DFL);
    delete Notifier;
    ::close(Pipe[0]);
    ::close(Pipe[1]);
    Pipe[0] = Pipe[1] = -1;
}

void TkxTermSignals::Read() {
    unsigned char bytes[16];
    ssize_t n;
    while ((n = ::read(Pipe[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            Q_EMIT Received(bytes[i]);
    }
}
