#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

// How late the window's thread serves an event: a thread of its own posts an event stamped
// with its sending time every `period`, and the object's thread (the window's, when the
// probe is made there) records how long each waited in its queue.
class CLatencyProbe final : public QObject
{
public:
    using Clock = std::chrono::steady_clock;

    explicit CLatencyProbe(Clock::duration period) : m_period(period) {}
    ~CLatencyProbe() override { Stop(); }

    void Start()
    {
        m_running = true;
        m_thread = std::thread([this] {
            Clock::time_point next = Clock::now();
            while (m_running.load()) {
                // A probe thread held up by the machine does not post a burst to catch up.
                next = std::max(next + m_period, Clock::now());
                std::this_thread::sleep_until(next);
                QCoreApplication::postEvent(this, new CStampEvent(Clock::now()));
            }
        });
    }

    // Stops posting and takes in what is still queued.
    void Stop()
    {
        if (!m_thread.joinable())
            return;
        m_running = false;
        m_thread.join();
        QCoreApplication::sendPostedEvents(this, CStampEvent::eventType());
    }

    bool event(QEvent *e) override
    {
        if (e->type() != CStampEvent::eventType())
            return QObject::event(e);
        const auto sent = static_cast<CStampEvent *>(e)->sent;
        delaysUs.push_back(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count());
        return true;
    }

    std::vector<qint64> delaysUs;   // the probe object's thread only

private:
    class CStampEvent final : public QEvent
    {
    public:
        static QEvent::Type eventType()
        {
            static const int type = QEvent::registerEventType();
            return QEvent::Type(type);
        }
        explicit CStampEvent(Clock::time_point sent) : QEvent(eventType()), sent(sent) {}
        const Clock::time_point sent;
    };

    const Clock::duration m_period;
    std::atomic<bool> m_running{false};
    std::thread m_thread;
};
