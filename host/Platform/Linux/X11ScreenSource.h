#pragma once
// The main display of an X server: the primary RandR output's rectangle of the root window
// (else the first active output's, else the whole root), grabbed through MIT-SHM when the
// server shares memory with us and plain GetImage when not. DAMAGE tells whether anything
// changed since the last grab, so a still screen costs no grab, and where (fetched as an
// XFixes region), so only that needs converting. Damage is tracked for the whole root window:
// drawing on another monitor also makes the main display's grab due, with nothing changed.

#include "Platform/ScreenSource.h"

#include <QByteArray>
#include <QRect>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

struct xcb_connection_t;
#include <xcb/xcb.h> // xcb_generic_event_t is a typedef of an unnamed struct: it cannot be forward-declared

class X11ScreenSource : public ScreenSource {
public:
    // `display` names the X display; empty means $DISPLAY.
    explicit X11ScreenSource(QByteArray display = {});
    ~X11ScreenSource() override;
    X11ScreenSource(const X11ScreenSource&) = delete;
    X11ScreenSource& operator=(const X11ScreenSource&) = delete;

    bool open() override;
    void close() override;
    QSize displaySize() const override { return main_.size(); }
    Change poll() override;
    std::optional<Image> grab() override;
    QString errorString() const override { return error_; }

    // The main display's rectangle within the root window; empty while closed.
    QRect mainDisplayBounds() const { return main_; }
    // Whether grabs go through shared memory (for logs and benchmarks).
    bool usesSharedMemory() const { return shm_ != nullptr; }

private:
    bool fail(const QString& message);
    bool checkPixelFormat();
    QRect findMainDisplay();
    bool attachSharedMemory(std::size_t bytes);
    void detachSharedMemory();
    void handle(const xcb_generic_event_t* event, bool& geometry);
    // The rectangles of the repaired region within the main display, in its coordinates.
    std::optional<std::vector<QRect>> changedRects();

    QByteArray displayName_;
    xcb_connection_t* connection_ = nullptr;
    uint32_t root_ = 0;
    QRect main_;
    QString error_;

    bool hasRandr_ = false;
    uint8_t randrEvent_ = 0;
    bool hasDamage_ = false;
    uint8_t damageEvent_ = 0;
    uint32_t damage_ = 0;
    uint32_t repairedAt_ = 0; // sequence number of the last damage subtract
    bool changed_ = false;
    uint32_t repaired_ = 0;   // XFixes region the subtract fills with what it repaired; 0 without XFixes
    bool wholeChanged_ = true; // the next grab is all new (just opened, or the display moved)

    uint32_t segment_ = 0;
    int shmId_ = -1;
    uint8_t* shm_ = nullptr;
    // Without shared memory the pixels stay in the last GetImage reply.
    std::unique_ptr<void, void (*)(void*)> reply_ { nullptr, nullptr };
};
