// Names per second through the search's mask test, as the walker calls it for every entry.
#include "model/kxMasks.h"

#include <QRandomGenerator>
#include <QStringList>

#include <chrono>
#include <cstdio>

namespace {

QStringList MakeNames(int count) {
    const QStringList words{"report", "Report", "invoice",  "IMG_",   "setup",   "readme",
                            "data",   "backup", "notes",    "Budget", "archive", "cat",
                            "beta",   "Alpha",  "draft",    "thumbs", "desktop", "LICENSE",
                            "Отчёт",  "проект", "Документ", "фото",   "Смета",   "письмо"};
    const QStringList extensions{".doc",    ".DOC", ".txt", ".TXT", ".pdf",  ".jpg", ".xlsx",
                                 ".tar.gz", ".tmp", ".ini", ".tXt", ".docx", "",     ""};
    QRandomGenerator random(42);
    QStringList names;
    names.reserve(count);
    for (int i = 0; i < count; ++i) {
        QString name = words[random.bounded(int(words.size()))];
        if (random.bounded(2))
            name += QString::number(random.bounded(100000));
        if (random.bounded(4) == 0)
            name += u' ' + words[random.bounded(int(words.size()))].toLower();
        name += extensions[random.bounded(int(extensions.size()))];
        names.append(name);
    }
    return names;
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

} // namespace

int main() {
    constexpr int Count = 1000000;
    const QStringList names = MakeNames(Count);
    const QStringList masks{"*.doc", "report*", "[a-c]*.t?t"};

    int matched = 0;
    for (int i = 0; i < 10000; ++i)
        matched += NameMatchesMasks(names[i], masks);

    matched = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const QString& name : names)
        matched += NameMatchesMasks(name, masks);
    const double elapsed = Seconds(std::chrono::steady_clock::now() - start);
    std::printf("NameMatchesMasks, 3 masks: %d names in %.3f s = %.0f names/s (%d matched)\n",
                Count, elapsed, Count / elapsed, matched);

    // The worst shape a user can type: 30 star groups, none of which can finish.
    const QByteArray longName = QByteArray(1000, 'a');
    const QByteArray starMask = QByteArray("*a").repeated(29) + "*c";
    constexpr int Hard = 2000;
    int hardMatched = 0;
    const auto hardStart = std::chrono::steady_clock::now();
    for (int i = 0; i < Hard; ++i)
        hardMatched += MatchesMask(longName, starMask);
    const double hardElapsed = Seconds(std::chrono::steady_clock::now() - hardStart);
    std::printf("MatchesMask, 30 star groups on 1000 bytes: %.1f us per name (%d matched)\n",
                hardElapsed / Hard * 1e6, hardMatched);
    return 0;
}
