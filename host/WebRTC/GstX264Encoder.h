#pragma once
// H.264 through libx264 as a GStreamer element: NV12 in, constrained-baseline byte-stream
// access units out, one out for each frame in (no look-ahead, no B-frames). Unlike x264enc it
// tells x264 which macroblocks did not change since the frame before (from the buffers'
// ChangedArea), so x264 skips them without analysing them: a screen where one window moves
// costs a fraction of a whole frame's encode.

#include <gst/gst.h>

#include <QString>

namespace rtc::gst {

struct X264Settings {
    QString preset = QStringLiteral("ultrafast");
    int crf = 23;   // the quality aimed at
    int qpMin = 20; // never finer than this
    int keyIntMax = 3000;
    // Sliced threads cost CPU in hand-overs; one thread costs latency on a whole-screen change.
    int threads = 1;
    int bitrateKbps = 2500; // ceiling (VBV max rate)
    int bufferMs = 500;     // VBV buffer, in time at the ceiling
};

// A new element (floating reference, as from gst_element_factory_make).
GstElement* makeX264Encoder(const X264Settings& settings);
// Takes effect before the next frame (x264 reconfigures between frames).
void setX264Rate(GstElement* encoder, int bitrateKbps, int bufferMs);

struct X264Counters {
    quint64 frames = 0;
    quint64 macroblocks = 0;
    quint64 unchanged = 0; // macroblocks told to x264 as unchanged
};
X264Counters x264Counters(GstElement* encoder);

} // namespace rtc::gst
