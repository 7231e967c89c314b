#pragma once
// Asks the phone to show each frame as soon as it is decoded: every RTP packet leaving the
// pad it watches carries the playout-delay header extension with a minimum and maximum of
// 0 ms. Without it, the browser's jitter buffer holds frames back for smoothness, which a
// remote screen (where the pointer must follow the hand) does not want. Only used when the
// phone's answer accepted the extension under `id`.

#include "WebRTC/GstSupport.h"

namespace rtc::gst {

class GstPlayoutDelay {
public:
    static constexpr const char* kUri = "http://www.webrtc.org/experiments/rtp-hdrext/playout-delay";

    GstPlayoutDelay(GstPad* pad, int id);
    ~GstPlayoutDelay(); // removes its probe
    GstPlayoutDelay(const GstPlayoutDelay&) = delete;
    GstPlayoutDelay& operator=(const GstPlayoutDelay&) = delete;

    // Adds the extension (one-byte form) to one RTP packet; false when it is not one.
    static bool mark(GstBuffer* packet, int id);

private:
    Ref<GstPad> pad_;
    gulong probe_ = 0;
};

} // namespace rtc::gst
