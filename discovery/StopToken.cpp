#include "discovery/StopToken.h"

#include <chrono>

void CStopToken::requestStop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
}

bool CStopToken::stopRequested() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stop;
}

bool CStopToken::waitFor(int milliseconds)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_wake.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_stop; });
}
