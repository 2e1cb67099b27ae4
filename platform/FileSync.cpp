#include "platform/FileSync.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

QString SyncToDisk(int fd)
{
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(EBADF));
    int result;
    do
        result = ::fsync(fd);
    while (result != 0 && errno == EINTR);
    // A file system without a sync of its own (a pipe, some special files) has nothing to flush.
    if (result != 0 && errno != EINVAL && errno != EROFS)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString();
}
