#include "HostL10n.h"

#include <QLocale>

namespace HostL10n {

QString languageFor(const QStringList& preferred)
{
    QString tag = preferred.isEmpty() ? QStringLiteral("en") : preferred.first();
    // Qt may report "zh_TW" where the platform would say "zh-TW".
    tag = tag.toLower().replace(QLatin1Char('_'), QLatin1Char('-'));

    if (tag.startsWith(QLatin1String("ja")))
        return QStringLiteral("ja");
    if (tag.startsWith(QLatin1String("ko")))
        return QStringLiteral("ko");
    if (tag.startsWith(QLatin1String("zh"))) {
        if (tag.startsWith(QLatin1String("zh-hans")) || tag.startsWith(QLatin1String("zh-cn"))
            || tag.startsWith(QLatin1String("zh-sg")))
            return QStringLiteral("zh-Hans");
        // zh-Hant, zh-TW, zh-HK, bare "zh": the texts are written in Traditional Chinese.
        return QStringLiteral("zh-Hant");
    }
    return QStringLiteral("en");
}

QString language()
{
    // Decided once: switching language mid-run would mix languages in the UI.
    static const QString lang = languageFor(QLocale::system().uiLanguages());
    return lang;
}

const QHash<QString, QHash<QString, QString>>& table()
{
    static const QHash<QString, QHash<QString, QString>> built = [] {
        QHash<QString, QHash<QString, QString>> t;
        const auto rows = detail::rows();
        t.reserve(qsizetype(rows.size()));
        for (const detail::Row& r : rows) {
            t.insert(QString::fromUtf8(r.key),
                     {
                         {QStringLiteral("en"), QString::fromUtf8(r.en)},
                         {QStringLiteral("zh-Hans"), QString::fromUtf8(r.zhHans)},
                         {QStringLiteral("ja"), QString::fromUtf8(r.ja)},
                         {QStringLiteral("ko"), QString::fromUtf8(r.ko)},
                     });
        }
        return t;
    }();
    return built;
}

const QStringList& keys()
{
    static const QStringList list = [] {
        QStringList l;
        for (const detail::Row& r : detail::rows())
            l.append(QString::fromUtf8(r.key));
        return l;
    }();
    return list;
}

QString lookup(const QString& text, const QString& language)
{
    // The keys are the Traditional Chinese texts; no need to touch the table.
    if (language == QLatin1String("zh-Hant"))
        return text;
    const auto& t = table();
    const auto entry = t.constFind(text);
    if (entry == t.constEnd())
        return text;
    const auto translated = entry->constFind(language);
    if (translated == entry->constEnd())
        return text;
    return *translated;
}

QString formatPlaceholders(const QString& text, const QList<QVariant>& args)
{
    // Built left to right so that an argument containing "%@" or "%ld" is never re-expanded.
    static const QLatin1String kInt("%ld");
    static const QLatin1String kStr("%@");

    QString out;
    out.reserve(text.size());
    qsizetype next = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        if (next < args.size() && text.at(i) == QLatin1Char('%')) {
            const QStringView rest = QStringView(text).mid(i);
            if (rest.startsWith(kInt)) {
                out += QString::number(args.at(next++).toLongLong());
                i += kInt.size();
                continue;
            }
            if (rest.startsWith(kStr)) {
                out += args.at(next++).toString();
                i += kStr.size();
                continue;
            }
        }
        out += text.at(i);
        ++i;
    }
    return out;
}

} // namespace HostL10n

QString HL(const QString& text)
{
    return HostL10n::lookup(text, HostL10n::language());
}

QString HLFormat(const QString& text, const QList<QVariant>& args)
{
    return HostL10n::formatPlaceholders(HL(text), args);
}
