#pragma once
// A mutex with priority inheritance, for the few locks the timing thread has
// to share with ordinary threads: while the raised thread waits on it, the
// holder runs at the waiter's priority, so a busy machine cannot park the
// holder (and with it the write) behind a compile or a stacking job.
// std::mutex gives no way to ask for that.

#include <chrono>
#include <pthread.h>
#include <time.h>

namespace tavrel {

class PiMutex {
public:
    enum Kind { Plain, Recursive };
    explicit PiMutex(Kind kind = Plain)
    {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
        if (kind == Recursive)
            pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&m_mutex, &attributes);
        pthread_mutexattr_destroy(&attributes);
    }
    ~PiMutex() { pthread_mutex_destroy(&m_mutex); }
    PiMutex(const PiMutex &) = delete;
    PiMutex &operator=(const PiMutex &) = delete;

    void lock() { pthread_mutex_lock(&m_mutex); }
    bool try_lock() { return pthread_mutex_trylock(&m_mutex) == 0; }
    void unlock() { pthread_mutex_unlock(&m_mutex); }
    // Gives up after `wait`: for the exit path, which must never hang on a
    // lock whose holder is gone.
    bool try_lock_for(std::chrono::milliseconds wait)
    {
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        const long long ns = until.tv_nsec + (wait.count() % 1000) * 1000000LL;
        until.tv_sec += time_t(wait.count() / 1000 + ns / 1000000000LL);
        until.tv_nsec = long(ns % 1000000000LL);
        return pthread_mutex_timedlock(&m_mutex, &until) == 0;
    }

private:
    pthread_mutex_t m_mutex;
};

} // namespace tavrel
