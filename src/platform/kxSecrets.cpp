#include "platform/kxSecrets.h"

#include <mutex>
#include <sys/prctl.h>

namespace {
std::mutex Mutex;
int Holders = 0;
bool WasDumpable = false;
} // namespace

TkxNotDumpable::TkxNotDumpable() {
    std::lock_guard lock(Mutex);
    if (Holders++ == 0) {
        WasDumpable = prctl(PR_GET_DUMPABLE) == 1;
        prctl(PR_SET_DUMPABLE, 0);
    }
}

TkxNotDumpable::~TkxNotDumpable() {
    std::lock_guard lock(Mutex);
    if (--Holders == 0 && WasDumpable)
        prctl(PR_SET_DUMPABLE, 1);
}

bool TkxNotDumpable::ProcessDumpable() {
    return prctl(PR_GET_DUMPABLE) == 1;
}
