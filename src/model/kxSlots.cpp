#include "model/kxDelimited.h"
#include "model/kxErrors.h"
#include "model/kxLists.h"

TkxInfoList::TkxInfoList(int slotIndex, const QString& masksText)
    : Masks(SplitDelimited(masksText, u';')), SlotIndex(slotIndex), StateTime(NowDays()),
      StateClock(std::chrono::steady_clock::now()) {}

TkxInfoList::~TkxInfoList() {
    std::lock_guard lock(*Guard);
    SetState(ssIdle);
    Records.clear();
}

void TkxInfoList::SetState(TkxSlotState s) {
    if (s == State)
        return;
    if (s != ssError) {
        ErrorText.clear();
        Failure = tfError;
    }
    if (Worker) {
        const std::shared_ptr<TkxSlotWorker> old = std::exchange(Worker, nullptr);
        try {
            old->SetOwnerNone();
            old->Terminate();
            Drained->notify_all();
        } catch (...) {
            NoteSwallowed("letting a worker go");
        }
    }
    if (s == ssWorking) {
        try {
            if (WorkerFactory)
                Worker = WorkerFactory(*this);
        } catch (...) {
            NoteSwallowed("starting a worker");
            Worker = nullptr;
        }
        ++WorksCount;
    }
    if (s == ssIdle)
        SetAddress(QString());
    StateTime = NowDays();
    StateClock = std::chrono::steady_clock::now();
    State = s;
}
