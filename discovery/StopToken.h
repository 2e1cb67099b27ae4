#pragma once

#include <condition_variable>
#include <mutex>

// Lets the owner of a background search end its waits early. Shared between the owner's
// thread (requestStop) and the search thread (waitFor, stopRequested).
class CStopToken
{
public:
    void requestStop();
    bool stopRequested() const;
    // Waits up to `milliseconds`; returns true as soon as a stop was requested.
    bool waitFor(int milliseconds);

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
};
