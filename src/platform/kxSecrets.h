#pragma once

// A process that holds a password in memory must not be dumped or traced by the same user: a
// core file or a debugger would hand the password to whoever reads it.

// While any instance lives, the process is not dumpable (prctl PR_SET_DUMPABLE 0); when the last
// one goes, the process is dumpable again if it was before the first. Thread-safe.
class TkxNotDumpable {
public:
    TkxNotDumpable();
    ~TkxNotDumpable();
    TkxNotDumpable(const TkxNotDumpable&) = delete;
    TkxNotDumpable& operator=(const TkxNotDumpable&) = delete;

    // Whether this process may be dumped now.
    static bool ProcessDumpable();
};
