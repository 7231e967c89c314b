#include "OrbelHost/CursorMonitor.h"

CursorMonitor::CursorMonitor(std::unique_ptr<CursorSource> source)
    : source_(std::move(source))
{
}

void CursorMonitor::start()
{
    running_ = true;
}

void CursorMonitor::stop()
{
    running_ = false;
}
