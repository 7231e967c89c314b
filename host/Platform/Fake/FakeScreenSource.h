#pragma once
#include "Platform/ScreenSource.h"
#include <QMutex>
#include <QMutexLocker>

// A screen of one colour that tests repaint and resize.
class FakeScreenSource : public ScreenSource {
public:
    bool open() override { QMutexLocker l(&mutex_); opened_ = openable_; return opened_; }
    void close() override { QMutexLocker l(&mutex_); opened_ = false; }
    QRect mainDisplayBounds() override { QMutexLocker l(&mutex_); return opened_ ? QRect(0, 0, width_, height_) : QRect(); }
    bool changedSinceLastGrab() override { QMutexLocker l(&mutex_); return changed_; }
    std::optional<Image> grab() override
    {
        QMutexLocker l(&mutex_);
        if (!opened_)
            return std::nullopt;
        changed_ = false;
        ++grabs_;
        Image image { width_, height_, width_ * 4, QByteArray() };
        image.bgra.resize(qsizetype(image.stride) * height_);
        auto* p = reinterpret_cast<uint32_t*>(image.bgra.data());
        std::fill(p, p + qsizetype(width_) * height_, colour_);
        return image;
    }

    void paint(uint32_t bgra) { QMutexLocker l(&mutex_); colour_ = bgra; changed_ = true; }
    void resize(int width, int height) { QMutexLocker l(&mutex_); width_ = width; height_ = height; changed_ = true; }
    void setOpenable(bool openable) { QMutexLocker l(&mutex_); openable_ = openable; }
    int grabs() const { QMutexLocker l(&mutex_); return grabs_; }

private:
    mutable QMutex mutex_;
    bool opened_ = false;
    bool openable_ = true;
    bool changed_ = true;
    int width_ = 1280;
    int height_ = 720;
    uint32_t colour_ = 0xff202020;
    int grabs_ = 0;
};
