#pragma once

#include <functional>

class QObject;

// SIGTERM, SIGINT and SIGHUP end the run in order instead of killing the process, so that
// the last settings change is written and the port is let go as at a normal close. The
// signal handler only writes a byte to a pipe; `onSignal` runs on the thread of `context`
// (the window's) once its event loop reads it. A second signal of the run kills at once, as
// the operator asked twice. Call once, after the application object exists.
bool CatchTerminationSignals(QObject *context, std::function<void()> onSignal);
