#pragma once

// How many SMB helpers the pool may run. On loopback the helpers, the server and the search
// share the cores, so a few helpers are best and more only compete; on a real network the
// helpers mostly wait for answers, so the number of requests in flight decides. The sizer
// therefore grows the pool toward the number of requests that want a helper while the machine
// has CPU to spare, and takes a growth back when the listings did not get faster with it.
//
// It learns in windows of completed requests. A window is judged when it holds enough
// requests and time; helpers that have not served their first request yet (start-up,
// connection set-up) pause the measurement, so a growth is judged by helpers at work. A walk
// lists faster by itself once its first, larger folders are done, so a growth is tried for one
// window and then the old number for one more (the extra helpers kept idle meanwhile): the
// growth stays when it beat the windows on both sides of it.

#include <algorithm>
#include <chrono>
#include <cstdint>

class TkxPoolSizer {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        int Initial = 2;
        int Floor = 2;
        int Ceiling = 64;
        // A window closes after this long and this many requests per allowed helper.
        std::chrono::milliseconds MinWindow{40};
        int CompletionsPerHelper = 4;
        // Idle CPU, in cores, below which the machine has none to spare.
        double SpareCores = 0.5;
        // A growth from n to m helpers is kept when the request rate rose by at least this
        // share of the m/n that perfect scaling would give.
        double KeepShare = 0.25;
        // After a growth was taken back, no new one for this long.
        std::chrono::milliseconds Hold{1500};
    };

    // idleSeconds: MachineIdleSeconds() now, the start of the first measurement.
    TkxPoolSizer(Options options, Clock::time_point now, double idleSeconds);

    // Helpers that may work at once, and helpers to keep (more while a growth is judged).
    int Target() const { return Allowed; }
    int Keep() const { return std::max(Allowed, Kept); }

    // An acquire found no helper free and no room for another.
    void Waited() { SawWaiting = true; }
    // A helper started (+1) or served its first request or died unused (-1).
    void Fresh(int delta, Clock::time_point now);
    // A request ended; true when the window is due for Judge.
    bool Completed(Clock::time_point now);
    // Closes the window. idleSeconds: the machine's cumulative idle CPU seconds (all cores);
    // demand: requests holding or waiting for a helper now. Yields the new target.
    int Judge(Clock::time_point now, double idleSeconds, int demand);

    // For diagnostics: the most helpers ever allowed, and what the last judgement saw.
    int MostAllowed() const { return Most; }
    double LastIdleCores() const { return LastIdle; }
    double LastRate() const { return LastRateSeen; }

private:
    void Restart(Clock::time_point now, double idleSeconds);

    Options Opt;
    int Allowed;
    int Most;
    int FreshCount = 0;
    int Judged = 0; // windows judged so far: the first one holds the start-up
    // the window of requests, and the span the idle CPU is measured over (since the last
    // judgement; a window restarted by fresh helpers keeps it)
    Clock::time_point Start;
    int Done = 0;
    bool SawWaiting = false;
    Clock::time_point IdleSince;
    double IdleAtStart;
    // a growth under test: tried for a window, then the old number for one more
    enum { Steady, Trying, Returned } Phase = Steady;
    int BeforeGrowth = 0;
    int Kept = 0;
    double RateBefore = 0, RateTried = 0;
    Clock::time_point HoldUntil;
    double LastIdle = 0, LastRateSeen = 0;
};

// The machine's cumulative idle CPU seconds (idle and I/O wait of all cores), -1 if unknown.
double MachineIdleSeconds();
