#pragma once
#include "Platform/ScreenSource.h"

#include <QMutex>
#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QWaitCondition>

#include <algorithm>
#include <vector>

// A screen of one colour that tests repaint, resize, unplug and slow to open.
class FakeScreenSource : public ScreenSource {
public:
    bool open() override
    {
        QMutexLocker l(&mutex_);
        ++openCalls_;
        opening_.wakeAll();
        while (holdOpens_)
            released_.wait(&mutex_);
        opened_ = openable_;
        lost_ = false;
        changed_ = true;
        openSize_ = QSize(width_, height_);
        error_ = opened_ ? QString() : QStringLiteral("fake display refused");
        return opened_;
    }
    void close() override { QMutexLocker l(&mutex_); opened_ = false; ++closeCalls_; }
    QSize displaySize() const override { QMutexLocker l(&mutex_); return opened_ ? openSize_ : QSize(); }
    Change poll() override
    {
        QMutexLocker l(&mutex_);
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
        QMutexLocker l(&mutex_);
        if (!opened_ || lost_)
            return std::nullopt;
        changed_ = false;
        ++grabs_;
        const int w = openSize_.width(), h = openSize_.height();
        pixels_.assign(std::size_t(w) * h, colour_);
        return Image { w, h, w * 4, reinterpret_cast<const uint8_t*>(pixels_.data()) };
    }
    QString errorString() const override { QMutexLocker l(&mutex_); return error_; }

    // Test controls.
    void paint(uint32_t bgra) { QMutexLocker l(&mutex_); colour_ = bgra; changed_ = true; }
    // A size of 0×0 means no display at all.
    void resize(int width, int height) { QMutexLocker l(&mutex_); width_ = width; height_ = height; }
    void unplug() { QMutexLocker l(&mutex_); lost_ = true; }
    void setOpenable(bool openable) { QMutexLocker l(&mutex_); openable_ = openable; }
    // While held, open() blocks until releaseOpens().
    void holdOpens() { QMutexLocker l(&mutex_); holdOpens_ = true; }
    void releaseOpens() { QMutexLocker l(&mutex_); holdOpens_ = false; released_.wakeAll(); }
    // Waits until open() has been entered `count` times in all.
    bool waitForOpenCalls(int count, int timeoutMs = 5000)
    {
        QMutexLocker l(&mutex_);
        QDeadlineTimer deadline(timeoutMs);
        while (openCalls_ < count)
            if (!opening_.wait(&mutex_, deadline))
                return openCalls_ >= count;
        return true;
    }
    int openCalls() const { QMutexLocker l(&mutex_); return openCalls_; }
    int closeCalls() const { QMutexLocker l(&mutex_); return closeCalls_; }
    bool isOpen() const { QMutexLocker l(&mutex_); return opened_; }
    int grabs() const { QMutexLocker l(&mutex_); return grabs_; }

private:
    mutable QMutex mutex_;
    QWaitCondition opening_;
    QWaitCondition released_;
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
