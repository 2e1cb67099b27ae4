#include "platform/WorkQueue.h"

#include <QMetaObject>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int BACKGROUND_NICE = 19;

} // namespace

CWorkQueue::CWorkQueue() = default;

// Joined before QObject goes, which drops the announcements still queued.
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
    if (!m_thread.joinable()) {
        const bool background = m_background;
        m_thread = std::thread([this, background] {
            // Linux keeps a nice value per thread: this one only.
            if (background)
                ::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), BACKGROUND_NICE);
            loop();
        });
    }
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
        m_running = true;
        lock.unlock();
        Apply apply = job();
        lock.lock();
        m_running = false;
        m_done.push_back(std::move(apply));
        m_idle.notify_all();
        // One announcement per result, delivered on the owner's thread in order.
        QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
    }
}

void CWorkQueue::WaitIdle()
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_idle.wait(lock, [this] { return m_jobs.empty() && !m_running; });
}

void CWorkQueue::deliver()
{
    Apply apply;
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        if (m_done.empty())
            return;
        apply = std::move(m_done.front());
        m_done.pop_front();
    }
    --m_pending;
    if (apply)
        apply();
}
