// Hand-offs ThreadSanitizer cannot see: a lock taken inside an uninstrumented library (a WinPR
// critical section) orders korvane's code on two threads, yet to the sanitizer the two look
// unordered. Marking korvane's own token as acquired after such a lock is taken and released
// before it is let go gives the sanitizer the same order. Nothing at all in other builds.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define KORVANE_TSAN_ANNOTATIONS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KORVANE_TSAN_ANNOTATIONS 1
#endif
#endif

#ifdef KORVANE_TSAN_ANNOTATIONS
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace korvane {

// token: any address of korvane's that stands for the lock.
inline void tsan_acquired(void* token) {
#ifdef KORVANE_TSAN_ANNOTATIONS
  __tsan_acquire(token);
#else
  (void)token;
#endif
}

inline void tsan_releasing(void* token) {
#ifdef KORVANE_TSAN_ANNOTATIONS
  __tsan_release(token);
#else
  (void)token;
#endif
}

}  // namespace korvane
