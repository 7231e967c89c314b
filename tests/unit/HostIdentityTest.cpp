#include "OrbelHost/HostIdentity.h"
#include "OrbelHost/LinkQRCode.h"

#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

TEST(HostIdentityTest, HostIdIsAReadableAsciiSlugAndFourDigits)
{
    const QRegularExpression form(QStringLiteral("^([a-z0-9]+(-[a-z0-9]+)*)-([1-9][0-9]{3})$"));
    struct Case {
        QString name;
        QString slug;
    };
    const Case cases[] = {
        { QStringLiteral("Zoë's Café"), QStringLiteral("zoe-s-cafe") },
        { QStringLiteral("Anna's Laptop Pro"), QStringLiteral("anna-s-laptop-pro") },
        { QStringLiteral("  --Büro__PC--  "), QStringLiteral("buro-pc") },
        { QStringLiteral("王小明的電腦"), QStringLiteral("wang-xiao-ming-de-dian-n") },
        // Cut right after a hyphen: no hyphen is left dangling.
        { QStringLiteral("abcdefghijklmnopqrstuvw-xyz"), QStringLiteral("abcdefghijklmnopqrstuvw") },
        { QStringLiteral("Ноутбук"), QStringLiteral("noutbuk") },
        { QStringLiteral("😀🎉"), QStringLiteral("linux") },
        { QStringLiteral("!!!...???"), QStringLiteral("linux") },
        { QString(), QStringLiteral("linux") },
        { QStringLiteral("a-very-long-computer-name-that-goes-on-and-on"), QStringLiteral("a-very-long-computer-nam") },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        EXPECT_EQ(HostIdentity::slug(c.name), c.slug);
        const QString id = HostIdentity::makeHostId(c.name);
        const auto match = form.match(id);
        ASSERT_TRUE(match.hasMatch()) << id.toStdString();
        EXPECT_EQ(match.captured(1), c.slug);
        EXPECT_LE(match.captured(1).size(), 24);
    }
    // The number is drawn anew each time.
    QSet<QString> ids;
    for (int i = 0; i < 50; ++i)
        ids.insert(HostIdentity::makeHostId(QStringLiteral("desk")));
    EXPECT_GT(ids.size(), 40);
}

TEST(HostIdentityTest, KeyUsesOnlyUnambiguousCharacters)
{
    const QString alphabet = QStringLiteral("abcdefghjkmnpqrstuvwxyz23456789");
    QSet<QChar> seen;
    QSet<QString> keys;
    for (int i = 0; i < 500; ++i) {
        const QString key = HostIdentity::makeKey();
        ASSERT_EQ(key.size(), 12);
        for (QChar c : key) {
            ASSERT_TRUE(alphabet.contains(c)) << key.toStdString();
            seen.insert(c);
        }
        keys.insert(key);
    }
    EXPECT_EQ(keys.size(), 500);
    EXPECT_EQ(seen.size(), alphabet.size()); // every character does come up
}

TEST(HostIdentityTest, LinkQRCodeDrawsTheCodeWithAQuietZone)
{
    const QString payload = QStringLiteral("nimbralink:l-AbCdEf0123456789_-");
    const QImage image = makeQRCode(payload, 4);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.width(), image.height());
    EXPECT_EQ(image.width() % 4, 0);
    // Version 2 or 3 for this payload: 25 or 29 modules plus 8 of quiet zone.
    EXPECT_GE(image.width() / 4, 25 + 8);
    int dark = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const bool black = qGray(image.pixel(x, y)) < 128;
            dark += black;
            if (x < 16 || y < 16 || x >= image.width() - 16 || y >= image.height() - 16) {
                ASSERT_FALSE(black) << x << "," << y;
            }
        }
    EXPECT_GT(dark, image.width() * image.height() / 5);
    // The top-left finder pattern starts right after the quiet zone.
    EXPECT_LT(qGray(image.pixel(16, 16)), 128);

    const QString text = qrCodeText(payload);
    EXPECT_GT(text.count(QChar('\n')), 10);
    EXPECT_TRUE(makeQRCode(payload, 0).isNull());
}
