#include "OrbelHost/CaptureGeometry.h"

#include <gtest/gtest.h>

TEST(CaptureGeometryTest, DisplaysUpTo2560WideAreKeptAsTheyAre)
{
    EXPECT_EQ(captureSize(QSize(1280, 720)), QSize(1280, 720));
    EXPECT_EQ(captureSize(QSize(1920, 1080)), QSize(1920, 1080));
    EXPECT_EQ(captureSize(QSize(1366, 768)), QSize(1366, 768));
    EXPECT_EQ(captureSize(QSize(2560, 1600)), QSize(2560, 1600));
    EXPECT_EQ(captureSize(QSize(1080, 1920)), QSize(1080, 1920)); // tall: the width alone decides
}

TEST(CaptureGeometryTest, WiderDisplaysAreScaledTo2560KeepingTheirShape)
{
    EXPECT_EQ(captureSize(QSize(2561, 1441)), QSize(2560, 1440));
    EXPECT_EQ(captureSize(QSize(3840, 2160)), QSize(2560, 1440));
    EXPECT_EQ(captureSize(QSize(3024, 1964)), QSize(2560, 1662));
    EXPECT_EQ(captureSize(QSize(5120, 2880)), QSize(2560, 1440));
    EXPECT_EQ(captureSize(QSize(4183, 2353)), QSize(2560, 1440)); // 2560/4183 × 4183 < 2560 in floating point
    EXPECT_EQ(captureSize(QSize(7680, 2160)), QSize(2560, 720));
}

TEST(CaptureGeometryTest, OddSizesAreRoundedDownToEven)
{
    EXPECT_EQ(captureSize(QSize(1367, 769)), QSize(1366, 768));
    EXPECT_EQ(captureSize(QSize(801, 601)), QSize(800, 600));
    EXPECT_EQ(captureSize(QSize(2559, 1439)), QSize(2558, 1438));
    EXPECT_EQ(captureSize(QSize(3000, 1999)), QSize(2560, 1704)); // 1705.8 truncated, then even
}

TEST(CaptureGeometryTest, NoFrameFromAnEmptyOrTinyDisplay)
{
    EXPECT_TRUE(captureSize(QSize()).isEmpty());
    EXPECT_TRUE(captureSize(QSize(0, 0)).isEmpty());
    EXPECT_TRUE(captureSize(QSize(1, 1)).isEmpty());
    EXPECT_EQ(captureSize(QSize(2, 3)), QSize(2, 2));
}
