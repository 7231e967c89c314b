#pragma once
// Spreads a connection's RTP packets over time instead of sending each frame as one burst:
// a key frame of 100 KB or more leaving at once overflows the queue of a slow link and loses
// a good part of itself. Packets leave at `rate` bits a second with a short burst allowance;
// the wait happens on the streaming thread of the pad it watches, so what cannot leave yet
// queues upstream (for video, in the appsrc, where the video feed decides what to drop).
//
// Packets of another payload type than the media's (retransmissions) never wait: they go
// when the budget has room now, and within a budget of their own (kRetransmitShare of the
// rate), and are dropped otherwise. On a link already losing packets, resending everything
// the phone asks for would multiply the load (seen: 25 Mbit/s of retransmissions on a
// 1.5 Mbit/s link, and twice the path's rate when they only shared the media's budget); the
// phone asks again, or for a key frame.

#include "WebRTC/GstSupport.h"

#include <memory>

namespace rtc::gst {

class GstPacer {
public:
    // Packets sent at once before pacing starts, as time at the current rate: an ordinary
    // frame leaves at once, a key frame is spread out.
    static constexpr int kBurstMs = 40;
    // Retransmissions' own budget, as a share of the rate (at a rate of 2.5 × the path's:
    // a quarter of the path's rate at most).
    static constexpr double kRetransmitShare = 0.1;

    GstPacer(GstPad* pad, int rateBps);
    ~GstPacer(); // stops, and removes its probe
    GstPacer(const GstPacer&) = delete;
    GstPacer& operator=(const GstPacer&) = delete;

    void setRate(int rateBps);
    // The payload type of the media itself; until set, every packet waits its turn.
    void setMediaPayloadType(int payloadType);
    // Lets every packet through at once from now on (the connection is closing).
    void stop();

private:
    struct State;
    std::shared_ptr<State> state_;
    Ref<GstPad> pad_;
    gulong probe_ = 0;
};

} // namespace rtc::gst
