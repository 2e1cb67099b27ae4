#pragma once

#include <QByteArray>
#include <QString>

// Replaces (or creates) the file at `path` with `bytes` so that it is never seen half done:
// the bytes go to a new temporary file in the same folder (created exclusively, never
// through a link), are flushed to the disk and their size checked, and only then is it
// renamed over the path; the folder is flushed last. Any failure (a full disk, a folder
// without write permission, a folder that is gone) removes the temporary file and leaves
// what was at the path as it was. A path that is a symbolic link keeps it: the file it
// points to is replaced. A new file gets the mode the umask allows; a replaced one keeps its
// own.
//
// Returns "" when done, otherwise the system's text for what failed. It blocks on the disk:
// call it on a thread that may wait. No state: any thread, any number at once.
QString WriteFileAtomically(const QString &path, const QByteArray &bytes);
// The same, but a new file is its owner's alone (0600), for a file that may hold what others
// should not read (a desktop permission's token, say).
QString WritePrivateFileAtomically(const QString &path, const QByteArray &bytes);

// Removes the temporary files that writes of `path` killed midway left beside it (the same
// folder, the names only the writes above give), the current user's own regular files that
// no write has touched for STALE_TEMPORARY_SECONDS: a write of another process under way is
// younger. Returns how many went. Blocks on the file system, like the writes.
inline constexpr int STALE_TEMPORARY_SECONDS = 60;
int RemoveStaleTemporaries(const QString &path);
