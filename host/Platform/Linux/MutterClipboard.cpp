#include "Platform/Linux/MutterClipboard.h"

#include "Platform/Linux/GLibRefs.h"
#include "Support/PipeTransfer.h"
#include "Support/UniqueFd.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QLoggingCategory>
#include <QUrl>

#include <algorithm>

namespace {
Q_LOGGING_CATEGORY(clipboardLog, "orbel.clipboard")

constexpr const char* kService = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kInterface = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr int kCallTimeoutMs = 2000;

// Text types, the best first: what Wayland clients and XWayland offer.
const QList<QByteArray> kTextTypes { "text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "STRING", "TEXT" };
const QByteArray kUriList = "text/uri-list";
const QByteArray kPng = "image/png";

using VariantRef = glib::Variant;
using ErrorRef = glib::Error;
using FdListRef = glib::FdList;

// The session's own calls on the process's connection: mutter answers only the session's creator.
class SessionSelection : public MutterSelection {
public:
    SessionSelection(std::shared_ptr<MutterRemoteDesktop> session, MutterClipboard& clipboard)
        : session_(std::move(session))
        , clipboard_(clipboard)
        , connection_(glib::sessionBus())
    {
        if (!connection_)
            return;
        // Subscribed from the main thread, so the signals arrive on the main loop; every
        // session's path matches, the current one is picked out.
        subscription_ = g_dbus_connection_signal_subscribe(
            connection_.get(), nullptr, kInterface, nullptr, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            +[](GDBusConnection*, const gchar*, const gchar* path, const gchar*, const gchar* signal, GVariant* parameters, gpointer data) {
                auto* self = static_cast<SessionSelection*>(data);
                if (QString::fromUtf8(path) != self->session_->path())
                    return;
                if (g_strcmp0(signal, "SelectionOwnerChanged") == 0) {
                    GVariant* options = nullptr;
                    g_variant_get(parameters, "(@a{sv})", &options);
                    gboolean ours = FALSE;
                    g_variant_lookup(options, "session-is-owner", "b", &ours);
                    QList<QByteArray> offered;
                    // mutter 43 sends the list in a tuple; take it bare too.
                    const gchar** types = nullptr;
                    if (g_variant_lookup(options, "mime-types", "(^a&s)", &types) || g_variant_lookup(options, "mime-types", "^a&s", &types)) {
                        for (const gchar** type = types; *type; ++type)
                            offered << QByteArray(*type);
                        g_free(types);
                    }
                    g_variant_unref(options);
                    self->clipboard_.ownerChanged(ours, std::move(offered));
                } else if (g_strcmp0(signal, "SelectionTransfer") == 0) {
                    const gchar* type = nullptr;
                    guint32 serial = 0;
                    g_variant_get(parameters, "(&su)", &type, &serial);
                    self->clipboard_.transfer(QByteArray(type), serial);
                }
            },
            this, nullptr);
    }
    ~SessionSelection() override
    {
        if (subscription_)
            g_dbus_connection_signal_unsubscribe(connection_.get(), subscription_);
    }
    SessionSelection(const SessionSelection&) = delete;
    SessionSelection& operator=(const SessionSelection&) = delete;

    bool isOpen() override { return !session_->path().isEmpty(); }

    bool offer(const QList<QByteArray>& types) override
    {
        GVariantBuilder list;
        g_variant_builder_init(&list, G_VARIANT_TYPE_STRING_ARRAY);
        for (const QByteArray& type : types)
            g_variant_builder_add(&list, "s", type.constData());
        GVariantBuilder options;
        g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&options, "{sv}", "mime-types", g_variant_builder_end(&list));
        return call("SetSelection", g_variant_new("(a{sv})", &options), nullptr) != nullptr;
    }

    std::optional<QByteArray> read(const QByteArray& type, int timeoutMs, qsizetype limit) override
    {
        UniqueFd pipe;
        if (!call("SelectionRead", g_variant_new("(s)", type.constData()), G_VARIANT_TYPE("(h)"), &pipe))
            return std::nullopt;
        return pipe_transfer::readAll(pipe.get(), timeoutMs, limit);
    }

    bool write(uint32_t serial, const QByteArray* data, int timeoutMs) override
    {
        bool written = false;
        UniqueFd pipe;
        if (data && call("SelectionWrite", g_variant_new("(u)", serial), G_VARIANT_TYPE("(h)"), &pipe))
            written = pipe_transfer::writeAll(pipe.get(), *data, timeoutMs) && pipe.reset();
        call("SelectionWriteDone", g_variant_new("(ub)", serial, gboolean(written)), nullptr);
        return written;
    }

private:
    // A session call; its reply (null on failure) and, for calls that answer with a pipe, the pipe.
    VariantRef call(const char* method, GVariant* parameters, const GVariantType* replyType, UniqueFd* pipe = nullptr)
    {
        const QString session = session_->path();
        if (session.isEmpty() || !connection_) {
            g_variant_unref(g_variant_ref_sink(parameters));
            return nullptr;
        }
        GUnixFDList* rawFds = nullptr;
        GError* rawError = nullptr;
        VariantRef reply(g_dbus_connection_call_with_unix_fd_list_sync(connection_.get(), kService, session.toUtf8().constData(), kInterface,
                                                                       method, parameters, replyType, G_DBUS_CALL_FLAGS_NONE,
                                                                       kCallTimeoutMs, nullptr, &rawFds, nullptr, &rawError));
        const FdListRef fds(rawFds);
        const ErrorRef error(rawError);
        if (!reply) {
            qCWarning(clipboardLog).noquote() << method << "failed:" << (error ? error->message : "");
            return nullptr;
        }
        if (pipe) {
            gint32 handle = -1;
            g_variant_get(reply.get(), "(h)", &handle);
            pipe->reset(fds ? g_unix_fd_list_get(fds.get(), handle, nullptr) : -1);
            if (!*pipe)
                return nullptr;
        }
        return reply;
    }

    std::shared_ptr<MutterRemoteDesktop> session_;
    MutterClipboard& clipboard_;
    glib::Connection connection_;
    guint subscription_ = 0;
};
} // namespace

