// FileTransfer: what a received file is called, and claiming that name without a race.

#include "OrbelHost/FileTransferState.h"

#include "OrbelHost/Log.h"

#include <QDir>
#include <QFile>
#include <QTextBoundaryFinder>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
const QString kFallbackName = QStringLiteral("檔案");
// Longer "extensions" are taken for part of the name when a name must be shortened.
constexpr int kMaxKeptExtensionBytes = 32;

bool trimmable(QChar c)
{
    return c.isSpace() || c == QLatin1Char('.');
}

// The first `count` user-perceived characters (an emoji with its modifiers is one).
QString leftCharacters(const QString& text, int count)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (int i = 0; i < count; ++i) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0)
            return text;
        end = next;
    }
    return text.left(end);
}

// The longest run of whole characters from the start of `text` that fits in `bytes` of UTF-8.
QString leftBytes(const QString& text, int bytes)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (qsizetype next = finder.toNextBoundary(); next > 0; next = finder.toNextBoundary()) {
        if (text.left(next).toUtf8().size() > bytes)
            break;
        end = next;
    }
    return text.left(end);
}

// "photo.jpg" → ("photo", "jpg"); "notes" → ("notes", "").
std::pair<QString, QString> splitExtension(const QString& name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || dot == name.size() - 1)
        return { name, QString() };
    return { name.left(dot), name.mid(dot + 1) };
}

int renameNoReplace(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without no-replace renames: a hard link is just as exclusive.
    if (::link(source.constData(), target.constData()) != 0)
        return errno;
    ::unlink(source.constData());
    return 0;
}
} // namespace

QString FileTransfer::sanitizedName(const QString& raw)
{
    QString name = raw.mid(raw.lastIndexOf(QLatin1Char('/')) + 1);
    name.replace(QLatin1Char(':'), QLatin1Char('-'));
    qsizetype first = 0;
    qsizetype last = name.size();
    while (first < last && trimmable(name.at(first)))
        ++first;
    while (last > first && trimmable(name.at(last - 1)))
        --last;
    name = name.mid(first, last - first);
    if (name.isEmpty())
        return kFallbackName;
    // Control characters have no business in a file name (a NUL cannot even be stored).
    for (QChar& c : name)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('-');
    name = leftCharacters(name, kMaxNameCharacters);
    if (name.toUtf8().size() <= kMaxNameBytes)
        return name;
    // Too long for the file system: shorten the base, keep a short extension.
    auto [base, extension] = splitExtension(name);
    QString suffix = extension.isEmpty() ? QString() : QLatin1Char('.') + extension;
    if (suffix.toUtf8().size() > kMaxKeptExtensionBytes) {
        base = name;
        suffix.clear();
    }
    base = leftBytes(base, kMaxNameBytes - int(suffix.toUtf8().size()));
    return (base.isEmpty() ? kFallbackName : base) + suffix;
}

QString FileTransfer::candidateName(const QString& name, int n)
{
    if (n <= 1)
        return name;
    const auto [base, extension] = splitExtension(name);
    QString candidate = base + QLatin1Char(' ') + QString::number(n);
    if (!extension.isEmpty())
        candidate += QLatin1Char('.') + extension;
    return candidate;
}

std::optional<QString> FileTransfer::State::keep(const Incoming& done)
{
    const QDir folder(places.receiveFolder);
    // The first free name wins; whoever takes a name first keeps it, so two phones sending
    // "a.txt" at once get "a.txt" and "a 2.txt".
    for (int n = 1; n <= 100'000; ++n) {
        const QString target = folder.filePath(candidateName(done.name, n));
        const int error = renameNoReplace(done.path, target);
        if (error == 0)
            return target;
        if (error != EEXIST) {
            qCWarning(fileLog).noquote() << "cannot store" << done.name << ":" << std::strerror(error);
            return std::nullopt;
        }
    }
    qCWarning(fileLog).noquote() << "no free name for" << done.name;
    return std::nullopt;
}
