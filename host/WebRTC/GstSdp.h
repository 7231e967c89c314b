#pragma once
// Small pure helpers between our API and webrtcbin: SDP facts and ICE server URLs.

#include "WebRTC/WebRTC.h"

#include <QString>

#include <gst/sdp/sdp.h>

#include <optional>

namespace rtc::gst {

enum class Codec { VP8, H264 };
const char* toString(Codec codec);

// Payload types the host offers for its video.
constexpr int kVp8PayloadType = 96;
constexpr int kH264PayloadType = 102;
constexpr int payloadType(Codec codec)
{
    return codec == Codec::H264 ? kH264PayloadType : kVp8PayloadType;
}

// The codec of the first format on the answer's video m-line.
std::optional<Codec> answeredCodec(const QString& sdp);
// The remote end's a=max-message-size, if the description names one (0 means "no limit").
std::optional<std::size_t> maxMessageSize(const QString& sdp);

// Adds a retransmission format ("rtx", apt=…) for every codec of `media` that has none.
// webrtcbin (1.22) adds one for the first codec only, so a phone that picked VP8 could ask
// for lost packets and never get them.
void addRetransmission(GstSDPMedia* media);

// Offers the header extension `uri` (a=extmap) on `media` under the lowest id it leaves free;
// returns that id, or the one it already had. None when the one-byte ids (1–14) are all taken.
std::optional<int> addExtension(GstSDPMedia* media, const char* uri);
// The id the answer's video section gives the header extension `uri`, if it accepted it.
std::optional<int> answeredExtension(const QString& sdp, const char* uri);

// webrtcbin's forms: "stun://host:port", "turn(s)://user:password@host:port?transport=…".
struct GstIceServers {
    QString stun;          // at most one
    QStringList turn;
};
GstIceServers toGstIceServers(const std::vector<IceServer>& servers);

} // namespace rtc::gst
