#include "OrbelHost/ScreenCapturer.h"

#include "OrbelHost/CaptureLoop.h"
#include "Support/ThreadHop.h"

ScreenCapturer::ScreenCapturer(std::shared_ptr<rtc::VideoSource> source, std::unique_ptr<ScreenSource> screen,
                               Timing timing)
    : thread_(std::make_unique<QThread>())
    , loop_(new CaptureLoop(std::move(source), std::move(screen), std::move(timing), request_))
{
    thread_->setObjectName(QStringLiteral("orbel.capture"));
    loop_->moveToThread(thread_.get());
    QObject::connect(thread_.get(), &QThread::finished, loop_, &QObject::deleteLater);
    // The loop is gone, members and all, before the thread ends; QThread::wait() is a
    // synchronisation the race checker cannot see.
    QObject::connect(loop_, &QObject::destroyed, [] { annotateHandOver(); });
    thread_->start();
}

ScreenCapturer::~ScreenCapturer()
{
    // The loop closes the screen on its own thread as that thread finishes.
    annotateHandOver();
    thread_->quit();
    thread_->wait();
    annotateTakeOver();
}

void ScreenCapturer::start()
{
    if (!request_.want())
        return;
    post(&CaptureLoop::reconcile);
}

void ScreenCapturer::stop()
{
    if (request_.unwant())
        post(&CaptureLoop::reconcile);
}

void ScreenCapturer::repeatLastFrame()
{
    post(&CaptureLoop::repeatLastFrame);
}

int ScreenCapturer::idleTicks() const
{
    return loop_->idleTicks();
}

void ScreenCapturer::afterQueuedWork(std::function<void(const CaptureLoop&)> look)
{
    postTo(loop_, [loop = loop_, look = std::move(look)] { look(*loop); });
}

void ScreenCapturer::post(void (CaptureLoop::*work)())
{
    postTo(loop_, [loop = loop_, work] { (loop->*work)(); });
}
