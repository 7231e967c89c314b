#pragma once
// The desktop's XSETTINGS (the settings a desktop's settings daemon publishes to X clients,
// e.g. "Net/DoubleClickTime"), read from the owner of the _XSETTINGS_S<screen> selection.

#include <QByteArray>

#include <xcb/xcb.h>

#include <optional>

namespace x11 {
// The integer setting `name` in a _XSETTINGS_SETTINGS property's bytes; nullopt when it is not
// there, is not an integer, or the bytes are malformed.
std::optional<int> xsettingsInt(const QByteArray& property, const QByteArray& name);
// The same, read from the server; nullopt when no settings daemon runs.
std::optional<int> readXSettingsInt(xcb_connection_t* connection, int screen, const QByteArray& name);
} // namespace x11
