#include "OrbelHost/CursorMonitor.h"
#include "Platform/Fake/FakeCursorSource.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

namespace {
struct Rig {
    std::unique_ptr<FakeCursorSource> owned = std::make_unique<FakeCursorSource>();
    FakeCursorSource& source = *owned;
    CursorMonitor monitor { std::move(owned) };
    QList<QJsonObject> messages;

    Rig()
    {
        monitor.onMessage = [this](const QJsonObject& m) { messages << m; };
        QImage image(16, 16, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::black);
        source.current = CursorSource::Shape { 1, image, QPoint(3, 5) };
    }
    QStringList types(int polls)
    {
        messages.clear();
        for (int i = 0; i < polls; ++i)
            monitor.poll();
        QStringList out;
        for (const auto& m : std::as_const(messages))
            out << m.value("t").toString();
        return out;
    }
};
} // namespace

TEST(CursorMonitorTest, ReportsPositionAsFractionsAndShapeAsADoubleSizePngOnlyWhenTheyChange)
{
    Rig rig;
    rig.source.bounds = QRect(1000, 0, 2000, 1000);
    rig.source.pos = QPoint(1500, 250);
    EXPECT_EQ(rig.types(1), (QStringList { "cur", "shape" }));
    EXPECT_DOUBLE_EQ(rig.messages[0].value("x").toDouble(), 0.25);
    EXPECT_DOUBLE_EQ(rig.messages[0].value("y").toDouble(), 0.25);
    const QJsonObject shape = rig.messages[1];
    EXPECT_EQ(shape.value("w").toInt(), 16);
    EXPECT_EQ(shape.value("h").toInt(), 16);
    EXPECT_EQ(shape.value("hx").toInt(), 3);
    EXPECT_EQ(shape.value("hy").toInt(), 5);
    const QImage png = QImage::fromData(QByteArray::fromBase64(shape.value("png").toString().toLatin1()), "PNG");
    EXPECT_EQ(png.size(), QSize(32, 32));

    // Still pointer, same cursor: nothing, and the shape is looked at every sixth poll only.
    rig.source.shapeReads = 0;
    EXPECT_TRUE(rig.types(12).isEmpty());
    EXPECT_EQ(rig.source.shapeReads, 2);

    // A monitor left of the main display gives negative fractions.
    rig.source.pos = QPoint(500, 1500);
    EXPECT_EQ(rig.types(1), QStringList { "cur" });
    EXPECT_DOUBLE_EQ(rig.messages[0].value("x").toDouble(), -0.25);
    EXPECT_DOUBLE_EQ(rig.messages[0].value("y").toDouble(), 1.5);

    // A change undone before the next look is not reported; one that stays is.
    rig.source.current->serial = 2;
    rig.types(2);
    rig.source.current->serial = 1;
    EXPECT_TRUE(rig.types(4).isEmpty());
    rig.source.current->serial = 3;
    EXPECT_EQ(rig.types(6), QStringList { "shape" });

    // Unknown position or shape reports nothing.
    rig.source.pos.reset();
    rig.source.current.reset();
    EXPECT_TRUE(rig.types(7).isEmpty());
}

TEST(CursorMonitorTest, ResetAndRestartReportEverythingAgain)
{
    Rig rig;
    rig.monitor.start();
    rig.monitor.start();
    EXPECT_TRUE(rig.monitor.running());
    rig.monitor.stop();
    EXPECT_FALSE(rig.monitor.running());

    EXPECT_EQ(rig.types(1), (QStringList { "cur", "shape" }));
    EXPECT_TRUE(rig.types(1).isEmpty());
    rig.monitor.reset();
    EXPECT_EQ(rig.types(1), (QStringList { "cur", "shape" }));
    rig.monitor.stop();
    EXPECT_EQ(rig.types(1), (QStringList { "cur", "shape" }));
}

TEST(CursorMonitorTest, LargeShapesStillFitInOneControlMessage)
{
    Rig rig;
    // A 256-point cursor of noise: at twice its size its PNG would be far over 64 KiB.
    QImage noisy(256, 256, QImage::Format_ARGB32_Premultiplied);
    uint32_t seed = 1;
    for (int y = 0; y < noisy.height(); ++y)
        for (int x = 0; x < noisy.width(); ++x) {
            seed = seed * 1664525u + 1013904223u;
            noisy.setPixel(x, y, seed | 0xff000000u);
        }
    rig.source.current = CursorSource::Shape { 2, noisy, QPoint(1, 2) };
    ASSERT_TRUE(rig.types(CursorMonitor::kShapeEvery).contains("shape"));
    const QJsonObject shape = rig.messages.last();
    EXPECT_EQ(shape.value("w").toInt(), 256);
    EXPECT_EQ(shape.value("h").toInt(), 256);
    EXPECT_LT(QJsonDocument(shape).toJson(QJsonDocument::Compact).size(), 64 * 1024);
    const QImage sent = QImage::fromData(QByteArray::fromBase64(shape.value("png").toString().toLatin1()), "PNG");
    EXPECT_FALSE(sent.isNull());
    EXPECT_LT(sent.width(), 256);
}
