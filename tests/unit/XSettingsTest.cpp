#include "Platform/Linux/XSettings.h"

#include <QtEndian>

#include <gtest/gtest.h>

namespace {
// Builds a _XSETTINGS_SETTINGS property the way settings daemons write it.
class Blob {
public:
    explicit Blob(bool bigEndian) : big_(bigEndian)
    {
        bytes_.append(char(bigEndian ? 1 : 0)).append(3, '\0');
        u32(7); // serial
        u32(0); // count, set by done()
    }
    Blob& integer(const QByteArray& name, int32_t value)
    {
        head(0, name);
        u32(uint32_t(value));
        return *this;
    }
    Blob& string(const QByteArray& name, const QByteArray& value)
    {
        head(1, name);
        u32(uint32_t(value.size()));
        bytes_.append(value).append(pad(value.size()), '\0');
        return *this;
    }
    Blob& colour(const QByteArray& name)
    {
        head(2, name);
        bytes_.append(8, '\x7f');
        return *this;
    }
    QByteArray done()
    {
        QByteArray out = bytes_;
        uchar* count = reinterpret_cast<uchar*>(out.data() + 8);
        big_ ? qToBigEndian<uint32_t>(count_, count) : qToLittleEndian<uint32_t>(count_, count);
        return out;
    }

private:
    static int pad(qsizetype n) { return int((4 - n % 4) % 4); }
    void u32(uint32_t v)
    {
        uchar b[4];
        big_ ? qToBigEndian(v, b) : qToLittleEndian(v, b);
        bytes_.append(reinterpret_cast<const char*>(b), 4);
    }
    void head(uint8_t type, const QByteArray& name)
    {
        ++count_;
        bytes_.append(char(type)).append('\0');
        uchar b[2];
        big_ ? qToBigEndian<uint16_t>(uint16_t(name.size()), b) : qToLittleEndian<uint16_t>(uint16_t(name.size()), b);
        bytes_.append(reinterpret_cast<const char*>(b), 2).append(name).append(pad(name.size()), '\0');
        u32(3); // last change
    }
    bool big_;
    QByteArray bytes_;
    uint32_t count_ = 0;
};
} // namespace

TEST(XSettingsTest, FindsTheIntegerAmongOtherSettingsInEitherByteOrderAndSurvivesBadBytes)
{
    for (const bool big : { false, true }) {
        const QByteArray blob = Blob(big)
                                    .string("Net/ThemeName", "Adwaita")
                                    .colour("Gtk/Colour")
                                    .integer("Net/CursorBlinkTime", 1200)
                                    .integer("Net/DoubleClickTime", 250)
                                    .done();
        EXPECT_EQ(x11::xsettingsInt(blob, "Net/DoubleClickTime"), 250) << big;
        EXPECT_EQ(x11::xsettingsInt(blob, "Net/CursorBlinkTime"), 1200);
        EXPECT_FALSE(x11::xsettingsInt(blob, "Net/ThemeName")); // a string
        EXPECT_FALSE(x11::xsettingsInt(blob, "Net/Missing"));
        // Every cut of the property is read safely and finds nothing it cannot see whole.
        for (qsizetype n = 0; n < blob.size(); ++n)
            EXPECT_NE(x11::xsettingsInt(blob.left(n), "Net/DoubleClickTime"), 0);
    }
    // A count far beyond the bytes, and an unknown type.
    QByteArray lying = Blob(false).integer("A", 1).done();
    lying[8] = char(0xff);
    EXPECT_EQ(x11::xsettingsInt(lying, "A"), 1);
    EXPECT_FALSE(x11::xsettingsInt(lying, "B"));
    QByteArray unknown = Blob(false).integer("A", 1).done();
    unknown[12] = char(9);
    EXPECT_FALSE(x11::xsettingsInt(unknown, "A"));
}
