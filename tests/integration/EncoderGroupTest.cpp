// Encoder groups: one per codec and level, shared by every phone at that level, producing
// frames of the level's size.

#include "WebRTC/GstSupport.h"
#include "WebRTC/GstVideoSource.h"
#include "support/Wait.h"

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

    Received normalOut, lowOut, vp8Out;
    auto sink = [](Received& into) {
        return [&into](GstBuffer*, GstCaps* caps) {
            QMutexLocker lock(&into.mutex);
            ++into.frames;
            gchar* text = gst_caps_to_string(caps);
            into.caps = QString::fromUtf8(text);
            g_free(text);
        };
    };
    const int first = a->subscribe(sink(normalOut));
    const int second = b->subscribe(sink(normalOut));
    c->subscribe(sink(lowOut));
    d->subscribe(sink(vp8Out));
    EXPECT_EQ(a->subscribers(), 2);

    // Frames go only to groups someone watches; each is encoded once per group.
    for (int i = 0; i < 20; ++i) {
        source.pushFrame(grey(1920, 1080));
        pump(40);
    }
    auto count = [](Received& r) {
        QMutexLocker lock(&r.mutex);
        return r.frames;
    };
    ASSERT_TRUE(waitFor([&] { return count(normalOut) > 10 && count(lowOut) > 3 && count(vp8Out) > 3; }, 10000));
    {
        QMutexLocker lock(&normalOut.mutex);
        EXPECT_TRUE(normalOut.caps.contains("video/x-h264")) << normalOut.caps.toStdString();
        EXPECT_TRUE(normalOut.caps.contains("width=(int)1920")) << normalOut.caps.toStdString();
        EXPECT_TRUE(normalOut.caps.contains("constrained-baseline")) << normalOut.caps.toStdString();
        // Two subscribers, one encoder: every encoded frame reaches both.
        EXPECT_EQ(normalOut.frames % 2, 0);
    }
    {
        QMutexLocker lock(&lowOut.mutex);
        EXPECT_TRUE(lowOut.caps.contains("width=(int)768")) << lowOut.caps.toStdString();
        EXPECT_TRUE(lowOut.caps.contains("height=(int)432")) << lowOut.caps.toStdString();
        // At most 15 of the ~25 frames a second pushed.
        EXPECT_LT(lowOut.frames, count(normalOut) / 2);
    }
    {
        QMutexLocker lock(&vp8Out.mutex);
        EXPECT_TRUE(vp8Out.caps.contains("video/x-vp8")) << vp8Out.caps.toStdString();
    }

    // A group nobody holds any more is gone, with its pipeline.
    a->unsubscribe(first);
    b->unsubscribe(second);
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
