#pragma once

#include "protocol/ReaderView.h"

#include <QLatin1String>

// How a line of the traffic is marked as text, wherever it is written: the window's log
// saved with its direction, and the command line's watch. "> " sent, "< " received, "# " the
// tool's note (a link opened, reopened, closed), "! " its error (a link lost).
QLatin1String TrafficMark(LogKind kind);
