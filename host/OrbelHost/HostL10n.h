#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <span>

// Texts are written in the code in Traditional Chinese; this module maps them to the user's language.
namespace HostL10n {

// One of "zh-Hant", "zh-Hans", "en", "ja", "ko"; computed once per process from
// QLocale::system().uiLanguages() (first entry; "en" when empty).
QString language();

// The pure rule behind language(), for tests: first entry of `preferred`, lower-cased
// ("_" treated like "-"), "ja*"→ja, "ko*"→ko, "zh-hans*"/"zh-cn*"/"zh-sg*"→zh-Hans,
// other "zh*"→zh-Hant, else en; empty list → en.
QString languageFor(const QStringList& preferred);

// key (the Traditional Chinese text) -> language code ("en","zh-Hans","ja","ko") -> text.
// 87 keys, built once (thread-safe static).
const QHash<QString, QHash<QString, QString>>& table();

// Lookup for an explicit language: "zh-Hant" returns text unchanged; a missing key or
// language returns text unchanged.
QString lookup(const QString& text, const QString& language);

// Keys in table order (for tests and tools).
const QStringList& keys();

// Replaces the placeholders of `text` in order: "%ld" takes the next argument as an
// integer, "%@" as a string. Placeholders left over when the arguments run out stay as they are.
QString formatPlaceholders(const QString& text, const QList<QVariant>& args);

namespace detail {
// One row of the static table, UTF-8.
struct Row {
    const char* key;
    const char* en;
    const char* zhHans;
    const char* ja;
    const char* ko;
};
// All rows in table order (defined in HostL10nTable.cpp).
std::span<const Row> rows();
} // namespace detail

} // namespace HostL10n

// Every user-visible text on the computer goes through this.
QString HL(const QString& text);

// HL, then the placeholders filled in (translate first: translations keep the key's placeholders).
QString HLFormat(const QString& text, const QList<QVariant>& args);
