// Encoder groups: one per codec and level, shared by every phone at that level, producing
// frames of the level's size.

#include "WebRTC/GstSupport.h"
#include "WebRTC/GstVideoSource.h"
#include "support/Wait.h"

#include <QElapsedTimer>
#include <QMutex>

#include <gtest/gtest.h>

using namespace rtc::gst;

namespace {
rtc::VideoFrame grey(int width, int height)
{
    auto data = std::make_shared<QByteArray>(qsizetype(width) * height * 3 / 2, char(128));
    return { width, height, width, width, data, 0 };
}

struct Received {
    QMutex mutex;
    int frames = 0;
    QString caps;
    int count()
    {
        QMutexLocker lock(&mutex);
        return frames;
    }
};
} // namespace

TEST(EncoderGroupTest, OneGroupPerLevelAndItsFramesAreOfThatLevel)
{
    ASSERT_TRUE(ensureInitialised());
    GstVideoSource source(QStringLiteral("ultrafast"));
    const LevelKey normal { Codec::H264, 12'000'000, 30, 1.0 };
    const LevelKey low { Codec::H264, 800'000, 15, 2.5 };
    const LevelKey vp8 { Codec::VP8, 800'000, 15, 2.5 };

    auto a = source.group(normal);
    auto b = source.group(normal);
    auto c = source.group(low);
    auto d = source.group(vp8);
    ASSERT_TRUE(a && c && d);
    EXPECT_EQ(a, b); // the same level shares one encoder
    EXPECT_NE(a, c);
    EXPECT_EQ(source.groupCount(), 3);

    // The two phones at the normal level count apart, so a frame half delivered cannot be
    // mistaken for one delivered to only one of them.
    Received normalFirst, normalSecond, lowOut, vp8Out;
    auto sink = [](Received& into) {
        return [&into](GstBuffer*, GstCaps* caps) {
            QMutexLocker lock(&into.mutex);
            ++into.frames;
            gchar* text = gst_caps_to_string(caps);
            into.caps = QString::fromUtf8(text);
            g_free(text);
        };
    };
    const int first = a->subscribe(sink(normalFirst));
    const int second = b->subscribe(sink(normalSecond));
    c->subscribe(sink(lowOut));
    d->subscribe(sink(vp8Out));
    EXPECT_EQ(a->subscribers(), 2);

    // Frames go only to groups someone watches; each is encoded once per group.
    QElapsedTimer pushing;
    pushing.start();
    for (int i = 0; i < 20; ++i) {
        source.pushFrame(grey(1920, 1080));
        pump(40);
    }
    const qint64 pushedForMs = pushing.elapsed();
    ASSERT_TRUE(waitFor([&] { return normalFirst.count() > 3 && lowOut.count() > 1 && vp8Out.count() > 1; }, 10000));
    // Unsubscribing waits for a delivery in progress: after it, the counts stand still.
    a->unsubscribe(first);
    b->unsubscribe(second);
    EXPECT_EQ(normalFirst.count(), normalSecond.count()); // one encoder, every frame to both
    {
        QMutexLocker lock(&normalFirst.mutex);
        EXPECT_TRUE(normalFirst.caps.contains("video/x-h264")) << normalFirst.caps.toStdString();
        EXPECT_TRUE(normalFirst.caps.contains("width=(int)1920")) << normalFirst.caps.toStdString();
        EXPECT_TRUE(normalFirst.caps.contains("constrained-baseline")) << normalFirst.caps.toStdString();
    }
    {
        QMutexLocker lock(&lowOut.mutex);
        EXPECT_TRUE(lowOut.caps.contains("width=(int)768")) << lowOut.caps.toStdString();
        EXPECT_TRUE(lowOut.caps.contains("height=(int)432")) << lowOut.caps.toStdString();
    }
    // The low level takes at most 15 frames a second (less 20 % slack for jitter), however
    // slowly a busy machine pushed them: a bound that starving cannot break.
    const int lowLimit = int(pushedForMs / (1000.0 / 15 * 0.8)) + 2;
    EXPECT_LE(lowOut.count(), lowLimit) << "pushed for " << pushedForMs << " ms";
    {
        QMutexLocker lock(&vp8Out.mutex);
        EXPECT_TRUE(vp8Out.caps.contains("video/x-vp8")) << vp8Out.caps.toStdString();
    }

    // A group nobody holds any more is gone, with its pipeline.
    a.reset();
    b.reset();
    EXPECT_EQ(source.groupCount(), 2);
    c.reset();
    d.reset();
    EXPECT_EQ(source.groupCount(), 0);
    // Nothing watches: frames cost nothing and break nothing.
    source.pushFrame(grey(1920, 1080));
    source.pushFrame({ 7, 7, 7, 7, std::make_shared<QByteArray>(3, '\0'), 0 }); // malformed: dropped
}

TEST(EncoderGroupTest, KeyFramesOnDemandAreThrottledPerGroup)
{
    ASSERT_TRUE(ensureInitialised());
    GstVideoSource source(QStringLiteral("ultrafast"));
    auto group = source.group({ Codec::H264, 2'000'000, 30, 2.0 });
    ASSERT_TRUE(group);
    QMutex mutex;
    int frames = 0;
    int keyFrames = 0;
    const int handle = group->subscribe([&](GstBuffer* buffer, GstCaps*) {
        QMutexLocker lock(&mutex);
        ++frames;
        keyFrames += !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    });
    // A lossy phone asks for a key frame with every frame for 1.5 s.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 1500) {
        source.pushFrame(grey(640, 360));
        source.refresh(*group);
        pump(40);
    }
    const qint64 askedForMs = clock.elapsed();
    ASSERT_TRUE(waitFor([&] { QMutexLocker lock(&mutex); return frames > 5; }, 10000));
    group->unsubscribe(handle);
    QMutexLocker lock(&mutex);
    // The encoder's first frame, then at most one per interval; but the asking is heard.
    const int limit = 1 + int(askedForMs / EncoderGroup::kKeyFrameIntervalMs) + 1;
    EXPECT_LE(keyFrames, limit) << frames << " frames in " << askedForMs << " ms";
    EXPECT_GE(keyFrames, 2);
}
