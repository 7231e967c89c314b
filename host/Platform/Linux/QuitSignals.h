#pragma once
// SIGINT, SIGTERM and SIGHUP quit the Qt event loop instead of killing the process, so the
// host's destructors run: held keys are released and the desktop's key repeat is restored.
void quitOnTerminationSignals();
