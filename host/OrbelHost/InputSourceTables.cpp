// InputSources: the keys that get labels and the symbols of the input methods it knows.

#include "OrbelHost/InputSources.h"

namespace {
using Table = QHash<QString, QString>;

Table table(std::initializer_list<std::pair<const char*, const char*>> entries)
{
    Table t;
    for (const auto& [key, symbol] : entries)
        t.insert(QString::fromLatin1(key), QString::fromUtf8(symbol));
    return t;
}

const Table& zhuyin()
{
    static const Table t = table({
        { "Digit1", "ㄅ" }, { "Digit2", "ㄉ" }, { "Digit3", "ˇ" }, { "Digit4", "ˋ" }, { "Digit5", "ㄓ" },
        { "Digit6", "ˊ" }, { "Digit7", "˙" }, { "Digit8", "ㄚ" }, { "Digit9", "ㄞ" }, { "Digit0", "ㄢ" },
        { "Minus", "ㄦ" }, { "KeyQ", "ㄆ" }, { "KeyW", "ㄊ" }, { "KeyE", "ㄍ" }, { "KeyR", "ㄐ" },
        { "KeyT", "ㄔ" }, { "KeyY", "ㄗ" }, { "KeyU", "ㄧ" }, { "KeyI", "ㄛ" }, { "KeyO", "ㄟ" },
        { "KeyP", "ㄣ" }, { "KeyA", "ㄇ" }, { "KeyS", "ㄋ" }, { "KeyD", "ㄎ" }, { "KeyF", "ㄑ" },
        { "KeyG", "ㄕ" }, { "KeyH", "ㄘ" }, { "KeyJ", "ㄨ" }, { "KeyK", "ㄜ" }, { "KeyL", "ㄠ" },
        { "Semicolon", "ㄤ" }, { "KeyZ", "ㄈ" }, { "KeyX", "ㄌ" }, { "KeyC", "ㄏ" }, { "KeyV", "ㄒ" },
        { "KeyB", "ㄖ" }, { "KeyN", "ㄙ" }, { "KeyM", "ㄩ" }, { "Comma", "ㄝ" }, { "Period", "ㄡ" },
        { "Slash", "ㄥ" },
    });
    return t;
}

const Table& hangul2Set()
{
    static const Table t = table({
        { "KeyQ", "ㅂ" }, { "KeyW", "ㅈ" }, { "KeyE", "ㄷ" }, { "KeyR", "ㄱ" }, { "KeyT", "ㅅ" },
        { "KeyY", "ㅛ" }, { "KeyU", "ㅕ" }, { "KeyI", "ㅑ" }, { "KeyO", "ㅐ" }, { "KeyP", "ㅔ" },
        { "KeyA", "ㅁ" }, { "KeyS", "ㄴ" }, { "KeyD", "ㅇ" }, { "KeyF", "ㄹ" }, { "KeyG", "ㅎ" },
        { "KeyH", "ㅗ" }, { "KeyJ", "ㅓ" }, { "KeyK", "ㅏ" }, { "KeyL", "ㅣ" }, { "KeyZ", "ㅋ" },
        { "KeyX", "ㅌ" }, { "KeyC", "ㅊ" }, { "KeyV", "ㅍ" }, { "KeyB", "ㅠ" }, { "KeyN", "ㅜ" },
        { "KeyM", "ㅡ" },
    });
    return t;
}

const Table& kana()
{
    static const Table t = table({
        { "Digit1", "ぬ" }, { "Digit2", "ふ" }, { "Digit3", "あ" }, { "Digit4", "う" }, { "Digit5", "え" },
        { "Digit6", "お" }, { "Digit7", "や" }, { "Digit8", "ゆ" }, { "Digit9", "よ" }, { "Digit0", "わ" },
        { "Minus", "ほ" }, { "Equal", "へ" }, { "KeyQ", "た" }, { "KeyW", "て" }, { "KeyE", "い" },
        { "KeyR", "す" }, { "KeyT", "か" }, { "KeyY", "ん" }, { "KeyU", "な" }, { "KeyI", "に" },
        { "KeyO", "ら" }, { "KeyP", "せ" }, { "BracketLeft", "゛" }, { "BracketRight", "゜" },
        { "Backslash", "む" }, { "KeyA", "ち" }, { "KeyS", "と" }, { "KeyD", "し" }, { "KeyF", "は" },
        { "KeyG", "き" }, { "KeyH", "く" }, { "KeyJ", "ま" }, { "KeyK", "の" }, { "KeyL", "り" },
        { "Semicolon", "れ" }, { "Quote", "け" }, { "KeyZ", "つ" }, { "KeyX", "さ" }, { "KeyC", "そ" },
        { "KeyV", "ひ" }, { "KeyB", "こ" }, { "KeyN", "み" }, { "KeyM", "も" }, { "Comma", "ね" },
        { "Period", "る" }, { "Slash", "め" },
    });
    return t;
}

const Table& cangjie()
{
    static const Table t = table({
        { "KeyQ", "手" }, { "KeyW", "田" }, { "KeyE", "水" }, { "KeyR", "口" }, { "KeyT", "廿" },
        { "KeyY", "卜" }, { "KeyU", "山" }, { "KeyI", "戈" }, { "KeyO", "人" }, { "KeyP", "心" },
        { "KeyA", "日" }, { "KeyS", "尸" }, { "KeyD", "木" }, { "KeyF", "火" }, { "KeyG", "土" },
        { "KeyH", "竹" }, { "KeyJ", "十" }, { "KeyK", "大" }, { "KeyL", "中" }, { "KeyZ", "重" },
        { "KeyX", "難" }, { "KeyC", "金" }, { "KeyV", "女" }, { "KeyB", "月" }, { "KeyN", "弓" },
        { "KeyM", "一" },
    });
    return t;
}
} // namespace

const QStringList& InputSources::labelCodes()
{
    static const QStringList codes = [] {
        QStringList list;
        for (char digit = '0'; digit <= '9'; ++digit)
            list << QStringLiteral("Digit") + QLatin1Char(digit);
        list << QStringLiteral("Backquote") << QStringLiteral("Minus") << QStringLiteral("Equal")
             << QStringLiteral("BracketLeft") << QStringLiteral("BracketRight") << QStringLiteral("Backslash")
             << QStringLiteral("Semicolon") << QStringLiteral("Quote") << QStringLiteral("Comma")
             << QStringLiteral("Period") << QStringLiteral("Slash");
        for (char letter = 'A'; letter <= 'Z'; ++letter)
            list << QStringLiteral("Key") + QLatin1Char(letter);
        return list;
    }();
    return codes;
}

QHash<QString, QString> InputSources::imeSymbols(const QString& id)
{
    const QString text = ruleText(id);
    const auto has = [&](const char* word) { return text.contains(QLatin1String(word)); };
    if (isStandardZhuyin(id))
        return zhuyin();
    if (has("korean") && !has("3set") && !has("390") && !has("romaja"))
        return hangul2Set();
    if (has("kana") && (has("kotoeri") || has("japanese")))
        return kana();
    if (has("cangjie") || has("sucheng"))
        return cangjie();
    return {};
}
