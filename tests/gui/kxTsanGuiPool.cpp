// Linked into the window's tests in ThreadSanitizer builds only.
//
// QtGui's raster engine splits a large fill over the threads of QThreadPool::globalInstance()
// and waits for the parts on a QSemaphore. Qt is not instrumented and its locks are futexes,
// so ThreadSanitizer sees neither the hand-over of a part nor the wait for it: the pool's queue
// page, the task and its closure, allocated by the GUI thread and freed by a pooled one, and
// the image rows a pooled thread fills, all read as races, in frames of Qt that carry no symbol
// (so no suppression entry can name them). Nothing of ours runs on that pool: the engine, the
// helper pool and the resolver have threads of their own. So the pool's threads are kept out
// of the checker: before main, each of them takes one task that turns checking off on it, and
// the pool keeps them (no expiry); as the application ends, each takes one that turns it back
// on, as a thread must not end with checking off.

#include <QCoreApplication>
#include <QThreadPool>

#include <functional>
#include <latch>
#include <memory>

extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);

namespace {

// The pool hands a task to a thread under a lock the checker can not see: this orders the task
// as it was made before the thread that runs it.
char HandOver;

// Runs `step` once on every thread of the pool: each task waits until all have run it, so no
// thread takes two. (Not waitForDone: it ends the pool's threads.)
template <class F> void OnEveryPoolThread(QThreadPool* pool, F step) {
    const int threads = pool->maxThreadCount();
    auto done = std::make_shared<std::latch>(threads + 1);
    for (int i = 0; i < threads; ++i) {
        std::function<void()> task = [done, step] {
            __tsan_acquire(&HandOver);
            step();
            done->arrive_and_wait();
        };
        __tsan_release(&HandOver);
        pool->start(std::move(task));
    }
    done->arrive_and_wait();
}

void CheckPoolAgain() {
    OnEveryPoolThread(QThreadPool::globalInstance(), [] { __tsan_ignore_thread_end(); });
}

struct TkxQuietGuiPool {
    TkxQuietGuiPool() {
        QThreadPool* pool = QThreadPool::globalInstance();
        pool->setExpiryTimeout(-1);
        OnEveryPoolThread(pool, [] { __tsan_ignore_thread_begin(); });
        // The application's destructor ends the pool's threads right after its post routines.
        qAddPostRoutine(CheckPoolAgain);
    }
} QuietGuiPool;

} // namespace
