#include "OrbelHost/CaptureLoop.h"

#include "OrbelHost/CaptureGeometry.h"
#include "Support/ThreadHop.h"

#include <QtGlobal>

CaptureLoop::CaptureLoop(std::shared_ptr<rtc::VideoSource> source, std::unique_ptr<ScreenSource> screen,
                         CaptureTiming timing, CaptureRequest& request)
    : source_(std::move(source))
    , screen_(std::move(screen))
    , timing_(std::move(timing))
    , request_(request)
{
    if (!timing_.now)
        timing_.now = &CaptureTiming::steadyNow;
    stats_.sinceNs = now();
    grabTimer_.setTimerType(Qt::PreciseTimer);
    grabTimer_.setInterval(timing_.frameInterval);
    idleTimer_.setTimerType(Qt::PreciseTimer);
    connect(&grabTimer_, &QTimer::timeout, this, &CaptureLoop::grabTick);
    connect(&idleTimer_, &QTimer::timeout, this, &CaptureLoop::idleTick);
}

CaptureLoop::~CaptureLoop()
{
    annotateTakeOver(); // from the owner, which asked this thread to finish
    closeScreen();
}

void CaptureLoop::reconcile()
{
    const uint64_t wanted = request_.current();
    if (running_ && generation_ == wanted)
        return;
    // A start whose stop has not come through yet (the two crossed between caller threads)
    // ends here too, so there is never more than one start in effect.
    if (running_)
        end();
    if (wanted)
        begin(wanted);
}

void CaptureLoop::repeatLastFrame()
{
    if (last_)
        deliver(*last_);
}

void CaptureLoop::begin(uint64_t generation)
{
    running_ = true;
    generation_ = generation;
    idleTimer_.setInterval(timing_.idleFirst);
    idleTimer_.start();
    openScreen();
}

void CaptureLoop::end()
{
    running_ = false;
    idleTimer_.stop();
    last_.reset();
    // The next capture may take seconds to send its first frame (a Wayland screen cast is made
    // anew): until then phones get nothing rather than this capture's last picture.
    if (source_)
        source_->forgetLastFrame();
    closeScreen();
    converter_.release();
}

void CaptureLoop::openScreen()
{
    if (!request_.isCurrent(generation_))
        return; // a stop or a newer start is queued and will settle it
    // Opening may take a while; stop() and start() meanwhile only queue behind it, and the
    // generation check below tells whether this open is still wanted.
    const bool opened = screen_->open();
    if (!opened) {
        qWarning("Orbel: 擷取螢幕失敗 %s", qUtf8Printable(screen_->errorString()));
        // Give up unless a newer stop or start came meanwhile; its reconcile is queued.
        if (request_.withdraw(generation_))
            end();
        return;
    }
    if (!request_.isCurrent(generation_)) {
        screen_->close();
        return;
    }
    frameSize_ = captureSize(screen_->displaySize());
    if (frameSize_.isEmpty()) {
        // Still running without a display: a further start does nothing until a stop.
        qWarning("Orbel: 找不到螢幕");
        screen_->close();
        return;
    }
    qInfo("Orbel: 開始擷取 %dx%d", frameSize_.width(), frameSize_.height());
    streaming_ = true;
    grabTimer_.start();
}

void CaptureLoop::closeScreen()
{
    if (!streaming_)
        return;
    streaming_ = false;
    grabTimer_.stop();
    screen_->close();
}

void CaptureLoop::restart(const QString& why)
{
    // The idle timer and the last frame stay, so phones keep their image meanwhile.
    qWarning("Orbel: 擷取中斷 %s", qUtf8Printable(why));
    closeScreen();
    openScreen();
}

void CaptureLoop::grabTick()
{
    if (!streaming_)
        return;
    switch (screen_->poll()) {
    case ScreenSource::Change::None:
        return;
    case ScreenSource::Change::Geometry:
    case ScreenSource::Change::Lost:
        restart(screen_->errorString());
        return;
    case ScreenSource::Change::Content:
        break;
    }
    const auto image = screen_->grab();
    ++stats_.received;
    logStats();
    if (!image) {
        restart(screen_->errorString());
        return;
    }
    if (captureSize(QSize(image->width, image->height)) != frameSize_) {
        restart(QStringLiteral("main display changed to %1x%2").arg(image->width).arg(image->height));
        return;
    }
    // Drawing elsewhere on the root window (another monitor) leaves this display as it was.
    if (image->changed && image->changed->empty())
        return;
    last_ = converter_.convert(*image, frameSize_);
    deliver(*last_);
}

void CaptureLoop::idleTick()
{
    ++idleTicks_;
    if (idleTimer_.intervalAsDuration() != timing_.idleEvery)
        idleTimer_.setInterval(timing_.idleEvery);
    // Strictly more: while frames arrive on every tick, no repeats are made.
    if (last_ && now() - lastFrameNs_ > timing_.idleAfter.count())
        deliver(*last_);
}

void CaptureLoop::deliver(rtc::VideoFrame frame)
{
    ++stats_.delivered;
    logStats();
    // A repeat carries the time it was sent, not the time it was grabbed.
    lastFrameNs_ = now();
    frame.timestampNs = lastFrameNs_;
    source_->pushFrame(frame);
}

void CaptureLoop::logStats()
{
    const int64_t time = now();
    if (time - stats_.sinceNs < timing_.statsEvery.count())
        return;
    qInfo("Orbel: 擷取 收到 %d 張、送出 %d 張（5 秒）", stats_.received, stats_.delivered);
    stats_ = Stats { 0, 0, time };
}
