#include "OrbelHost/HostIdentity.h"

#include <QRandomGenerator>
#include <QStringList>

#include <unicode/translit.h>
#include <unicode/unistr.h>

#include <memory>

namespace HostIdentity {

namespace {
std::optional<QString> toAscii(const QString& name)
{
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Transliterator> transliterator(
        icu::Transliterator::createInstance("Any-Latin; Latin-ASCII", UTRANS_FORWARD, status));
    if (U_FAILURE(status) || !transliterator)
        return std::nullopt;
    icu::UnicodeString text(reinterpret_cast<const char16_t*>(name.utf16()), int32_t(name.size()));
    transliterator->transliterate(text);
    return QString(reinterpret_cast<const QChar*>(text.getBuffer()), text.length());
}
} // namespace

QString slug(const QString& name)
{
    const auto latin = toAscii(name);
    if (!latin)
        return QStringLiteral("linux");
    QString lowered = latin->toLower();
    QString replaced;
    replaced.reserve(lowered.size());
    for (QChar c : lowered)
        replaced += (c.isLetterOrNumber() && c.unicode() < 128) ? c : QChar('-');
    QString joined = replaced.split(QChar('-'), Qt::SkipEmptyParts).join(QChar('-'));
    joined.truncate(24);
    // A cut right after a hyphen would leave "--" before the number.
    while (joined.endsWith(QChar('-')))
        joined.chop(1);
    if (joined.isEmpty())
        return QStringLiteral("linux");
    return joined;
}

QString makeHostId(const QString& name)
{
    return slug(name) + QChar('-') + QString::number(QRandomGenerator::system()->bounded(1000, 10000));
}

QString makeKey()
{
    static const QString alphabet = QStringLiteral("abcdefghjkmnpqrstuvwxyz23456789");
    QString key;
    for (int i = 0; i < 12; ++i)
        key += alphabet.at(QRandomGenerator::system()->bounded(int(alphabet.size())));
    return key;
}

} // namespace HostIdentity
