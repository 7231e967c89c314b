#include "WebRTC/GstSdp.h"

#include <QRegularExpression>
#include <QUrl>

namespace rtc::gst {

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
