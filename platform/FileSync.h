#pragma once

#include <QString>

// Flushes what was written to the open file `fd` to the disk. Returns "" when done,
// otherwise the system's text for the error: some file systems (network ones, those
// that allocate late, a failing device) report a full disk or a lost write only here.
QString SyncToDisk(int fd);
