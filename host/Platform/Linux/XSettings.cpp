#include "Platform/Linux/XSettings.h"

#include "Platform/Linux/X11Support.h"

#include <QtEndian>

namespace x11 {
namespace {
// Reads the property's numbers in the byte order it names; every read is bounds-checked.
class Reader {
public:
    Reader(const QByteArray& bytes, bool bigEndian) : bytes_(bytes), big_(bigEndian) {}
    bool skip(qsizetype n)
    {
        if (n < 0 || at_ + n > bytes_.size())
            return false;
        at_ += n;
        return true;
    }
    std::optional<uint32_t> u32() { return number<uint32_t>(); }
    std::optional<uint16_t> u16() { return number<uint16_t>(); }
    std::optional<uint8_t> u8() { return number<uint8_t>(); }
    std::optional<QByteArray> bytes(qsizetype n)
    {
        if (n < 0 || at_ + n > bytes_.size())
            return std::nullopt;
        QByteArray out = bytes_.mid(at_, n);
        at_ += n;
        return out;
    }

private:
    template <typename T>
    std::optional<T> number()
    {
        if (at_ + qsizetype(sizeof(T)) > bytes_.size())
            return std::nullopt;
        const uchar* p = reinterpret_cast<const uchar*>(bytes_.constData() + at_);
        at_ += sizeof(T);
        return big_ ? qFromBigEndian<T>(p) : qFromLittleEndian<T>(p);
    }
    const QByteArray& bytes_;
    bool big_;
    qsizetype at_ = 0;
};

constexpr qsizetype padded(qsizetype n)
{
    return (n + 3) & ~qsizetype(3);
}
} // namespace

std::optional<int> xsettingsInt(const QByteArray& property, const QByteArray& name)
{
    if (property.size() < 12)
        return std::nullopt;
    Reader in(property, property.at(0) != 0);
    in.skip(4); // byte order and padding
    in.u32();   // serial
    const auto count = in.u32();
    for (uint32_t i = 0; count && i < *count; ++i) {
        const auto type = in.u8();
        in.skip(1);
        const auto nameLength = in.u16();
        if (!type || !nameLength)
            return std::nullopt;
        const auto settingName = in.bytes(*nameLength);
        if (!settingName || !in.skip(padded(*nameLength) - *nameLength) || !in.u32()) // last-change serial
            return std::nullopt;
        switch (*type) {
        case 0: { // integer
            const auto value = in.u32();
            if (!value)
                return std::nullopt;
            if (*settingName == name)
                return int32_t(*value);
            break;
        }
        case 1: { // string
            const auto length = in.u32();
            if (!length || *length > uint32_t(property.size()) || !in.skip(padded(qsizetype(*length))))
                return std::nullopt;
            break;
        }
        case 2: // colour: four 16-bit values
            if (!in.skip(8))
                return std::nullopt;
            break;
        default:
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<int> readXSettingsInt(xcb_connection_t* connection, int screen, const QByteArray& name)
{
    const xcb_atom_t selection = x11::atom(connection, "_XSETTINGS_S" + QByteArray::number(screen));
    const xcb_atom_t settings = x11::atom(connection, "_XSETTINGS_SETTINGS");
    if (selection == XCB_ATOM_NONE || settings == XCB_ATOM_NONE)
        return std::nullopt;
    Reply owner(xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr));
    if (!owner || owner->owner == XCB_NONE)
        return std::nullopt;
    Reply property(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, owner->owner, settings, settings, 0, 64 * 1024), nullptr));
    if (!property)
        return std::nullopt;
    const QByteArray bytes(static_cast<const char*>(xcb_get_property_value(property.p)),
                           xcb_get_property_value_length(property.p));
    return xsettingsInt(bytes, name);
}
} // namespace x11
