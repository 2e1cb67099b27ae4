#include "platform/WorkQueue.h"

#include <QMetaObject>

CWorkQueue::CWorkQueue(QObject *receiver)
    : m_receiver(receiver)
{
}

CWorkQueue::~CWorkQueue()
{
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void CWorkQueue::Run(Job job)
{
    ++m_pending;
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
    if (!m_thread.joinable())
        m_thread = std::thread([this] { loop(); });
}

void CWorkQueue::loop()
{
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
        if (m_jobs.empty())
            return;   // stopping, and every job handed over has run
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        Apply apply = job();
        // Queued to the receiver: delivered by its event loop, dropped if it goes first.
        QMetaObject::invokeMethod(
            m_receiver,
            [this, apply = std::move(apply)] {
                --m_pending;
                if (apply)
                    apply();
            },
            Qt::QueuedConnection);
        lock.lock();
    }
}
