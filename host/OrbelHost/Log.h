#pragma once
#include <QLoggingCategory>

// Host core events (sessions, signaling, dropped messages).
Q_DECLARE_LOGGING_CATEGORY(hostLog)
