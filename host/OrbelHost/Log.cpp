#include "OrbelHost/Log.h"

Q_LOGGING_CATEGORY(hostLog, "orbel.host")
