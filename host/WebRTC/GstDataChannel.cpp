#include "WebRTC/GstDataChannel.h"

#include <QMutexLocker>

namespace rtc::gst {

// What the signal handlers hold: a weak handle, so a late signal after the wrapper is gone does nothing.
struct GstDataChannelImpl::Context {
    std::weak_ptr<GstDataChannelImpl> self;
    std::vector<gulong> handlers;
};

GstDataChannelImpl::GstDataChannelImpl(GstWebRTCDataChannel* channel, std::shared_ptr<std::atomic<std::size_t>> maxMessageSize)
    : channel_(channel)
    , maxMessageSize_(std::move(maxMessageSize))
{
    gchar* label = nullptr;
    g_object_get(channel_.get(), "label", &label, nullptr);
    label_ = QString::fromUtf8(label);
    g_free(label);
}

GstDataChannelImpl::~GstDataChannelImpl()
{
    disconnectSignals();
}

void GstDataChannelImpl::start()
{
    context_ = new Context { weak_from_this(), {} };
    auto notifyState = +[](GObject*, GParamSpec*, gpointer data) {
        if (auto self = static_cast<Context*>(data)->self.lock())
            if (auto observer = self->observer())
                observer->onStateChange(*self);
    };
    auto onString = +[](GstWebRTCDataChannel*, gchar* text, gpointer data) {
        if (auto self = static_cast<Context*>(data)->self.lock())
            if (auto observer = self->observer())
                observer->onMessage(*self, QByteArray(text ? text : ""), false);
    };
    auto onData = +[](GstWebRTCDataChannel*, GBytes* bytes, gpointer data) {
        if (auto self = static_cast<Context*>(data)->self.lock())
            if (auto observer = self->observer()) {
                gsize size = 0;
                const auto* raw = bytes ? static_cast<const char*>(g_bytes_get_data(bytes, &size)) : nullptr;
                observer->onMessage(*self, QByteArray(raw, qsizetype(size)), true);
            }
    };
    auto onLow = +[](GstWebRTCDataChannel*, gpointer data) {
        if (auto self = static_cast<Context*>(data)->self.lock())
            if (auto observer = self->observer())
                observer->onBufferedAmountLow(*self);
    };
    context_->handlers = {
        g_signal_connect(channel_.get(), "notify::ready-state", G_CALLBACK(notifyState), context_),
        g_signal_connect(channel_.get(), "on-message-string", G_CALLBACK(onString), context_),
        g_signal_connect(channel_.get(), "on-message-data", G_CALLBACK(onData), context_),
        g_signal_connect(channel_.get(), "on-buffered-amount-low", G_CALLBACK(onLow), context_),
    };
}

void GstDataChannelImpl::disconnectSignals()
{
    if (!context_)
        return;
    for (gulong handler : context_->handlers)
        g_signal_handler_disconnect(channel_.get(), handler);
    delete context_;
    context_ = nullptr;
}

DataChannelState GstDataChannelImpl::state() const
{
    GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
    g_object_get(channel_.get(), "ready-state", &state, nullptr);
    switch (state) {
    case GST_WEBRTC_DATA_CHANNEL_STATE_CONNECTING: return DataChannelState::Connecting;
    case GST_WEBRTC_DATA_CHANNEL_STATE_OPEN: return DataChannelState::Open;
    case GST_WEBRTC_DATA_CHANNEL_STATE_CLOSING: return DataChannelState::Closing;
    default: return DataChannelState::Closed;
    }
}

uint64_t GstDataChannelImpl::bufferedAmount() const
{
    guint64 amount = 0;
    g_object_get(channel_.get(), "buffered-amount", &amount, nullptr);
    return amount;
}

void GstDataChannelImpl::setObserver(std::weak_ptr<DataChannelObserver> observer)
{
    QMutexLocker lock(&mutex_);
    observer_ = std::move(observer);
}

std::shared_ptr<DataChannelObserver> GstDataChannelImpl::observer() const
{
    QMutexLocker lock(&mutex_);
    return observer_.lock();
}

bool GstDataChannelImpl::send(const QByteArray& data, bool binary)
{
    if (closed_ || state() != DataChannelState::Open)
        return false;
    // The transport drops anything larger without a word; refuse it here instead.
    if (std::size_t(data.size()) > maxMessageSize())
        return false;
    if (binary) {
        GBytes* bytes = g_bytes_new(data.constData(), gsize(data.size()));
        const bool sent = gst_webrtc_data_channel_send_data_full(channel_.get(), bytes, nullptr);
        g_bytes_unref(bytes);
        return sent;
    }
    const QByteArray text = data + '\0';
    return gst_webrtc_data_channel_send_string_full(channel_.get(), text.constData(), nullptr);
}

void GstDataChannelImpl::close()
{
    if (closed_.exchange(true))
        return;
    gst_webrtc_data_channel_close(channel_.get());
}

void GstDataChannelImpl::setBufferedAmountLowThreshold(uint64_t bytes)
{
    g_object_set(channel_.get(), "buffered-amount-low-threshold", guint64(bytes), nullptr);
}

} // namespace rtc::gst
