#pragma once
// The WebRTC layer on GStreamer's webrtcbin. Nothing of GStreamer shows through this header.

#include "WebRTC/WebRTC.h"

namespace rtc {

struct GstOptions {
    // Gather ICE candidates on 127.0.0.1 only (tests, demos); otherwise on every real interface.
    bool loopbackOnly = false;
    // Follow each phone's path (rate, frame rate, groups, pacing). Off, every phone gets its
    // level's maximum whatever its path carries: only for measuring what adapting buys.
    bool adaptRate = true;
    // x264's speed preset: CPU against quality at a given bit rate.
    QString x264Preset = QStringLiteral("ultrafast");
};

// Initialises GStreamer once; returns nullptr when a required plugin is missing.
std::shared_ptr<PeerConnectionFactory> makeGstPeerConnectionFactory(const GstOptions& options);

} // namespace rtc