MutterClipboard::MutterClipboard(std::shared_ptr<MutterRemoteDesktop> session)
    : MutterClipboard(std::unique_ptr<MutterSelection>())
{
    selection_ = std::make_unique<SessionSelection>(std::move(session), *this);
}

MutterClipboard::MutterClipboard(std::unique_ptr<MutterSelection> selection)
    : selection_(std::move(selection))
{
    pasteWait_.setSingleShot(true);
    // Precise: its remaining time also tells how soon a paste was taken.
    pasteWait_.setTimerType(Qt::PreciseTimer);
    pasteWait_.setInterval(kPasteWaitMs);
    QObject::connect(&pasteWait_, &QTimer::timeout, &context_, [this] { pasteTaken(); });
    restoreTimer_.setSingleShot(true);
    restoreTimer_.setInterval(kRestoreAfterMs);
    QObject::connect(&restoreTimer_, &QTimer::timeout, &context_, [this] { restore(); });
}

MutterClipboard::~MutterClipboard()
{
    if (fence_)
        g_source_remove(fence_);
}

void MutterClipboard::ownerChanged(bool ours, QList<QByteArray> types)
{
    types_ = std::move(types);
    ownersText_.reset();
    ownedHere_ = ours;
    qCDebug(clipboardLog) << "owner changed; here:" << ours << "offers" << types_;
    if (ours && unseenOwnChanges_ > 0) {
        --unseenOwnChanges_; // counted (or hidden) when it was made
        return;
    }
    if (!ours) {
        ours_.clear();
        unseenOwnChanges_ = 0;
    }
    ++changes_;
}

std::optional<QByteArray> MutterClipboard::read(const QByteArray& type)
{
    if (ownedHere_) {
        for (const auto& [offered, data] : ours_)
            if (offered == type)
                return data;
        return std::nullopt;
    }
    if (!types_.contains(type))
        return std::nullopt;
    // The text types carry the same text.
    const bool isText = kTextTypes.contains(type);
    if (isText && ownersText_)
        return ownersText_;
    auto data = selection_->read(type, kReadTimeoutMs, kMaxSavedBytes);
    if (!data)
        qCWarning(clipboardLog).noquote() << "the clipboard's" << type << "could not be read";
    else if (isText)
        ownersText_ = data;
    return data;
}

QList<QByteArray> MutterClipboard::offeredTypes() const
{
    if (!ownedHere_)
        return types_;
    QList<QByteArray> types;
    for (const auto& entry : ours_)
        types << entry.first;
    return types;
}

std::optional<QByteArray> MutterClipboard::readFirst(const QList<QByteArray>& types)
{
    const QList<QByteArray> offered = offeredTypes();
    for (const QByteArray& type : types)
        if (offered.contains(type))
            return read(type);
    return std::nullopt;
}

std::optional<QString> MutterClipboard::text()
{
    const auto data = readFirst(kTextTypes);
    if (!data)
        return std::nullopt;
    return QString::fromUtf8(*data);
}

QStringList MutterClipboard::filePaths()
{
    QStringList paths;
    const auto list = readFirst({ kUriList });
    if (!list)
        return paths;
    for (const QByteArray& line : list->split('\n')) {
        const QByteArray uri = line.trimmed();
        if (uri.isEmpty() || uri.startsWith('#'))
            continue;
        const QUrl url = QUrl::fromEncoded(uri);
        if (url.isLocalFile())
            paths << url.toLocalFile();
    }
    return paths;
}

std::optional<QByteArray> MutterClipboard::png()
{
    return readFirst({ kPng });
}

std::optional<QByteArray> MutterClipboard::otherImage()
{
    QList<QByteArray> images;
    const auto readable = QImageReader::supportedMimeTypes();
    for (const QByteArray& type : offeredTypes())
        if (type.startsWith("image/") && type != kPng && readable.contains(type))
            images << type;
    return readFirst(images);
}

