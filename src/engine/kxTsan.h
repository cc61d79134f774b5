#pragma once

// Qt's event queue orders a posted event before its delivery with locks that ThreadSanitizer
// does not see (Qt is not instrumented). A poster calls TsanPosted on the event before it
// posts it, the receiver TsanReceived on it first thing: that one order becomes visible.

#if defined(__SANITIZE_THREAD__)
#define ORVANE_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORVANE_TSAN 1
#endif
#endif

#ifdef ORVANE_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

inline void TsanPosted([[maybe_unused]] void* event) {
#ifdef ORVANE_TSAN
    __tsan_release(event);
#endif
}

inline void TsanReceived([[maybe_unused]] void* event) {
#ifdef ORVANE_TSAN
    __tsan_acquire(event);
#endif
}
