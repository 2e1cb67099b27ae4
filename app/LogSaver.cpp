#include "app/LogSaver.h"

#include "platform/AtomicFile.h"

CLogSaver::CLogSaver(QObject *parent)
    : QObject(parent)
{
}

CLogSaver::~CLogSaver()
{
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_one();
    // Joined here, before QObject goes: a result posted meanwhile is dropped with the object.
    if (m_writer.joinable())
        m_writer.join();
}

void CLogSaver::Save(const QString &path, const QString &text)
{
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_jobs.emplace_back(path, text);
    }
    m_wake.notify_one();
    if (!m_writer.joinable())
        m_writer = std::thread([this] { writerLoop(); });
}

void CLogSaver::writerLoop()
{
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
        if (m_jobs.empty())
            return;   // stopping, and every save handed over is done
        std::pair<QString, QString> job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        const QString error = WriteFileAtomically(job.first, job.second.toUtf8());
        QMetaObject::invokeMethod(this, [this, path = job.first, error] { emit Saved(path, error); },
                                  Qt::QueuedConnection);
        lock.lock();
    }
}
