#pragma once
// The desktop's keyboard input sources for the phone: which the user can switch to, which is
// current, switching, and the "ime" message with labels for the phone's soft keyboard — what
// the current layout types on each key, and the symbols of the input methods it knows.
//
// Identifiers on Linux are "xkb:<layout>" or "xkb:<layout>(<variant>)" for the X keyboard
// layouts (as setxkbmap names them) and "ibus:<engine>" for IBus engines. The rules that pick
// symbols read the lower-cased identifier plus these words for Linux names that do not say
// what they are:
//
//   Linux source                                  | read as
//   ----------------------------------------------|-----------------------------
//   ibus:chewing, ibus:libzhuyin, ibus:zhuyin      | zhuyin (standard Zhuyin)
//   ... with "eten" in the identifier              | (nothing: not standard)
//   xkb:kr, xkb:kr(kr104), ibus:hangul             | korean (two-set)
//   xkb:kr(…390/3set…)                             | (nothing: three-set)
//   xkb:jp(kana), ibus:…kana…                       | japanese kana
//   ibus:table:cangjie3/5, ibus:cangjie            | cangjie
//   ibus:table:quick3/5, ibus:quick                | sucheng
//   anything else                                  | the identifier as it is

#include "Platform/KeyboardLayouts.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

class InputSources {
public:
    struct Source {
        QString id;
        QString name;
        bool selected = false;
    };

    explicit InputSources(KeyboardLayouts& layouts);

    QList<Source> list();
    // The current source, selected; nullopt when the desktop reports none.
    std::optional<Source> current();
    // The source after the current one, wrapping; the first when the current is not listed.
    void selectNext();
    void select(const QString& id);

    QJsonObject listMessage();
    QJsonObject currentMessage();

    static bool isStandardZhuyin(const QString& id);
    // Key name → symbol of the input method, for the methods in the table above.
    static QHash<QString, QString> imeSymbols(const QString& id);
    // The 47 keys that get layout labels.
    static const QStringList& labelCodes();

private:
    // The identifier as the symbol rules read it.
    static QString ruleText(const QString& id);
    QHash<QString, QJsonObject> layoutLabels();
    std::optional<QString> translate(uint32_t evdevCode, bool shift);

    KeyboardLayouts& layouts_;
};
