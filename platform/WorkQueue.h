#pragma once

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// Runs jobs on a thread of its own, one after another in the order they were handed over,
// for an owner whose thread must not wait (on the disk, the file system or a bus). A job
// returns what is to be done with its result; that runs later on the owner's thread, in
// the same order.
//
// Threads: the queue belongs to the thread that makes it (the owner's); Run, Pending and
// the destructor are called there. A job runs on the queue's thread and may touch only
// what it captured by value; the closure it returns runs on the owner's thread and may
// touch the owner. The queue's thread starts with the first job. Results cross back through
// a list under m_lock, announced by a queued call that carries nothing. The destructor lets
// every job handed over run to its end and joins the thread, so nothing handed over is
// lost; closures not yet run are dropped. Make the queue a member of its owner (never a
// child QObject of it): it goes before the owner does.
class CWorkQueue : public QObject
{
    Q_OBJECT

public:
    using Apply = std::function<void()>;
    using Job = std::function<Apply()>;

    CWorkQueue();
    ~CWorkQueue() override;

    // Hands the job over; returns at once.
    void Run(Job job);
    // The queue's thread yields the processor to every other thread of normal priority (a
    // background job that must not take a core from the window's thread on a busy machine).
    // Before the first job.
    void SetBackground(bool on) { m_background = on; }
    // Jobs handed over whose closure has not run yet.
    int Pending() const { return m_pending; }
    // Waits until every job handed over has run; their closures run later, from the event
    // loop. For an owner that must know its work is done (its end, a flush, tests).
    void WaitIdle();

private:
    void loop();
    Q_INVOKABLE void deliver();

    int m_pending = 0;                 // owner's thread only
    bool m_background = false;         // owner's thread only, read by the thread as it starts
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_idle;    // to WaitIdle: a job has ended
    bool m_running = false;            // under m_lock: a job is out of m_jobs but not done
    std::deque<Job> m_jobs;            // under m_lock
    std::deque<Apply> m_done;          // under m_lock
    bool m_stop = false;               // under m_lock
    std::thread m_thread;
};
