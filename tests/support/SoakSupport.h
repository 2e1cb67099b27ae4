#pragma once

// What the soak and bad-input tests share: a pseudo-terminal standing in for the reader,
// registered as a COM number in the window's ports folder, and the process's own figures
// read from /proc (resident memory, open descriptors, threads, CPU time).

#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <atomic>
#include <cstdint>

// Built with AddressSanitizer, resident memory says nothing about leaks (its quarantine
// keeps freed blocks) and LeakSanitizer checks them instead.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool MEMORY_FIGURES_MEANINGFUL = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool MEMORY_FIGURES_MEANINGFUL = false;
#else
inline constexpr bool MEMORY_FIGURES_MEANINGFUL = true;
#endif
#else
inline constexpr bool MEMORY_FIGURES_MEANINGFUL = true;
#endif

qint64 ResidentKiB();     // VmRSS
int OpenDescriptors();    // entries of /proc/self/fd
int Threads();            // entries of /proc/self/task
qint64 CpuTicks();        // user + system time of the process, in clock ticks
qint64 TicksPerSecond();

// True when the variable is set to a number; the number, else `fallback`.
qint64 EnvNumber(const char *name, qint64 fallback);

// The reader's side of a pseudo-terminal; the window opens the other side as COM<number>.
class CReaderLine
{
public:
    CReaderLine() = default;
    ~CReaderLine();
    CReaderLine(const CReaderLine &) = delete;
    CReaderLine &operator=(const CReaderLine &) = delete;

    bool Open(const QString &portsFolder, int number);
    void HangUp();                     // closes the reader's side
    int master() const { return m_master; }
    // Writes every byte, waiting while the terminal is full; false once the line is gone
    // or `stop` is set. `written`, when given, gets how many went out, a part included.
    bool WriteAll(const char *bytes, std::size_t count, const std::atomic<bool> *stop = nullptr,
                  std::size_t *written = nullptr);
    // Reads and drops what the window sent, without waiting.
    void Drain();

private:
    int m_master = -1;
    QString m_link;
};
