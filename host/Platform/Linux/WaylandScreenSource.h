#pragma once
// The main display of a Wayland session: the compositor's screen cast of the primary monitor,
// read over PipeWire. Frames arrive only when something changed (the capturer repeats the last
// one); the stream ending (the session stopped, mutter gone) reads as Lost, and a new monitor
// size as Geometry.

#include "Platform/Linux/RemoteDesktopSession.h"
#include "Platform/Linux/PipeWireStream.h"
#include "Platform/ScreenSource.h"

#include <memory>

class WaylandScreenSource : public ScreenSource {
public:
    // `session` and `stream` are shared with the input and pointer sides; this source opens
    // both (a new session each time) and closes them.
    WaylandScreenSource(std::shared_ptr<RemoteDesktopSession> session, std::shared_ptr<PipeWireStream> stream);
    ~WaylandScreenSource() override;

    bool open() override;
    void close() override;
    QSize displaySize() const override { return size_; }
    Change poll() override;
    std::optional<Image> grab() override;
    QString errorString() const override { return error_; }

    // How long open() waits for the first frame, which gives the display's size.
    static constexpr int kFirstFrameWaitMs = 5000;

private:
    std::shared_ptr<RemoteDesktopSession> session_;
    std::shared_ptr<PipeWireStream> stream_;
    PipeWireStream::Frame frame_;
    QSize size_;
    QString error_;
    bool fresh_ = false;
};
