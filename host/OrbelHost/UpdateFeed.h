#pragma once
// What the update server says about the newest release, and how much of it to believe.
//
// The feed is a small JSON object: "version", "url" (where the release archive is), "size"
// (its byte count), "sha256" (its hash, hex) and "sig" (Base64 Ed25519 signature), and
// optionally "notes". The signature covers the version together with the size and the hash,
// so a genuine older release cannot be offered as a newer one.

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

struct UpdateFeed {
    QString version;
    QUrl url;
    QString notes; // empty when the feed has none
    qint64 size = 0;
    QByteArray sha256;    // 32 bytes
    QByteArray signature; // 64 bytes

    // Largest feed body read, and largest release archive accepted.
    static constexpr qint64 kMaxBodyBytes = 64 * 1024;
    static constexpr qint64 kMaxArchiveBytes = 500LL * 1024 * 1024;

    // The feed in `body`, or nothing when a field is missing, of the wrong type or out of
    // range, or the URL is not https (http only to 127.0.0.1 when `allowLoopbackHttp`).
    static std::optional<UpdateFeed> parse(const QByteArray& body, bool allowLoopbackHttp);

    // Whether `version` is newer than `current`: dotted numbers compared piece by piece, a
    // missing or non-numeric piece counting as 0 (so 1.10 > 1.9, 1.2 == 1.2.0).
    static bool isNewer(const QString& version, const QString& current);

    // The bytes the signature is made over: "velquin-update", version, size and hash (hex),
    // one per line.
    QByteArray signedMessage() const;
    // Whether `signature` is the Ed25519 signature of signedMessage() by `publicKey` (32 raw
    // bytes). An empty or malformed key verifies nothing.
    bool signatureValid(const QByteArray& publicKey) const;
};
