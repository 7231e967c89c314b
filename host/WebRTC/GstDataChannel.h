#pragma once
// A webrtcbin data channel behind our DataChannel API.

#include "WebRTC/GstSupport.h"
#include "WebRTC/WebRTC.h"

#include <gst/webrtc/webrtc.h>

#include <QMutex>

#include <atomic>

namespace rtc::gst {

class GstDataChannelImpl : public DataChannel, public std::enable_shared_from_this<GstDataChannelImpl> {
public:
    GstDataChannelImpl(GstWebRTCDataChannel* channel, std::shared_ptr<std::atomic<std::size_t>> maxMessageSize);
    ~GstDataChannelImpl() override;
    // Connects the channel's signals; call once the shared_ptr owns this.
    void start();

    QString label() const override { return label_; }
    DataChannelState state() const override;
    uint64_t bufferedAmount() const override;
    std::size_t maxMessageSize() const override { return *maxMessageSize_; }
    void setObserver(std::weak_ptr<DataChannelObserver> observer) override;
    bool send(const QByteArray& data, bool binary) override;
    void close() override;
    void setBufferedAmountLowThreshold(uint64_t bytes);

private:
    std::shared_ptr<DataChannelObserver> observer() const;
    void disconnectSignals();

    Ref<GstWebRTCDataChannel> channel_; // ours, given to the constructor
    QString label_;
    std::shared_ptr<std::atomic<std::size_t>> maxMessageSize_;
    mutable QMutex mutex_;
    std::weak_ptr<DataChannelObserver> observer_;
    struct Context;
    Context* context_ = nullptr;
    std::atomic<bool> closed_ { false };
};

} // namespace rtc::gst
