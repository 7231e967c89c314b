#pragma once
// What the update server says about the newest release, and how much of it to believe.
//
// The feed is a small JSON object: "version", optionally "notes", and the release in up to two
// forms, each described by "url" (where the file is), "size" (its byte count), "sha256" (its
// hash, hex) and "sig" (Base64 Ed25519 signature):
//   "tar": the archive a per-user install is swapped for; the same four fields at the top
//          level describe it too, for hosts that know no other form;
//   "deb": the Debian package, for a copy the package manager installed.
// Each signature covers the version together with that file's size and hash, so a genuine
// older release cannot be offered as a newer one.

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

struct UpdateFeed {
    struct Artifact {
        QUrl url;
        qint64 size = 0;
        QByteArray sha256;    // 32 bytes
        QByteArray signature; // 64 bytes
    };
    enum class Form { Tar, Deb };

    QString version;
    QString notes; // empty when the feed has none
    std::optional<Artifact> tar;
    std::optional<Artifact> deb;

    // Largest feed body read, and largest release file accepted.
    static constexpr qint64 kMaxBodyBytes = 64 * 1024;
    static constexpr qint64 kMaxArchiveBytes = 500LL * 1024 * 1024;

    // The feed in `body`, or nothing when a field is missing, of the wrong type or out of
    // range, a URL is not https (http only to 127.0.0.1 when `allowLoopbackHttp`), or the
    // feed offers no file at all.
    static std::optional<UpdateFeed> parse(const QByteArray& body, bool allowLoopbackHttp);

    // Whether `version` is newer than `current`: dotted numbers compared piece by piece, a
    // missing or non-numeric piece counting as 0 (so 1.10 > 1.9, 1.2 == 1.2.0).
    static bool isNewer(const QString& version, const QString& current);

    const std::optional<Artifact>& artifact(Form form) const { return form == Form::Deb ? deb : tar; }

    // The bytes a file's signature is made over: "velquin-update", version, size and hash
    // (hex), one per line.
    QByteArray signedMessage(const Artifact& file) const;
    // Whether the file's signature is the Ed25519 signature of signedMessage() by `publicKey`
    // (32 raw bytes). An empty or malformed key verifies nothing.
    bool signatureValid(const Artifact& file, const QByteArray& publicKey) const;
};
