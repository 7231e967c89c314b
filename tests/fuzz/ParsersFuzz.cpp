// The parsers that take bytes from outside without a session around them: one JSON object per
// message (and writing it back), the update feed, and the desktop's XSETTINGS property.

#include "OrbelHost/JsonMessage.h"
#include "OrbelHost/UpdateFeed.h"
#include "Platform/Linux/XSettings.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    if (const auto object = parseJsonObject(bytes)) {
        // What is written back must read as the same object.
        if (const auto written = serializeJson(*object)) {
            const auto again = parseJsonObject(*written);
            if (!again || *again != *object)
                std::abort();
        }
    }
    UpdateFeed::parse(bytes, false);
    UpdateFeed::parse(bytes, true);
    if (size > 0) {
        const qsizetype split = qsizetype(data[0]) % qsizetype(size);
        x11::xsettingsInt(bytes.mid(split), bytes.left(split));
        UpdateFeed::isNewer(QString::fromUtf8(bytes.left(split)), QString::fromUtf8(bytes.mid(split)));
    }
    return 0;
}
