#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

// Qt's threads are detached: QThread::wait() and QThreadPool::waitForDone()
// return before the finished thread has run its thread-specific-data
// destructors, which is where OpenSSL frees its per-thread state. If the
// process ends in that gap, OpenSSL's exit handler deletes its key first and
// the thread's state is never freed. This forces that order on a thread
// marked with holdThisThread(): its exit waits until the exit handlers
// registered after install() (OpenSSL's among them) have run, and the process
// gives it time to finish before LeakSanitizer looks. A thread that gave its
// state back before the join leaves nothing to find.
namespace SlowThreadExit {

inline std::atomic<bool>& handlersRan()
{
    static std::atomic<bool> ran{false};
    return ran;
}

inline pthread_key_t& key()
{
    static pthread_key_t k;
    return k;
}

// Call before the first OpenSSL call of the process: exit handlers run in
// reverse order, and thread destructors in the order their keys were made.
inline bool install()
{
    std::atexit([] {
        handlersRan() = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    });
    return pthread_key_create(&key(), [](void*) {
               for (int i = 0; i < 500 && !handlersRan(); ++i) {
                   std::this_thread::sleep_for(std::chrono::milliseconds(10));
               }
           }) == 0;
}

inline void holdThisThread()
{
    static int mark;
    pthread_setspecific(key(), &mark);
}

}  // namespace SlowThreadExit
