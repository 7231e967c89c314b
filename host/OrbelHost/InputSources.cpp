#include "OrbelHost/InputSources.h"

#include "OrbelHost/InputInjector.h"

#include <QJsonArray>

#include <algorithm>

InputSources::InputSources(KeyboardLayouts& layouts)
    : layouts_(layouts)
{
}

QList<InputSources::Source> InputSources::list()
{
    const QString current = layouts_.currentId();
    QList<Source> sources;
    for (const auto& layout : layouts_.layouts())
        if (!layout.id.isEmpty())
            sources << Source { layout.id, layout.name, layout.id == current };
    return sources;
}

std::optional<InputSources::Source> InputSources::current()
{
    const QString id = layouts_.currentId();
    if (id.isEmpty())
        return std::nullopt;
    for (const auto& layout : layouts_.layouts())
        if (layout.id == id)
            return Source { id, layout.name, true };
    return Source { id, QString(), true };
}

void InputSources::selectNext()
{
    const auto sources = list();
    if (sources.isEmpty())
        return;
    // list() has asked for the current source already.
    const auto current = std::find_if(sources.cbegin(), sources.cend(), [](const Source& s) { return s.selected; });
    const qsizetype index = current == sources.cend() ? -1 : current - sources.cbegin();
    select(sources[(index + 1) % sources.size()].id);
}

void InputSources::select(const QString& id)
{
    // The change notification, not this call, tells the phones.
    layouts_.select(id);
}

QJsonObject InputSources::listMessage()
{
    QJsonArray entries;
    for (const auto& source : list())
        entries.append(QJsonObject { { QStringLiteral("id"), source.id },
                                     { QStringLiteral("name"), source.name },
                                     { QStringLiteral("selected"), source.selected } });
    return { { QStringLiteral("t"), QStringLiteral("ime-list") }, { QStringLiteral("list"), entries } };
}

QJsonObject InputSources::currentMessage()
{
    const auto now = current();
    const QString id = now ? now->id : QString();
    QHash<QString, QJsonObject> labels = layoutLabels();
    const auto symbols = imeSymbols(id);
    for (auto it = symbols.begin(); it != symbols.end(); ++it)
        labels[it.key()].insert(QStringLiteral("sub"), it.value());
    QJsonObject labelObject;
    for (auto it = labels.begin(); it != labels.end(); ++it)
        labelObject.insert(it.key(), it.value());
    return { { QStringLiteral("t"), QStringLiteral("ime") },
             { QStringLiteral("id"), id },
             { QStringLiteral("name"), now ? now->name : QString() },
             { QStringLiteral("zhuyin"), isStandardZhuyin(id) },
             { QStringLiteral("labels"), labelObject } };
}

QString InputSources::ruleText(const QString& id)
{
    QString text = id.toLower();
    const bool ibus = text.startsWith(QStringLiteral("ibus:"));
    if (ibus && text.contains(QStringLiteral("chewing")))
        text += QStringLiteral(" zhuyin");
    if (text.startsWith(QStringLiteral("xkb:kr")) || (ibus && text.contains(QStringLiteral("hangul"))))
        text += QStringLiteral(" korean");
    if (text.startsWith(QStringLiteral("xkb:jp(kana")) || (ibus && text.contains(QStringLiteral("kana"))))
        text += QStringLiteral(" japanese");
    if (ibus && text.contains(QStringLiteral("quick")))
        text += QStringLiteral(" sucheng");
    return text;
}

bool InputSources::isStandardZhuyin(const QString& id)
{
    const QString text = ruleText(id);
    if (text.contains(QStringLiteral("eten")))
        return false;
    return text.contains(QStringLiteral("zhuyin")) || text.contains(QStringLiteral("vchewing"))
        || text.contains(QStringLiteral("bopomofo"));
}

QHash<QString, QJsonObject> InputSources::layoutLabels()
{
    const QString layout = layouts_.currentLayoutId();
    // The phone's own keyboard already shows what the US layout types.
    if (layout.isEmpty() || layout == QStringLiteral("xkb:us"))
        return {};
    QHash<QString, QJsonObject> labels;
    for (const QString& name : labelCodes()) {
        const uint32_t code = InputInjector::keyCodes().value(name);
        const auto base = translate(code, false);
        if (!base || base->isEmpty())
            continue;
        // A letter shows in upper case, as on a keycap; "ß" stays "ß", not "SS".
        const QString upper = base->toUpper();
        const bool letter = base->toUcs4().size() == 1 && upper.toUcs4().size() == 1 && upper != base->toLower();
        const auto shifted = translate(code, true);
        labels.insert(name, QJsonObject { { QStringLiteral("m"), letter ? upper : *base },
                                          { QStringLiteral("s"), shifted ? *shifted : *base } });
    }
    return labels;
}

std::optional<QString> InputSources::translate(uint32_t evdevCode, bool shift)
{
    const auto text = layouts_.keyText(evdevCode, shift);
    if (!text || text->isEmpty())
        return std::nullopt;
    for (const char32_t c : text->toUcs4())
        if (c < 0x20)
            return std::nullopt;
    return text;
}
