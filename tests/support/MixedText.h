#pragma once
// Text in many scripts at once, for typing tests: Latin with accents, CJK, kana, Hangul,
// emoji outside the Basic Multilingual Plane and combining marks, drawn from a seed so that a
// failing run can be typed again.

#include <QRandomGenerator>
#include <QString>
#include <QStringList>

// At least `length` characters (code points).
inline QString mixedText(int length, quint32 seed)
{
    static const QStringList pieces = [] {
        QStringList list;
        for (const QString& run : { QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,-"),
                                    QStringLiteral("àáâãäåæçèéêëìíîïñòóôõöøùúûüýÿßÀÉÎÕÜÇÑŁłŒœŠšŽž"),
                                    QStringLiteral("漢字中文輸入測試電腦手機遠端桌面檔案"), QStringLiteral("あいうえおかきくけこアイウエオカキクケコ"),
                                    QStringLiteral("한국어입력") })
            for (const QChar c : run)
                list << QString(c);
        for (const char32_t emoji : { U'😀', U'🎉', U'🚀', U'👍', U'🌏' })
            list << QString::fromUcs4(&emoji, 1);
        // A letter with a combining mark after it: two keys, one character on the screen.
        list << QStringLiteral("e\u0301") << QStringLiteral("a\u0308") << QStringLiteral("o\u0303") << QStringLiteral("n\u0327");
        return list;
    }();
    QRandomGenerator random(seed);
    QString text;
    for (int characters = 0; characters < length;) {
        const QString& piece = pieces[int(random.bounded(quint32(pieces.size())))];
        text += piece;
        characters += int(piece.toUcs4().size());
    }
    return text;
}
