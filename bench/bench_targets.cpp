// How long a list of targets takes to read, parse and sum up: the Add targets dialog does it
// for every change of its text, orvane-scan once per --targets.
//
//   build/bin/bench_targets
#include "model/kxTargets.h"

#include <QRandomGenerator>
#include <QStringList>

#include <chrono>
#include <cstdio>

namespace {

// Named blocks and ranges with an exclusion every third line, most of them cutting a block
// above them, as a list cut out of an office's address plan would look.
QString MakeList(int lines) {
    QRandomGenerator random(21);
    QStringList out;
    out.reserve(lines);
    out << QStringLiteral("# generated");
    for (int i = 1; i < lines; ++i) {
        const quint32 net = 0x0A000000u + (quint32(random.bounded(1 << 16)) << 8);
        switch (i % 3) {
        case 0:
            out << QStringLiteral("!") + DottedAddress(net + quint32(random.bounded(256)));
            break;
        case 1:
            out << QStringLiteral("Site %1=%2/%3")
                       .arg(i)
                       .arg(DottedAddress(net))
                       .arg(20 + random.bounded(13));
            break;
        default:
            out << DottedAddress(net + 1) + QStringLiteral(" - ") + DottedAddress(net + 200);
            break;
        }
    }
    return out.join(QStringLiteral("\r\n"));
}

double Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main() {
    using Clock = std::chrono::steady_clock;
    std::printf("%10s %10s %12s %12s %12s %10s\n", "lines", "MiB", "read ms", "parse ms",
                "summary ms", "ranges");
    for (int lines : {1000, 10000, 100000, 600000}) {
        const QByteArray bytes = MakeList(lines).toUtf8();
        const auto t0 = Clock::now();
        const TkxTargetText text = TargetTextOf(bytes);
        const auto t1 = Clock::now();
        const TkxTargetsResult parsed = ParseTargetList(text.Text);
        const auto t2 = Clock::now();
        const quint64 addresses = AddressCount(parsed.Targets);
        const int overlapping = OverlappingCount(parsed.Targets);
        const auto t3 = Clock::now();
        if (text.Error || !parsed.Ok() || addresses == 0 || overlapping < 0)
            return 1;
        std::printf("%10d %10.2f %12.1f %12.1f %12.1f %10zu\n", lines,
                    double(bytes.size()) / (1 << 20), Ms(t1 - t0), Ms(t2 - t1), Ms(t3 - t2),
                    parsed.Targets.size());
    }
    return 0;
}
