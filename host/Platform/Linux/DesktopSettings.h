#pragma once
// Reads and writes the desktop's GSettings keys. A schema or key this system lacks reads as
// nothing and is not written: GLib would abort the process otherwise.

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <optional>

namespace desktop_settings {
std::optional<bool> readBool(const char* schema, const char* key);
bool writeBool(const char* schema, const char* key, bool value);
std::optional<int> readInt(const char* schema, const char* key);
std::optional<QStringList> readStrings(const char* schema, const char* key);
// A list of string pairs (type "a(ss)"), such as GNOME's input sources.
std::optional<QList<QPair<QString, QString>>> readPairs(const char* schema, const char* key);
} // namespace desktop_settings
