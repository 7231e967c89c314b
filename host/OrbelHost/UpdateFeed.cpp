#include "OrbelHost/UpdateFeed.h"

#include "OrbelHost/JsonMessage.h"

#include <QHostAddress>
#include <QJsonObject>
#include <QStringList>

#include <openssl/evp.h>

#include <cmath>
#include <memory>
#include <utility>

namespace {
int piece(const QString& text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? value : 0;
}

bool allowedURL(const QUrl& url, bool allowLoopbackHttp)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    if (url.scheme() == QStringLiteral("https"))
        return true;
    return allowLoopbackHttp && url.scheme() == QStringLiteral("http") && QHostAddress(url.host()).isLoopback();
}

std::optional<UpdateFeed::Artifact> parseArtifact(const QJsonObject& object, bool allowLoopbackHttp)
{
    const auto url = object.value(QStringLiteral("url"));
    const auto size = object.value(QStringLiteral("size"));
    const auto sha256 = object.value(QStringLiteral("sha256"));
    const auto sig = object.value(QStringLiteral("sig"));
    if (!url.isString() || !size.isDouble() || !sha256.isString() || !sig.isString())
        return std::nullopt;
    UpdateFeed::Artifact file;
    file.url = QUrl(url.toString(), QUrl::StrictMode);
    if (!allowedURL(file.url, allowLoopbackHttp))
        return std::nullopt;
    const double bytes = size.toDouble();
    if (!std::isfinite(bytes) || bytes != std::floor(bytes) || bytes <= 0 || bytes > double(UpdateFeed::kMaxArchiveBytes))
        return std::nullopt;
    file.size = qint64(bytes);
    file.sha256 = QByteArray::fromHex(sha256.toString().toLatin1());
    if (file.sha256.size() != 32 || sha256.toString().size() != 64)
        return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(sig.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != 64)
        return std::nullopt;
    file.signature = decoded.decoded;
    return file;
}
} // namespace

bool UpdateFeed::isNewer(const QString& version, const QString& current)
{
    const QStringList a = version.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    const QStringList b = current.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    for (qsizetype i = 0; i < std::max(a.size(), b.size()); ++i) {
        const int x = i < a.size() ? piece(a[i]) : 0;
        const int y = i < b.size() ? piece(b[i]) : 0;
        if (x != y)
            return x > y;
    }
    return false;
}

std::optional<UpdateFeed> UpdateFeed::parse(const QByteArray& body, bool allowLoopbackHttp)
{
    if (body.size() > kMaxBodyBytes)
        return std::nullopt;
    const auto object = parseJsonObject(body);
    if (!object)
        return std::nullopt;
    const auto version = object->value(QStringLiteral("version"));
    if (!version.isString() || version.toString().trimmed().isEmpty())
        return std::nullopt;
    UpdateFeed feed;
    feed.version = version.toString();
    if (const auto notes = object->value(QStringLiteral("notes")); notes.isString())
        feed.notes = notes.toString();
    // A form the feed names must be whole; a half-described file is a broken feed.
    if (object->contains(QStringLiteral("url")) && !(feed.tar = parseArtifact(*object, allowLoopbackHttp)))
        return std::nullopt;
    for (auto [key, slot] : { std::pair { "tar", &feed.tar }, std::pair { "deb", &feed.deb } }) {
        const auto entry = object->value(QLatin1String(key));
        if (entry.isUndefined())
            continue;
        if (!entry.isObject() || !(*slot = parseArtifact(entry.toObject(), allowLoopbackHttp)))
            return std::nullopt;
    }
    if (!feed.tar && !feed.deb)
        return std::nullopt;
    return feed;
}

QByteArray UpdateFeed::signedMessage(const Artifact& file) const
{
    return "velquin-update\n" + version.toUtf8() + '\n' + QByteArray::number(file.size) + '\n' + file.sha256.toHex() + '\n';
}

bool UpdateFeed::signatureValid(const Artifact& file, const QByteArray& publicKey) const
{
    const QByteArray& signature = file.signature;
    if (publicKey.size() != 32 || signature.size() != 64)
        return false;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(publicKey.constData()),
                                    size_t(publicKey.size())),
        &EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!key || !context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    const QByteArray message = signedMessage(file);
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.constData()), size_t(signature.size()),
                            reinterpret_cast<const unsigned char*>(message.constData()), size_t(message.size()))
        == 1;
}
