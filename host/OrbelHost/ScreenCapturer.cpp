#include "OrbelHost/ScreenCapturer.h"

#include "OrbelHost/CaptureLoop.h"

ScreenCapturer::ScreenCapturer(std::shared_ptr<rtc::VideoSource> source, std::unique_ptr<ScreenSource> screen,
                               Timing timing)
    : thread_(std::make_unique<QThread>())
    , loop_(new CaptureLoop(std::move(source), std::move(screen), std::move(timing), request_))
{
    thread_->setObjectName(QStringLiteral("orbel.capture"));
    loop_->moveToThread(thread_.get());
    QObject::connect(thread_.get(), &QThread::finished, loop_, &QObject::deleteLater);
    thread_->start();
}

ScreenCapturer::~ScreenCapturer()
{
    // The loop closes the screen on its own thread as that thread finishes.
    thread_->quit();
    thread_->wait();
}

void ScreenCapturer::start()
{
    if (!request_.want())
        return;
    ++starts_;
    post(&CaptureLoop::reconcile);
}

void ScreenCapturer::stop()
{
    if (request_.unwant())
        post(&CaptureLoop::reconcile);
}

void ScreenCapturer::repeatLastFrame()
{
    ++repeats_;
    post(&CaptureLoop::repeatLastFrame);
}

int ScreenCapturer::idleTicks() const
{
    return loop_->idleTicks();
}

void ScreenCapturer::afterQueuedWork(std::function<void(const CaptureLoop&)> look)
{
    QMetaObject::invokeMethod(loop_, [loop = loop_, look = std::move(look)] { look(*loop); }, Qt::QueuedConnection);
}

void ScreenCapturer::post(void (CaptureLoop::*work)())
{
    QMetaObject::invokeMethod(loop_, [loop = loop_, work] { (loop->*work)(); }, Qt::QueuedConnection);
}
