#include "WebRTC/GstPacer.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace rtc::gst {

struct GstPacer::State {
    std::mutex mutex;
    std::condition_variable wake;
    bool stopped = false;
    int rateBps = 0;
    std::chrono::steady_clock::time_point next {}; // when the next packet may leave
    std::chrono::steady_clock::time_point nextResent {}; // when the next retransmission may
    int mediaPayloadType = -1;

    // Waits until `bytes` may leave, or (`wait` false: a retransmission) says whether they
    // may leave now.
    bool pace(std::size_t bytes, bool wait)
    {
        using namespace std::chrono;
        std::unique_lock lock(mutex);
        if (stopped || rateBps <= 0)
            return true;
        const auto now = steady_clock::now();
        const auto burst = milliseconds(kBurstMs);
        const auto duration = [&](double bps) { return nanoseconds(int64_t(double(bytes) * 8e9 / bps)); };
        next = std::max(next, now - burst);
        if (!wait) {
            nextResent = std::max(nextResent, now - burst);
            if (next > now || nextResent > now)
                return false;
            nextResent += duration(rateBps * kRetransmitShare);
        }
        wake.wait_until(lock, next, [this] { return stopped; });
        next += duration(rateBps);
        return true;
    }

    // Media waits its turn; anything else (a retransmission) only takes room there is now.
    bool waits(GstBuffer* buffer)
    {
        guint8 header[2] = {};
        if (gst_buffer_extract(buffer, 0, header, 2) < 2)
            return true;
        std::lock_guard lock(mutex);
        return mediaPayloadType < 0 || (header[1] & 0x7f) == mediaPayloadType;
    }
};

GstPacer::GstPacer(GstPad* pad, int rateBps)
    : state_(std::make_shared<State>())
    , pad_(GST_PAD(gst_object_ref(pad)))
{
    state_->rateBps = rateBps;
    using Holder = std::shared_ptr<State>;
    auto onData = +[](GstPad* pad, GstPadProbeInfo* info, gpointer data) -> GstPadProbeReturn {
        const Holder& state = *static_cast<Holder*>(data);
        if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
            GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
            return state->pace(gst_buffer_get_size(buffer), state->waits(buffer)) ? GST_PAD_PROBE_OK : GST_PAD_PROBE_DROP;
        }
        // A payloader sends a frame split into packets as one list: the packets go on one by
        // one (each through this probe again), so that the list is paced too.
        GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
        if (!list)
            return GST_PAD_PROBE_OK;
        GstFlowReturn flow = GST_FLOW_OK;
        const guint count = gst_buffer_list_length(list);
        for (guint i = 0; i < count && flow == GST_FLOW_OK; ++i)
            flow = gst_pad_push(pad, gst_buffer_ref(gst_buffer_list_get(list, i)));
        gst_buffer_list_unref(list);
        GST_PAD_PROBE_INFO_DATA(info) = nullptr;
        GST_PAD_PROBE_INFO_FLOW_RETURN(info) = flow;
        return GST_PAD_PROBE_HANDLED;
    };
    probe_ = gst_pad_add_probe(pad_.get(), GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST), onData,
                               new Holder(state_), [](gpointer data) { delete static_cast<Holder*>(data); });
}

GstPacer::~GstPacer()
{
    stop();
    gst_pad_remove_probe(pad_.get(), probe_);
}

void GstPacer::setRate(int rateBps)
{
    std::lock_guard lock(state_->mutex);
    state_->rateBps = rateBps;
}

void GstPacer::setMediaPayloadType(int payloadType)
{
    std::lock_guard lock(state_->mutex);
    state_->mediaPayloadType = payloadType;
}

void GstPacer::stop()
{
    {
        std::lock_guard lock(state_->mutex);
        state_->stopped = true;
    }
    state_->wake.notify_all();
}

} // namespace rtc::gst
