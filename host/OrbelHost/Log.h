#pragma once
#include <QLoggingCategory>

// Host core events (sessions, signaling, dropped messages).
Q_DECLARE_LOGGING_CATEGORY(hostLog)
// Clipboard sync: what went to and came from the phones.
Q_DECLARE_LOGGING_CATEGORY(clipLog)
// File transfers: what was received, sent, refused or lost.
Q_DECLARE_LOGGING_CATEGORY(fileLog)
