#pragma once

#include <QDebug>
#include <QString>

#include <atomic>
#include <stdexcept>

// The program's ordinary error: a fixed English message, shown as it stands in the errors
// pane, the thread list or the status bar.
class EkxError : public std::runtime_error {
public:
    explicit EkxError(const QString& message)
        : std::runtime_error(message.toStdString()), Message(message) {}
    const QString& message() const noexcept { return Message; }

private:
    QString Message;
};

// The message of any exception, for places that record an error as text.
inline QString ErrorMessage(const std::exception& e) {
    if (auto* k = dynamic_cast<const EkxError*>(&e))
        return k->message();
    return QString::fromUtf8(e.what());
}

// Errors that are swallowed on purpose (a bridge call, one slot's visit, a clean-up step) keep
// that behaviour; debug builds count and log each one, so that none goes unseen.
inline std::atomic<int>& SwallowedErrors() {
    static std::atomic<int> count{0};
    return count;
}
inline void NoteSwallowed([[maybe_unused]] const char* where) noexcept {
#ifndef NDEBUG
    SwallowedErrors().fetch_add(1, std::memory_order_relaxed);
    try {
        qDebug("Orvane: an error was swallowed in %s", where);
    } catch (...) {
    }
#endif
}
