#include "OrbelHost/CursorMonitor.h"

#include <QBuffer>

CursorMonitor::CursorMonitor(std::unique_ptr<CursorSource> source)
    : source_(std::move(source))
{
    timer_.setInterval(kIntervalMs);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
}

void CursorMonitor::start()
{
    if (!timer_.isActive())
        timer_.start();
}

void CursorMonitor::stop()
{
    timer_.stop();
    reset();
}

void CursorMonitor::reset()
{
    lastPosition_.reset();
    lastShape_.reset();
    tick_ = 0;
}

void CursorMonitor::poll()
{
    const auto at = source_->position();
    // The display's bounds are needed only for a move, not on every poll of a still pointer.
    const QRect display = at && at != lastPosition_ ? source_->mainDisplayBounds() : QRect();
    if (!display.isEmpty()) {
        lastPosition_ = at;
        // Fractions of the main display, not clamped: another monitor gives values outside 0…1.
        if (onMessage)
            onMessage({ { QStringLiteral("t"), QStringLiteral("cur") },
                        { QStringLiteral("x"), double(at->x() - display.x()) / display.width() },
                        { QStringLiteral("y"), double(at->y() - display.y()) / display.height() } });
    }
    if (++tick_ % kShapeEvery == 1)
        checkShape();
}

void CursorMonitor::checkShape()
{
    const auto shape = source_->shape();
    if (!shape || shape->image.isNull() || lastShape_ == shape->serial)
        return;
    lastShape_ = shape->serial;
    const QSize points = shape->image.size();
    // Twice its size for sharp drawing on the phone; smaller where a large cursor would not
    // fit in one control message (the phone scales it to "w" × "h" either way).
    QByteArray png;
    for (QSize size = points * 2; !size.isEmpty(); size /= 2) {
        png.clear();
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        if (!shape->image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).save(&buffer, "PNG"))
            return;
        if (png.size() <= kMaxShapePngBytes)
            break;
    }
    if (png.size() > kMaxShapePngBytes)
        return;
    if (onMessage)
        onMessage({ { QStringLiteral("t"), QStringLiteral("shape") },
                    { QStringLiteral("png"), QString::fromLatin1(png.toBase64()) },
                    { QStringLiteral("w"), points.width() },
                    { QStringLiteral("h"), points.height() },
                    { QStringLiteral("hx"), shape->hotspot.x() },
                    { QStringLiteral("hy"), shape->hotspot.y() } });
}
