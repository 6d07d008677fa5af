// Happens-before edges that ThreadSanitizer cannot see for itself because
// they run through code that is not instrumented, such as Qt's posted-event
// queue. Outside TSan builds the macros are empty.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define ORVIK_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORVIK_TSAN 1
#endif
#endif

#ifdef ORVIK_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
// Everything this thread wrote so far is published under `addr`...
#define ORVIK_TSAN_RELEASE(addr) __tsan_release(static_cast<void*>(addr))
// ...and seen by the thread that acquires the same address afterwards.
#define ORVIK_TSAN_ACQUIRE(addr) __tsan_acquire(static_cast<void*>(addr))
#else
#define ORVIK_TSAN_RELEASE(addr) static_cast<void>(addr)
#define ORVIK_TSAN_ACQUIRE(addr) static_cast<void>(addr)
#endif
