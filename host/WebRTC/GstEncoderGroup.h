#pragma once
// One encoder for every phone at the same codec and quality level: raw frames in, encoded
// frames out to each subscriber. Encoding once per level keeps CPU growing with the number of
// levels in use, not with the number of phones.

#include "WebRTC/BandwidthController.h"
#include "WebRTC/GstChangedArea.h"
#include "WebRTC/GstSdp.h"
#include "WebRTC/GstSupport.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QSize>

#include <atomic>

#include <compare>
#include <functional>
#include <map>

namespace rtc::gst {

struct LevelKey {
    Codec codec = Codec::VP8;
    int bitrate = 0;       // bits per second
    double framerate = 30; // at most
    double scaleDown = 1.0;
    auto operator<=>(const LevelKey&) const = default;
    // The same level on another rung of the bit-rate ladder.
    bool sameLevelAs(const LevelKey& other) const
    {
        return codec == other.codec && framerate == other.framerate && scaleDown == other.scaleDown;
    }
};

// Output size for a scale-down factor: never below 2, always even.
QSize scaledSize(QSize input, double scaleDown);

// How an encoder spends bits: it aims at a visual quality, and the level's bit rate is only a
// ceiling, so a still or nearly still screen costs almost nothing and motion still gets up to
// the ceiling. The quality points were chosen with bench/run-quality (PSNR of decoded against
// captured frames on desktop scenes).
struct EncoderTuning {
    QString x264Preset = QStringLiteral("ultrafast"); // CPU against quality at a given size
    int x264Threads = 1;
    int x264Crf = 23;   // x264's constant rate factor: lower is better and bigger
    int x264QpMin = 20; // never finer than the key frame at that rate factor
    int vp8CqLevel = 12; // libvpx's constrained-quality level, 0–63: lower is better and bigger
    // How long a burst (a key frame) may run above the ceiling before it is squeezed: at
    // kFullBufferBps and above, and on a slow path. A burst is bounded in time on the path, not
    // in bytes: half a second's worth at 1.5 Mbit/s is a key frame that holds a slow link (and
    // overflows its queue) for half a second.
    int ceilingBufferMs = 500;
    int slowBufferMs = 150;
    static constexpr int kFullBufferBps = 8'000'000;
    int bufferMs(int bitrateBps) const;
};

class EncoderGroup {
public:
    // Called on the group's streaming thread with each encoded buffer and its caps.
    using Subscriber = std::function<void(GstBuffer* buffer, GstCaps* caps)>;

    EncoderGroup(const LevelKey& key, const EncoderTuning& tuning = {});
    ~EncoderGroup();
    bool valid() const { return pipeline_ != nullptr; }
    const LevelKey& key() const { return key_; }

    // Takes one reference to `buffer` (NV12 of `size`); `force` skips the frame-rate limit.
    void push(GstBuffer* buffer, QSize size, bool force = false);
    int subscribe(Subscriber subscriber); // returns a handle
    void unsubscribe(int handle);
    int subscribers() const;

    // What one subscriber's path carries now. The encoder aims at the lowest of these (within
    // the level's bit rate and frame rate), so a group never sends more than its slowest
    // member takes; subscribers that never said do not count. Until one has said, it aims
    // at the controller's start rate.
    void setMemberRate(int handle, int bitrateBps, double framerate);
    int bitrate() const { return bitrate_; }
    // The size frames are encoded at; empty before the first frame.
    QSize encodedSize() const { return { encodedWidth_, encodedHeight_ }; }
    double framerate() const { return framerate_; }
    // H.264: the share of the macroblocks encoded so far that the encoder was told had not
    // changed since the frame before (and so did not analyse).
    double unchangedShare() const;
    // The size of the last encoded frame.
    std::size_t lastOutputBytes() const { return lastOutputBytes_; }

    // Key frames on demand: at most one per kKeyFrameIntervalMs for the whole group, since one
    // lossy phone asking often would otherwise force large frames on every phone at its level.
    // A request inside the interval is kept and served by the first frame after it.
    static constexpr int kKeyFrameIntervalMs = 500;
    // Otherwise a key frame only every this many frames: phones ask when they join or lose one,
    // and a periodic one is a burst that a slow link cannot carry (every 10 s at 300: a freeze
    // of half a second each time on a 3 Mbit/s link).
    static constexpr int kKeyFrameDistance = 3000;
    void requestKeyFrame();
    // When a request is due, tells the encoder to make its next frame a key frame and returns
    // true; the caller then pushes that frame.
    bool startKeyFrameIfDue();
    // A key frame was asked of the encoder and has not come out yet.
    bool keyFrameOnItsWay() const { return keyForcedUs_ >= 0; }

private:
    void forceKeyFrame();
    // Under pushMutex_: adds a frame's change to what changed since the last frame pushed.
    void foldChange(GstBuffer* buffer, QSize size);
    static GstFlowReturn onSample(GstElement* sink, gpointer self);
    void setInputSize(QSize size);
    // Under mutex_: the lowest member rate goes to the encoder.
    void applyMemberRates();
    // Tells the encoder the aim, corrected for its overshoot.
    void configureEncoder();
    // On the streaming thread: what the encoder really puts out against the aim. libvpx
    // overshoots on hard content (up to ~2×); the rate it is told is lowered until its output
    // meets the aim, and raised back once it is under.
    void measureOutput(std::size_t bytes);

    LevelKey key_;
    Ref<GstElement> pipeline_;
    GstElement* source_ = nullptr;
    GstElement* scaleCaps_ = nullptr;
    GstElement* encoder_ = nullptr;
    QSize inputSize_;
    QMutex pushMutex_;      // push() comes from capture and from refreshes on other threads
    QElapsedTimer clock_;
    qint64 lastPushNs_ = -1;
    ChangedArea sincePushed_; // its frame: the last frame folded in
    quint64 pushed_ = 0;
    QMutex keyMutex_;
    QElapsedTimer keyClock_;
    bool keyWanted_ = false;
    qint64 lastKeyMs_ = -1;
    std::atomic<gint64> keyForcedUs_ { -1 }; // when a forced key frame still to come was asked for
    mutable QMutex mutex_;
    std::map<int, Subscriber> subscribers_;
    std::map<int, std::pair<int, double>> memberRates_; // bit rate, frame rate
    std::atomic<int> bitrate_;         // what the encoder aims at now
    std::atomic<double> framerate_;    // at most this many frames a second are encoded
    static constexpr double kCorrectionWindowS = 1.0;
    static constexpr double kMinCorrection = 0.3;
    std::atomic<double> correction_ { 1.0 }; // what the encoder is told, as a share of the aim
    std::atomic<bool> correctionPending_ { false };
    std::atomic<int> encoderSetting_;
    std::atomic<int> bufferSetting_;
    EncoderTuning tuning_;
    gint64 windowStartUs_ = -1; // streaming thread only
    std::size_t windowBytes_ = 0;
    std::atomic<std::size_t> lastOutputBytes_ { 0 };
    std::atomic<int> encodedWidth_ { 0 };
    std::atomic<int> encodedHeight_ { 0 };
    int nextHandle_ = 1;
};

} // namespace rtc::gst