bool MutterClipboard::offer(Offer offer, bool seen)
{
    QList<QByteArray> types;
    for (const auto& entry : offer)
        types << entry.first;
    if (!selection_->offer(types))
        return false;
    ours_ = std::move(offer);
    ownedHere_ = true;
    // Counted now, as the caller's change; mutter's signal for it follows.
    ++unseenOwnChanges_;
    if (seen)
        ++changes_;
    return true;
}

bool MutterClipboard::setText(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    Offer offer;
    for (const QByteArray& type : kTextTypes)
        offer.emplace_back(type, utf8);
    return this->offer(std::move(offer), true);
}

bool MutterClipboard::setImage(const QImage& image)
{
    if (image.isNull())
        return false;
    Offer offer;
    // PNG, and the other common types for applications that take only those.
    for (const QByteArray& type : { kPng, QByteArray("image/bmp"), QByteArray("image/jpeg") }) {
        QByteArray data;
        QBuffer buffer(&data);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, type.mid(6));
        if (writer.write(type == "image/jpeg" ? image.convertToFormat(QImage::Format_RGB888) : image))
            offer.emplace_back(type, data);
    }
    return this->offer(std::move(offer), true);
}

void MutterClipboard::transfer(const QByteArray& type, uint32_t serial)
{
    const QByteArray* data = nullptr;
    for (const auto& [offered, bytes] : ours_)
        if (offered == type)
            data = &bytes;
    const bool written = selection_->write(serial, data, kReadTimeoutMs);
    qCDebug(clipboardLog).noquote() << "transfer" << serial << "of" << type << (written ? "written," : "not written,")
                                    << (data ? data->size() : 0) << "bytes" << (pasteDone_ && !afterOwnRead_ ? "(before the paste's key)" : "");
    if (written && pasteDone_ && afterOwnRead_)
        pasteTaken();
}

bool MutterClipboard::paste(const QString& text, const std::function<void()>& pressPaste, std::function<void()> done)
{
    if (!selection_->isOpen())
        return false;
    // What the clipboard held before the first of a series of pastes comes back after the last.
    if (!saved_) {
        Offer before;
        qsizetype bytes = 0;
        if (ownedHere_) {
            before = ours_;
        } else {
            // The text types carry the same text: read once, given back under each of them.
            const std::optional<QByteArray> text = readFirst(kTextTypes);
            const bool textOffered = std::any_of(kTextTypes.begin(), kTextTypes.end(),
                                                 [this](const QByteArray& type) { return types_.contains(type); });
            if (textOffered && !text) {
                // Nothing to put back is not an empty clipboard: the user's text stays.
                qCWarning(clipboardLog) << "no paste: the clipboard's text could not be kept";
                return false;
            }
            for (const QByteArray& type : types_) {
                const auto data = kTextTypes.contains(type) ? text : read(type);
                if (data && bytes + data->size() <= kMaxSavedBytes) {
                    bytes += data->size();
                    before.emplace_back(type, *data);
                }
            }
        }
        saved_ = std::move(before);
    }
    restoreTimer_.stop();
    const QByteArray utf8 = text.toUtf8();
    Offer offer;
    for (const QByteArray& type : kTextTypes)
        offer.emplace_back(type, utf8);
    if (!this->offer(std::move(offer), false)) {
        restore();
        return false;
    }
    // Taking the offer makes mutter's own clipboard keeper read it at once: its request came
    // with the reply and waits on the main loop. Only a transfer after those is the paste.
    afterOwnRead_ = false;
    if (fence_)
        g_source_remove(fence_);
    // At the priority GDBus gives the signals it queues, after the ones queued already.
    fence_ = g_idle_add_full(
        G_PRIORITY_DEFAULT,
        +[](gpointer data) {
            auto* self = static_cast<MutterClipboard*>(data);
            self->fence_ = 0;
            self->afterOwnRead_ = true;
            return gboolean(G_SOURCE_REMOVE);
        },
        this, nullptr);
    pasteDone_ = std::move(done);
    qCDebug(clipboardLog) << "paste of" << utf8.size() << "bytes";
    pressPaste();
    pasteWait_.start();
    return true;
}

void MutterClipboard::pasteTaken()
{
    qCDebug(clipboardLog).noquote() << (pasteWait_.isActive() ? "paste taken after" : "paste not taken in")
                                    << pasteWait_.interval() - std::max(0, pasteWait_.remainingTime()) << "ms";
    pasteWait_.stop();
    restoreTimer_.start();
    if (auto done = std::exchange(pasteDone_, nullptr))
        done();
}

void MutterClipboard::restore()
{
    if (!saved_)
        return;
    Offer before = std::move(*saved_);
    saved_.reset();
    // Not over what someone copied meanwhile; an empty clipboard before stays as the paste
    // left it (mutter takes no empty offer).
    if (ownedHere_ && !before.empty())
        offer(std::move(before), false);
}
