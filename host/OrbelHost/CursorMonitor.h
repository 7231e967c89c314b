#pragma once
// Reports the pointer's position and shape to the phones while any is connected.

#include "Platform/CursorSource.h"

#include <QJsonObject>

#include <functional>
#include <memory>

class CursorMonitor {
public:
    explicit CursorMonitor(std::unique_ptr<CursorSource> source);

    std::function<void(const QJsonObject& message)> onMessage;

    void start();
    void stop();
    bool running() const { return running_; }

private:
    std::unique_ptr<CursorSource> source_;
    bool running_ = false;
};
