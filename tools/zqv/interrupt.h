// tools/zqv/interrupt.h -- Ctrl-C as a request to stop, not a kill, which
// could leave a temporary file behind: the handler raises a flag, and the work
// reads it at its next step (the plug-in through the progress callback) and
// winds down, removing what it had started.
#pragma once

// Installs the handler: sigaction for SIGINT and SIGTERM natively,
// SetConsoleCtrlHandler on win32. Call once, early.
void CatchInterrupts();

// True once the user has asked to stop.
bool Interrupted();
