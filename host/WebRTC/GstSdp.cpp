#include "WebRTC/GstSdp.h"

#include <QRegularExpression>
#include <QUrl>

#include <set>
#include <vector>

namespace rtc::gst {

void addRetransmission(GstSDPMedia* media)
{
    std::set<int> used;
    std::set<int> covered; // formats that have their rtx already
    std::vector<std::pair<int, int>> codecs; // format, clock rate
    for (guint i = 0; i < gst_sdp_media_formats_len(media); ++i)
        used.insert(QByteArray(gst_sdp_media_get_format(media, i)).toInt());
    for (guint i = 0; i < gst_sdp_media_attributes_len(media); ++i) {
        const GstSDPAttribute* attribute = gst_sdp_media_get_attribute(media, i);
        const QByteArray value(attribute->value);
        const int space = value.indexOf(' ');
        if (space <= 0)
            continue;
        const int format = value.left(space).toInt();
        if (g_strcmp0(attribute->key, "rtpmap") == 0) {
            const QByteArray encoding = value.mid(space + 1);
            const QList<QByteArray> parts = encoding.split('/');
            if (parts.value(0).compare("rtx", Qt::CaseInsensitive) != 0 && used.count(format))
                codecs.emplace_back(format, parts.value(1).toInt());
        } else if (g_strcmp0(attribute->key, "fmtp") == 0 && value.mid(space + 1).startsWith("apt=")) {
            covered.insert(value.mid(space + 5).toInt());
        }
    }
    int next = 96;
    for (const auto& [format, clockRate] : codecs) {
        if (covered.count(format) || clockRate <= 0)
            continue;
        while (next <= 127 && used.count(next))
            ++next;
        if (next > 127)
            return; // no dynamic payload type left
        used.insert(next);
        const QByteArray pt = QByteArray::number(next);
        gst_sdp_media_add_format(media, pt.constData());
        gst_sdp_media_add_attribute(media, "rtpmap", (pt + " rtx/" + QByteArray::number(clockRate)).constData());
        gst_sdp_media_add_attribute(media, "fmtp", (pt + " apt=" + QByteArray::number(format)).constData());
    }
}

std::optional<int> addExtension(GstSDPMedia* media, const char* uri)
{
    std::set<int> used;
    for (guint i = 0; i < gst_sdp_media_attributes_len(media); ++i) {
        const GstSDPAttribute* attribute = gst_sdp_media_get_attribute(media, i);
        if (g_strcmp0(attribute->key, "extmap") != 0 || !attribute->value)
            continue;
        const QList<QByteArray> fields = QByteArray(attribute->value).split(' ');
        const int id = fields.value(0).split('/').value(0).toInt(); // "id[/direction] uri"
        if (fields.value(1) == uri)
            return id;
        used.insert(id);
    }
    for (int id = 1; id <= 14; ++id) {
        if (used.count(id))
            continue;
        gst_sdp_media_add_attribute(media, "extmap", (QByteArray::number(id) + ' ' + uri).constData());
        return id;
    }
    return std::nullopt;
}

std::optional<int> answeredExtension(const QString& sdp, const char* uri)
{
    bool inVideo = false;
    static const QRegularExpression extmap(QStringLiteral("^a=extmap:(\\d+)(?:/\\w+)? (\\S+)"));
    for (const QString& line : sdp.split(QRegularExpression(QStringLiteral("\r?\n")))) {
        if (line.startsWith(QLatin1String("m=")))
            inVideo = line.startsWith(QLatin1String("m=video "));
        if (!inVideo)
            continue;
        const auto match = extmap.match(line);
        if (match.hasMatch() && match.captured(2) == QLatin1String(uri)) {
            const int id = match.captured(1).toInt();
            if (id >= 1 && id <= 14)
                return id;
        }
    }
    return std::nullopt;
}

const char* toString(Codec codec)
{
    return codec == Codec::VP8 ? "VP8" : "H264";
}

std::optional<Codec> answeredCodec(const QString& sdp)
{
    const QStringList lines = sdp.split(QRegularExpression(QStringLiteral("\r?\n")));
    int firstPayload = -1;
    bool inVideo = false;
    for (const QString& line : lines) {
        if (line.startsWith(QLatin1String("m="))) {
            if (firstPayload >= 0)
                break;
            inVideo = line.startsWith(QLatin1String("m=video "));
            if (inVideo) {
                const QStringList fields = line.split(QChar(' '), Qt::SkipEmptyParts);
                if (fields.size() < 4 || fields[1] == QLatin1String("0"))
                    return std::nullopt; // rejected or malformed video section
                bool ok = false;
                firstPayload = fields[3].toInt(&ok);
                if (!ok)
                    return std::nullopt;
            }
            continue;
        }
        if (!inVideo || firstPayload < 0)
            continue;
        static const QRegularExpression rtpmap(QStringLiteral("^a=rtpmap:(\\d+) ([A-Za-z0-9-]+)/"));
        const auto match = rtpmap.match(line);
        if (match.hasMatch() && match.captured(1).toInt() == firstPayload) {
            const QString name = match.captured(2).toUpper();
            if (name == QLatin1String("VP8"))
                return Codec::VP8;
            if (name == QLatin1String("H264"))
                return Codec::H264;
            return std::nullopt;
        }
    }
    // Static payload types are not ours; an unknown first format is no answer we can serve.
    return std::nullopt;
}

std::optional<std::size_t> maxMessageSize(const QString& sdp)
{
    static const QRegularExpression attribute(QStringLiteral("(?m)^a=max-message-size:(\\d+)\\s*$"));
    const auto match = attribute.match(sdp);
    if (!match.hasMatch())
        return std::nullopt;
    bool ok = false;
    const qulonglong value = match.captured(1).toULongLong(&ok);
    if (!ok)
        return std::nullopt;
    return std::size_t(value);
}

GstIceServers toGstIceServers(const std::vector<IceServer>& servers)
{
    GstIceServers out;
    for (const auto& server : servers) {
        for (const QString& url : server.urls) {
            // "stun:host:port" / "turn:host:port?transport=udp" (RFC 7064/7065 forms).
            const int colon = url.indexOf(QChar(':'));
            if (colon <= 0)
                continue;
            const QString scheme = url.left(colon).toLower();
            const QString rest = url.mid(colon + 1);
            if (scheme == QLatin1String("stun") || scheme == QLatin1String("stuns")) {
                if (out.stun.isEmpty())
                    out.stun = scheme + QStringLiteral("://") + rest;
            } else if (scheme == QLatin1String("turn") || scheme == QLatin1String("turns")) {
                const QString user = QString::fromUtf8(QUrl::toPercentEncoding(server.username.value_or(QString())));
                const QString pass = QString::fromUtf8(QUrl::toPercentEncoding(server.credential.value_or(QString())));
                out.turn << scheme + QStringLiteral("://") + user + QChar(':') + pass + QChar('@') + rest;
            }
        }
    }
    return out;
}

} // namespace rtc::gst
