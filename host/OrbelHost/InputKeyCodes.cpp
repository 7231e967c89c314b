// InputInjector: the key names a phone may press, as Linux evdev codes. The X server (and
// every Wayland compositor) numbers evdev keyboards' keys as evdev code + 8.

#include "OrbelHost/InputInjector.h"

#include <QSet>

const QHash<QString, uint32_t>& InputInjector::keyCodes()
{
    static const QHash<QString, uint32_t> table {
        // Letters.
        { QStringLiteral("KeyA"), 30 }, { QStringLiteral("KeyB"), 48 }, { QStringLiteral("KeyC"), 46 },
        { QStringLiteral("KeyD"), 32 }, { QStringLiteral("KeyE"), 18 }, { QStringLiteral("KeyF"), 33 },
        { QStringLiteral("KeyG"), 34 }, { QStringLiteral("KeyH"), 35 }, { QStringLiteral("KeyI"), 23 },
        { QStringLiteral("KeyJ"), 36 }, { QStringLiteral("KeyK"), 37 }, { QStringLiteral("KeyL"), 38 },
        { QStringLiteral("KeyM"), 50 }, { QStringLiteral("KeyN"), 49 }, { QStringLiteral("KeyO"), 24 },
        { QStringLiteral("KeyP"), 25 }, { QStringLiteral("KeyQ"), 16 }, { QStringLiteral("KeyR"), 19 },
        { QStringLiteral("KeyS"), 31 }, { QStringLiteral("KeyT"), 20 }, { QStringLiteral("KeyU"), 22 },
        { QStringLiteral("KeyV"), 47 }, { QStringLiteral("KeyW"), 17 }, { QStringLiteral("KeyX"), 45 },
        { QStringLiteral("KeyY"), 21 }, { QStringLiteral("KeyZ"), 44 },
        // Digits.
        { QStringLiteral("Digit1"), 2 }, { QStringLiteral("Digit2"), 3 }, { QStringLiteral("Digit3"), 4 },
        { QStringLiteral("Digit4"), 5 }, { QStringLiteral("Digit5"), 6 }, { QStringLiteral("Digit6"), 7 },
        { QStringLiteral("Digit7"), 8 }, { QStringLiteral("Digit8"), 9 }, { QStringLiteral("Digit9"), 10 },
        { QStringLiteral("Digit0"), 11 },
        // Punctuation.
        { QStringLiteral("Minus"), 12 }, { QStringLiteral("Equal"), 13 }, { QStringLiteral("BracketLeft"), 26 },
        { QStringLiteral("BracketRight"), 27 }, { QStringLiteral("Backslash"), 43 }, { QStringLiteral("Semicolon"), 39 },
        { QStringLiteral("Quote"), 40 }, { QStringLiteral("Backquote"), 41 }, { QStringLiteral("Comma"), 51 },
        { QStringLiteral("Period"), 52 }, { QStringLiteral("Slash"), 53 }, { QStringLiteral("IntlBackslash"), 86 },
        // Editing and navigation.
        { QStringLiteral("Enter"), 28 }, { QStringLiteral("NumpadEnter"), 96 }, { QStringLiteral("Tab"), 15 },
        { QStringLiteral("Space"), 57 }, { QStringLiteral("Backspace"), 14 }, { QStringLiteral("Delete"), 111 },
        { QStringLiteral("Escape"), 1 }, { QStringLiteral("ArrowLeft"), 105 }, { QStringLiteral("ArrowRight"), 106 },
        { QStringLiteral("ArrowUp"), 103 }, { QStringLiteral("ArrowDown"), 108 }, { QStringLiteral("Home"), 102 },
        { QStringLiteral("End"), 107 }, { QStringLiteral("PageUp"), 104 }, { QStringLiteral("PageDown"), 109 },
        // Function keys.
        { QStringLiteral("F1"), 59 }, { QStringLiteral("F2"), 60 }, { QStringLiteral("F3"), 61 },
        { QStringLiteral("F4"), 62 }, { QStringLiteral("F5"), 63 }, { QStringLiteral("F6"), 64 },
        { QStringLiteral("F7"), 65 }, { QStringLiteral("F8"), 66 }, { QStringLiteral("F9"), 67 },
        { QStringLiteral("F10"), 68 }, { QStringLiteral("F11"), 87 }, { QStringLiteral("F12"), 88 },
        // Keypad.
        { QStringLiteral("Numpad0"), 82 }, { QStringLiteral("Numpad1"), 79 }, { QStringLiteral("Numpad2"), 80 },
        { QStringLiteral("Numpad3"), 81 }, { QStringLiteral("Numpad4"), 75 }, { QStringLiteral("Numpad5"), 76 },
        { QStringLiteral("Numpad6"), 77 }, { QStringLiteral("Numpad7"), 71 }, { QStringLiteral("Numpad8"), 72 },
        { QStringLiteral("Numpad9"), 73 }, { QStringLiteral("NumpadDecimal"), 83 }, { QStringLiteral("NumpadAdd"), 78 },
        { QStringLiteral("NumpadSubtract"), 74 }, { QStringLiteral("NumpadMultiply"), 55 },
        { QStringLiteral("NumpadDivide"), 98 },
        // Input-mode keys: Hangul/Han-Yeong and Hanja.
        { QStringLiteral("Lang1"), 122 }, { QStringLiteral("Lang2"), 123 },
    };
    return table;
}

bool InputInjector::isModifierName(const QString& code)
{
    static const QSet<QString> names {
        QStringLiteral("ShiftLeft"), QStringLiteral("ShiftRight"), QStringLiteral("ControlLeft"),
        QStringLiteral("ControlRight"), QStringLiteral("AltLeft"), QStringLiteral("AltRight"),
        QStringLiteral("MetaLeft"), QStringLiteral("MetaRight"), QStringLiteral("CapsLock"), QStringLiteral("Fn"),
    };
    return names.contains(code);
}
