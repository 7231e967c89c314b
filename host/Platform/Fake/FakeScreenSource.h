#pragma once
#include "Platform/ScreenSource.h"

#include <QSize>
#include <QString>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

// A screen of one colour that tests repaint, resize, unplug and slow to open. Plain std::mutex
// keeps it visible to ThreadSanitizer.
class FakeScreenSource : public ScreenSource {
public:
    bool open() override
    {
        std::unique_lock l(mutex_);
        ++openCalls_;
        opening_.notify_all();
        released_.wait(l, [this] { return !holdOpens_; });
        opened_ = openable_;
        lost_ = false;
        changed_ = true;
        openSize_ = QSize(width_, height_);
        error_ = opened_ ? QString() : QStringLiteral("fake display refused");
        return opened_;
    }
    void close() override { Lock l(mutex_); opened_ = false; ++closeCalls_; }
    QSize displaySize() const override { Lock l(mutex_); return opened_ ? openSize_ : QSize(); }
    Change poll() override
    {
        Lock l(mutex_);
        if (!opened_ || lost_) {
            error_ = QStringLiteral("fake display unplugged");
            return Change::Lost;
        }
        if (openSize_ != QSize(width_, height_)) {
            error_ = QStringLiteral("fake display resized");
            return Change::Geometry;
        }
        return changed_ ? Change::Content : Change::None;
    }
    std::optional<Image> grab() override
    {
        Lock l(mutex_);
        if (!opened_ || lost_)
            return std::nullopt;
        changed_ = false;
        ++grabs_;
        const int w = openSize_.width(), h = openSize_.height();
        pixels_.assign(std::size_t(w) * h, colour_);
        return Image { w, h, w * 4, reinterpret_cast<const uint8_t*>(pixels_.data()) };
    }
    QString errorString() const override { Lock l(mutex_); return error_; }

    // Test controls.
    void paint(uint32_t bgra) { Lock l(mutex_); colour_ = bgra; changed_ = true; }
    // A size of 0×0 means no display at all.
    void resize(int width, int height) { Lock l(mutex_); width_ = width; height_ = height; }
    void unplug() { Lock l(mutex_); lost_ = true; }
    void setOpenable(bool openable) { Lock l(mutex_); openable_ = openable; }
    // While held, open() blocks until releaseOpens().
    void holdOpens() { Lock l(mutex_); holdOpens_ = true; }
    void releaseOpens() { Lock l(mutex_); holdOpens_ = false; released_.notify_all(); }
    // Waits until open() has been entered `count` times in all.
    bool waitForOpenCalls(int count, int timeoutMs = 5000)
    {
        std::unique_lock l(mutex_);
        return opening_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return openCalls_ >= count; });
    }
    int openCalls() const { Lock l(mutex_); return openCalls_; }
    int closeCalls() const { Lock l(mutex_); return closeCalls_; }
    bool isOpen() const { Lock l(mutex_); return opened_; }
    int grabs() const { Lock l(mutex_); return grabs_; }

private:
    using Lock = std::lock_guard<std::mutex>;
    mutable std::mutex mutex_;
    std::condition_variable opening_;
    std::condition_variable released_;
    bool opened_ = false;
    bool openable_ = true;
    bool holdOpens_ = false;
    bool lost_ = false;
    bool changed_ = true;
    int width_ = 1280;
    int height_ = 720;
    QSize openSize_;
    uint32_t colour_ = 0xff202020;
    std::vector<uint32_t> pixels_;
    QString error_;
    int openCalls_ = 0;
    int closeCalls_ = 0;
    int grabs_ = 0;
};
