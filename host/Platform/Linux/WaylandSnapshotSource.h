#pragma once
// One picture of the screen cast that is running, for a screenshot: no session of its own (on
// a portal that would ask the user again), just a copy of the stream's newest frame.

#include "Platform/Linux/PipeWireStream.h"
#include "Platform/ScreenSource.h"

#include <memory>

class WaylandSnapshotSource : public ScreenSource {
public:
    explicit WaylandSnapshotSource(std::shared_ptr<PipeWireStream> stream)
        : stream_(std::move(stream))
    {
    }

    bool open() override
    {
        frame_ = {};
        if (!stream_->copyFrame(frame_)) {
            error_ = QStringLiteral("the screen is not being shared");
            return false;
        }
        return true;
    }
    void close() override { frame_ = {}; }
    QSize displaySize() const override { return frame_.size; }
    Change poll() override { return frame_.bgra.empty() ? Change::Lost : Change::Content; }
    std::optional<Image> grab() override
    {
        if (frame_.bgra.empty())
            return std::nullopt;
        return Image { frame_.size.width(), frame_.size.height(), frame_.stride, frame_.bgra.data() };
    }
    QString errorString() const override { return error_; }

private:
    std::shared_ptr<PipeWireStream> stream_;
    PipeWireStream::Frame frame_;
    QString error_;
};
