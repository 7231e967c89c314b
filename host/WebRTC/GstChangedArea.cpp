#include "WebRTC/GstChangedArea.h"

#include "Support/BoundedRects.h"

#include <cstring>

namespace rtc::gst {
namespace {
constexpr const char* kMetaName = "VelquinChangedArea";

// Registered once; a copied buffer keeps it, a scaled one does not (no transform but copy).
void registerMeta()
{
    static const bool registered = [] {
        static const gchar* tags[] = { nullptr };
        gst_meta_register_custom(kMetaName, tags, nullptr, nullptr, nullptr);
        return true;
    }();
    (void)registered;
}

GstCustomMeta* findMeta(GstBuffer* buffer)
{
    registerMeta();
    return gst_buffer_get_custom_meta(buffer, kMetaName);
}
} // namespace

void ChangedArea::add(const ChangedArea& later)
{
    if (later.frameSize != frameSize) {
        // A new size changes everything.
        *this = { later.frameSize, { QRect(QPoint(0, 0), later.frameSize) }, later.frame, pushed };
        return;
    }
    frame = later.frame;
    rects.insert(rects.end(), later.rects.begin(), later.rects.end());
    boundRects(rects, kMaxRects);
}

void attachChangedArea(GstBuffer* buffer, const ChangedArea& area)
{
    removeChangedArea(buffer);
    registerMeta();
    GstCustomMeta* meta = gst_buffer_add_custom_meta(buffer, kMetaName);
    if (!meta)
        return;
    std::vector<gint32> packed;
    packed.reserve(area.rects.size() * 4);
    for (const QRect& rect : area.rects)
        packed.insert(packed.end(), { rect.x(), rect.y(), rect.width(), rect.height() });
    GBytes* bytes = g_bytes_new(packed.data(), packed.size() * sizeof(gint32));
    gst_structure_set(gst_custom_meta_get_structure(meta), "width", G_TYPE_INT, area.frameSize.width(), "height", G_TYPE_INT,
                      area.frameSize.height(), "rects", G_TYPE_BYTES, bytes, "frame", G_TYPE_UINT64, guint64(area.frame),
                      "pushed", G_TYPE_UINT64, guint64(area.pushed), nullptr);
    g_bytes_unref(bytes);
}

std::optional<ChangedArea> changedArea(GstBuffer* buffer)
{
    GstCustomMeta* meta = findMeta(buffer);
    if (!meta)
        return std::nullopt;
    const GstStructure* fields = gst_custom_meta_get_structure(meta);
    ChangedArea area;
    int width = 0, height = 0;
    guint64 frame = 0, pushed = 0;
    const GValue* value = gst_structure_get_value(fields, "rects");
    if (!gst_structure_get_int(fields, "width", &width) || !gst_structure_get_int(fields, "height", &height) || !value
        || !G_VALUE_HOLDS(value, G_TYPE_BYTES) || !gst_structure_get_uint64(fields, "frame", &frame)
        || !gst_structure_get_uint64(fields, "pushed", &pushed))
        return std::nullopt;
    area.frameSize = QSize(width, height);
    area.frame = frame;
    area.pushed = pushed;
    gsize size = 0;
    const auto* data = static_cast<const gint32*>(g_bytes_get_data(static_cast<GBytes*>(g_value_get_boxed(value)), &size));
    for (gsize i = 0; i + 4 <= size / sizeof(gint32); i += 4)
        area.rects.emplace_back(data[i], data[i + 1], data[i + 2], data[i + 3]);
    return area;
}

void removeChangedArea(GstBuffer* buffer)
{
    if (GstCustomMeta* meta = findMeta(buffer))
        gst_buffer_remove_meta(buffer, &meta->meta);
}

} // namespace rtc::gst
