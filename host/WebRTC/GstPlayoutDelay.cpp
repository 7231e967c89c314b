#include "WebRTC/GstPlayoutDelay.h"

#include <gst/rtp/rtp.h>

namespace rtc::gst {

bool GstPlayoutDelay::mark(GstBuffer* packet, int id)
{
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(packet, GST_MAP_READWRITE, &rtp))
        return false;
    // 12 bits of minimum, 12 of maximum, in 10 ms units: both 0.
    const guint8 limits[3] = { 0, 0, 0 };
    const bool added = gst_rtp_buffer_add_extension_onebyte_header(&rtp, guint8(id), limits, sizeof limits);
    gst_rtp_buffer_unmap(&rtp);
    return added;
}

GstPlayoutDelay::GstPlayoutDelay(GstPad* pad, int id)
    : pad_(GST_PAD(gst_object_ref(pad)))
{
    auto onData = +[](GstPad*, GstPadProbeInfo* info, gpointer data) -> GstPadProbeReturn {
        const int id = GPOINTER_TO_INT(data);
        if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
            GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
            GST_PAD_PROBE_INFO_DATA(info) = buffer;
            mark(buffer, id);
            return GST_PAD_PROBE_OK;
        }
        GstBufferList* list = gst_buffer_list_make_writable(GST_PAD_PROBE_INFO_BUFFER_LIST(info));
        GST_PAD_PROBE_INFO_DATA(info) = list;
        for (guint i = 0; i < gst_buffer_list_length(list); ++i)
            mark(gst_buffer_list_get_writable(list, i), id);
        return GST_PAD_PROBE_OK;
    };
    probe_ = gst_pad_add_probe(pad_.get(), GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST), onData,
                               GINT_TO_POINTER(id), nullptr);
}

GstPlayoutDelay::~GstPlayoutDelay()
{
    gst_pad_remove_probe(pad_.get(), probe_);
}

} // namespace rtc::gst
