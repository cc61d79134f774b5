#pragma once

#include <QString>
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
