#pragma once
// Reading one buffer of a screen cast: its pixels and its cursor metadata, checked against the
// buffer's own sizes (a compositor's buffer is trusted for nothing).

#include "Platform/Linux/PipeWireStream.h"

#include <vector>

struct spa_buffer;

namespace pipewire_buffers {
// Copies the pixels of a `width`×`height` frame into `frame` (counting its serial up); false,
// with `frame` untouched, for a buffer without usable pixels, such as a cursor-only update.
bool readPixels(const spa_buffer* buffer, int width, int height, PipeWireStream::Frame& frame);
// Takes the pointer's position into `cursor`, and a new shape when the buffer carries one.
void readCursor(const spa_buffer* buffer, PipeWireStream::Cursor& cursor);
// Reads the buffers that arrived since the last look, oldest first: every one's cursor, in
// order (a new shape may come in a buffer that a newer one without a shape follows), and the
// newest picture among them (a cursor-only update may follow the frame before it). Whether a
// picture was taken.
bool readArrived(const std::vector<const spa_buffer*>& buffers, int width, int height, PipeWireStream::Frame& frame,
                 PipeWireStream::Cursor& cursor);
} // namespace pipewire_buffers
