#pragma once

// The thread pool hands a task to a worker, and back, under Qt's own
// futex-based locks. ThreadSanitizer cannot see those inside the
// distribution's uninstrumented Qt, so a reused pool thread reading a task
// made on the GUI thread looks like a race to it. These two marks state that
// hand-off where it happens; in any other build they are nothing.

#if defined(__SANITIZE_THREAD__)
#define VEILCAST_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VEILCAST_THREAD_SANITIZER 1
#endif
#endif

#ifdef VEILCAST_THREAD_SANITIZER
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

// Everything this thread wrote before handing `object` over ...
inline void handOver(void* object)
{
#ifdef VEILCAST_THREAD_SANITIZER
    __tsan_release(object);
#else
    (void)object;
#endif
}

// ... is seen by the thread that takes it.
inline void takeOver(void* object)
{
#ifdef VEILCAST_THREAD_SANITIZER
    __tsan_acquire(object);
#else
    (void)object;
#endif
}
