#pragma once

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// Runs jobs on a thread of its own, one after another in the order they were handed over,
// for an owner whose thread must not wait (on the disk, the file system or a bus). A job
// returns what is to be done with its result; that runs later on the receiver's thread.
//
// Threads: Run, Pending and the destructor belong to the receiver's thread. A job runs on
// the queue's thread and may touch only what it captured by value; the closure it returns
// runs on the receiver's thread and may touch the receiver. The queue's thread starts with
// the first job. The destructor lets every job handed over run to its end and joins the
// thread, so nothing handed over is lost; closures not yet run are dropped. Make the queue a
// member of its receiver: it is joined before the receiver's QObject goes, which drops them.
class CWorkQueue
{
public:
    using Apply = std::function<void()>;
    using Job = std::function<Apply()>;

    explicit CWorkQueue(QObject *receiver);
    ~CWorkQueue();
    CWorkQueue(const CWorkQueue &) = delete;
    CWorkQueue &operator=(const CWorkQueue &) = delete;

    // Hands the job over; returns at once.
    void Run(Job job);
    // Jobs handed over whose closure has not run yet.
    int Pending() const { return m_pending; }

private:
    void loop();

    QObject *m_receiver;
    int m_pending = 0;                 // receiver's thread only
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;            // under m_lock
    bool m_stop = false;               // under m_lock
    std::thread m_thread;
};
