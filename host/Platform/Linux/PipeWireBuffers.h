#pragma once
// Reading one buffer of a screen cast: its pixels and its cursor metadata, checked against the
// buffer's own sizes (a compositor's buffer is trusted for nothing).

#include "Platform/Linux/PipeWireStream.h"

struct spa_buffer;

namespace pipewire_buffers {
// Copies the pixels of a `width`×`height` frame into `frame` (counting its serial up); false,
// with `frame` untouched, for a buffer without usable pixels, such as a cursor-only update.
bool readPixels(const spa_buffer* buffer, int width, int height, PipeWireStream::Frame& frame);
// Takes the pointer's position into `cursor`, and a new shape when the buffer carries one.
void readCursor(const spa_buffer* buffer, PipeWireStream::Cursor& cursor);
} // namespace pipewire_buffers
