#include "Support/ThreadHop.h"

#include <QCoreApplication>
#include <QMetaObject>

#if defined(__SANITIZE_THREAD__)
#define VELQUIN_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELQUIN_TSAN 1
#endif
#endif

#ifdef VELQUIN_TSAN
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace {
#ifdef VELQUIN_TSAN
// One token for every hop: the work's closure is itself written by the sender, so the token
// cannot live inside it.
char token;
#endif
} // namespace

void annotateHandOver()
{
#ifdef VELQUIN_TSAN
    __tsan_release(&token);
#endif
}

void annotateTakeOver()
{
#ifdef VELQUIN_TSAN
    __tsan_acquire(&token);
#endif
}

namespace {
// The work as Qt holds it. Qt copies it into its queue after we are done writing it, so the
// hand-over is announced as the copy is made (the last write on this side), and taken on the
// other side before the work is read. Either side may drop Qt's copy last, so running it hands
// back too, and dropping it takes over first.
class Hop {
public:
    explicit Hop(std::function<void()> work) : work_(std::move(work)) {}
    Hop(Hop&& other) noexcept : work_(std::move(other.work_)) { annotateHandOver(); }
    Hop(const Hop&) = delete;
    Hop& operator=(const Hop&) = delete;
    Hop& operator=(Hop&&) = delete;
    ~Hop() { annotateTakeOver(); }

    void operator()()
    {
        annotateTakeOver();
        work_();
        annotateHandOver();
    }

private:
    std::function<void()> work_;
};
} // namespace

void postTo(QObject* context, std::function<void()> work)
{
    if (!context)
        return;
    QMetaObject::invokeMethod(context, Hop(std::move(work)), Qt::QueuedConnection);
}

void postToMain(std::function<void()> work)
{
    postTo(QCoreApplication::instance(), std::move(work));
}
