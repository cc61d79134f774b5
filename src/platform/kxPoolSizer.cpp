#include "platform/kxPoolSizer.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

TkxPoolSizer::TkxPoolSizer(Options options, Clock::time_point now, double idleSeconds)
    : Opt(options), Allowed(std::clamp(options.Initial, options.Floor, options.Ceiling)),
      Most(Allowed), Start(now), IdleSince(now), IdleAtStart(idleSeconds) {}

void TkxPoolSizer::Restart(Clock::time_point now, double idleSeconds) {
    Start = now;
    Done = 0;
    SawWaiting = false;
    IdleSince = now;
    IdleAtStart = idleSeconds;
}

void TkxPoolSizer::Fresh(int delta, Clock::time_point now) {
    const int before = FreshCount;
    FreshCount = std::max(0, FreshCount + delta);
    // Requests served while helpers were starting say little about the pool at work.
    if (FreshCount > 0 || before > 0) {
        Start = now;
        Done = 0;
    }
}

bool TkxPoolSizer::Completed(Clock::time_point now) {
    if (FreshCount > 0)
        return false;
    ++Done;
    return Done >= Opt.CompletionsPerHelper * Allowed && now - Start >= Opt.MinWindow;
}

int TkxPoolSizer::Judge(Clock::time_point now, double idleSeconds, int demand) {
    const double seconds = std::chrono::duration<double>(now - Start).count();
    const double rate = seconds > 0 ? Done / seconds : 0;
    // Without both readings the spare CPU is not known: no growth, no shrinking.
    const double span = std::chrono::duration<double>(now - IdleSince).count();
    const bool known = IdleAtStart >= 0 && idleSeconds >= 0 && span > 0;
    const double idleCores = known ? (idleSeconds - IdleAtStart) / span : 0;
    LastIdle = idleCores;
    LastRateSeen = rate;
    ++Judged;
    if (Phase == Trying) {
        RateTried = rate;
        Kept = Allowed;
        Allowed = BeforeGrowth;
        Phase = Returned;
    } else if (Phase == Returned) {
        const double perfect = double(Kept) / double(BeforeGrowth);
        const double before = (RateBefore + rate) / 2;
        if (RateTried >= before * (1 + Opt.KeepShare * (perfect - 1)))
            Allowed = Kept;
        else
            HoldUntil = now + Opt.Hold;
        Kept = 0;
        Phase = Steady;
    } else if (Judged > 1 && SawWaiting && demand > Allowed && Allowed < Opt.Ceiling &&
               idleCores >= Opt.SpareCores && now >= HoldUntil) {
        BeforeGrowth = Allowed;
        RateBefore = rate;
        Allowed = std::min({Opt.Ceiling, demand, Allowed * 2});
        Most = std::max(Most, Allowed);
        Phase = Trying;
    } else if (known && idleCores < Opt.SpareCores / 4 && Allowed > Opt.Floor && !SawWaiting) {
        // No CPU to spare and nobody waiting: a helper fewer competes less.
        --Allowed;
    }
    Restart(now, idleSeconds);
    return Allowed;
}

double MachineIdleSeconds() {
    static const double tick = double(sysconf(_SC_CLK_TCK));
    const int fd = open("/proc/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char buf[256];
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return -1;
    buf[n] = '\0';
    unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0;
    if (std::sscanf(buf, "cpu %llu %llu %llu %llu %llu", &user, &nice, &system, &idle, &iowait) !=
        5)
        return -1;
    return double(idle + iowait) / tick;
}
