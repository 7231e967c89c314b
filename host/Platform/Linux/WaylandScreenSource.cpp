#include "Platform/Linux/WaylandScreenSource.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QThread>

namespace {
Q_LOGGING_CATEGORY(waylandLog, "orbel.wayland")
}

WaylandScreenSource::WaylandScreenSource(std::shared_ptr<RemoteDesktopSession> session, std::shared_ptr<PipeWireStream> stream)
    : session_(std::move(session))
    , stream_(std::move(stream))
{
}

WaylandScreenSource::~WaylandScreenSource()
{
    close();
}

bool WaylandScreenSource::open()
{
    close();
    // A session left from before may have been ended by the compositor: always a new one.
    if (!session_->open()) {
        error_ = session_->errorString();
        return false;
    }
    if (!stream_->open(session_->pipeWireNode(), session_->takePipeWireConnection())) {
        error_ = stream_->errorString();
        session_->close();
        return false;
    }
    // The size is known once the first frame is in; mutter sends one as the stream starts.
    QElapsedTimer waited;
    waited.start();
    while (!stream_->takeFrame(frame_)) {
        if (stream_->state() == PipeWireStream::State::Ended || waited.elapsed() > kFirstFrameWaitMs) {
            error_ = stream_->state() == PipeWireStream::State::Ended ? stream_->errorString()
                                                                     : QStringLiteral("the screen cast sent no frame");
            stream_->close();
            session_->close();
            return false;
        }
        QThread::msleep(5);
    }
    // The pointer's place and picture come with its moves; the seat's priming moved it before
    // this stream was read. Without a move seen here the phones would get no pointer until
    // someone moved it.
    const PipeWireStream::Cursor cursor = stream_->cursor();
    qCDebug(waylandLog) << "first frame after" << waited.elapsed() << "ms; pointer known:" << cursor.known
                        << "picture known:" << !cursor.shape.isNull();
    if (!cursor.known || cursor.shape.isNull())
        session_->nudgePointer();
    size_ = frame_.size;
    fresh_ = true;
    error_.clear();
    return true;
}

void WaylandScreenSource::close()
{
    stream_->close();
    session_->close();
    frame_ = {};
    size_ = {};
    fresh_ = false;
}

ScreenSource::Change WaylandScreenSource::poll()
{
    if (stream_->state() == PipeWireStream::State::Ended) {
        error_ = stream_->errorString();
        return Change::Lost;
    }
    if (stream_->takeFrame(frame_))
        fresh_ = true;
    if (!fresh_)
        return Change::None;
    if (frame_.size != size_) {
        error_ = QStringLiteral("the monitor is now %1×%2").arg(frame_.size.width()).arg(frame_.size.height());
        return Change::Geometry;
    }
    return Change::Content;
}

std::optional<ScreenSource::Image> WaylandScreenSource::grab()
{
    if (frame_.bgra.empty())
        return std::nullopt;
    fresh_ = false;
    Image image;
    image.width = frame_.size.width();
    image.height = frame_.size.height();
    image.stride = frame_.stride;
    image.bgra = frame_.bgra.data();
    return image;
}
