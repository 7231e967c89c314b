#include "OrbelHost/Log.h"

Q_LOGGING_CATEGORY(hostLog, "orbel.host")
Q_LOGGING_CATEGORY(clipLog, "com.pelmar.orbel.host.clip")
Q_LOGGING_CATEGORY(fileLog, "orbel.file")
