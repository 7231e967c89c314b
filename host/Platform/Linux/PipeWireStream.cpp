#include "Platform/Linux/PipeWireStream.h"

#include "Platform/Linux/PipeWireBuffers.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <QLoggingCategory>

#include <cstring>
#include <unistd.h>

namespace {
Q_LOGGING_CATEGORY(pipewireLog, "orbel.pipewire")

// Buffers asked for: one being filled by the compositor, one being read, one spare.
constexpr int kBuffers = 3;

constexpr uint32_t cursorMetaSize(uint32_t width, uint32_t height)
{
    return uint32_t(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + width * height * 4);
}
} // namespace

struct PipeWireStream::Loop {
    pw_thread_loop* thread = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    pw_registry* registry = nullptr;
    uint32_t node = 0;
    spa_hook streamListener {};
    spa_hook coreListener {};
    spa_hook registryListener {};
    spa_video_info_raw format {};
    // The buffers of one look, kept to reuse their memory (PipeWire's thread only).
    std::vector<pw_buffer*> arrived;
    std::vector<const spa_buffer*> arrivedSpa;

    mutable std::mutex mutex; // guards what follows; taken on PipeWire's thread and the reader's
    State state = State::Connecting;
    QString error;
    Frame frame;
    Cursor cursor;

    void end(const QString& why)
    {
        std::lock_guard lock(mutex);
        if (state != State::Ended)
            qCInfo(pipewireLog).noquote() << "stream ended:" << why;
        state = State::Ended;
        error = why;
    }

    static void onState(void* data, pw_stream_state old, pw_stream_state state, const char* error)
    {
        auto* self = static_cast<Loop*>(data);
        qCDebug(pipewireLog) << "stream state" << pw_stream_state_as_string(old) << "→" << pw_stream_state_as_string(state);
        if (state == PW_STREAM_STATE_ERROR) {
            self->end(QStringLiteral("PipeWire: %1").arg(QString::fromUtf8(error ? error : "stream error")));
        } else if (state == PW_STREAM_STATE_UNCONNECTED) {
            self->end(QStringLiteral("PipeWire: the stream was disconnected"));
        } else if (state == PW_STREAM_STATE_STREAMING) {
            std::lock_guard lock(self->mutex);
            if (self->state == State::Connecting)
                self->state = State::Streaming;
        }
    }

    static void onParam(void* data, uint32_t id, const spa_pod* param)
    {
        auto* self = static_cast<Loop*>(data);
        if (!param || id != SPA_PARAM_Format)
            return;
        uint32_t mediaType = 0;
        uint32_t mediaSubtype = 0;
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video
            || mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
            return;
        spa_format_video_raw_parse(param, &self->format);
        // Shared memory (no GPU buffers), and the cursor as metadata (mutter offers 384×384).
        uint8_t storage[1024];
        spa_pod_builder builder;
        spa_pod_builder_init(&builder, storage, sizeof(storage));
        const spa_pod* params[3];
        // Few buffers: each is a whole frame mapped into this process (8 MiB at 1080p), and only
        // the newest is read.
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd)), SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(kBuffers, 2, 16)));
        params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
            SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
        params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
            SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(384, 384), cursorMetaSize(1, 1), cursorMetaSize(1024, 1024))));
        pw_stream_update_params(self->stream, params, 3);
    }

    static void onProcess(void* data)
    {
        auto* self = static_cast<Loop*>(data);
        // Everything that arrived since the last look; all of it goes straight back once read.
        self->arrived.clear();
        self->arrivedSpa.clear();
        while (pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream)) {
            self->arrived.push_back(buffer);
            self->arrivedSpa.push_back(buffer->buffer);
        }
        if (self->arrived.empty())
            return;
        {
            std::lock_guard lock(self->mutex);
            pipewire_buffers::readArrived(self->arrivedSpa, int(self->format.size.width), int(self->format.size.height),
                                          self->frame, self->cursor);
            if (self->state == State::Connecting)
                self->state = State::Streaming;
        }
        for (pw_buffer* buffer : self->arrived)
            pw_stream_queue_buffer(self->stream, buffer);
    }

    // The compositor removes the node when its screen cast ends; the stream itself only pauses.
    static void onGlobalRemoved(void* data, uint32_t id)
    {
        auto* self = static_cast<Loop*>(data);
        if (id == self->node)
            self->end(QStringLiteral("the screen cast ended"));
    }

    static void onCoreError(void* data, uint32_t id, int, int, const char* message)
    {
        if (id == PW_ID_CORE)
            static_cast<Loop*>(data)->end(QStringLiteral("PipeWire: %1").arg(QString::fromUtf8(message ? message : "error")));
    }
};

PipeWireStream::PipeWireStream() = default;

PipeWireStream::~PipeWireStream()
{
    close();
}

bool PipeWireStream::open(uint32_t node, int connection)
{
    std::lock_guard life(life_);
    closeLocked();
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    loop_ = std::make_unique<Loop>();
    Loop& l = *loop_;
    l.thread = pw_thread_loop_new("velquin-pipewire", nullptr);
    l.context = l.thread ? pw_context_new(pw_thread_loop_get_loop(l.thread), nullptr, 0) : nullptr;
    if (!l.context || pw_thread_loop_start(l.thread) < 0) {
        if (connection >= 0)
            ::close(connection); // PipeWire owns it only once it connects
        l.end(QStringLiteral("PipeWire: cannot start its loop"));
        return false;
    }
    pw_thread_loop_lock(l.thread);
    l.core = connection >= 0 ? pw_context_connect_fd(l.context, connection, nullptr, 0) : pw_context_connect(l.context, nullptr, 0);
    if (!l.core) {
        pw_thread_loop_unlock(l.thread);
        l.end(QStringLiteral("PipeWire: no daemon in this session"));
        return false;
    }
    static const pw_core_events coreEvents = [] {
        pw_core_events events {};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = &Loop::onCoreError;
        return events;
    }();
    pw_core_add_listener(l.core, &l.coreListener, &coreEvents, &l);
    l.node = node;
    l.registry = pw_core_get_registry(l.core, PW_VERSION_REGISTRY, 0);
    static const pw_registry_events registryEvents = [] {
        pw_registry_events events {};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global_remove = &Loop::onGlobalRemoved;
        return events;
    }();
    if (l.registry)
        pw_registry_add_listener(l.registry, &l.registryListener, &registryEvents, &l);
    l.stream = pw_stream_new(l.core, "velquin-screen",
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE,
                                               "Screen", nullptr));
    static const pw_stream_events streamEvents = [] {
        pw_stream_events events {};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = &Loop::onState;
        events.param_changed = &Loop::onParam;
        events.process = &Loop::onProcess;
        return events;
    }();
    pw_stream_add_listener(l.stream, &l.streamListener, &streamEvents, &l);

    uint8_t storage[1024];
    spa_pod_builder builder;
    spa_pod_builder_init(&builder, storage, sizeof(storage));
    spa_rectangle size { 1920, 1080 }, smallest { 1, 1 }, largest { 16384, 16384 };
    spa_fraction rate { 30, 1 }, slowest { 0, 1 }, fastest { 60, 1 };
    const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA), SPA_FORMAT_VIDEO_size,
        SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_CHOICE_RANGE_Fraction(&rate, &slowest, &fastest)));
    const int connected = pw_stream_connect(l.stream, PW_DIRECTION_INPUT, node,
                                            pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), &format, 1);
    pw_thread_loop_unlock(l.thread);
    if (connected < 0) {
        l.end(QStringLiteral("PipeWire: cannot connect to node %1").arg(node));
        return false;
    }
    return true;
}

void PipeWireStream::close()
{
    std::lock_guard life(life_);
    closeLocked();
}

void PipeWireStream::closeLocked()
{
    if (!loop_)
        return;
    Loop& l = *loop_;
    if (l.thread) {
        pw_thread_loop_lock(l.thread);
        if (l.stream)
            pw_stream_destroy(l.stream);
        if (l.registry)
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(l.registry));
        if (l.core)
            pw_core_disconnect(l.core);
        pw_thread_loop_unlock(l.thread);
        pw_thread_loop_stop(l.thread);
    }
    if (l.context)
        pw_context_destroy(l.context);
    if (l.thread)
        pw_thread_loop_destroy(l.thread);
    loop_.reset();
}

PipeWireStream::State PipeWireStream::state() const
{
    std::lock_guard life(life_);
    if (!loop_)
        return State::Ended;
    std::lock_guard lock(loop_->mutex);
    return loop_->state;
}

QString PipeWireStream::errorString() const
{
    std::lock_guard life(life_);
    if (!loop_)
        return QStringLiteral("not open");
    std::lock_guard lock(loop_->mutex);
    return loop_->error;
}

bool PipeWireStream::takeFrame(Frame& frame)
{
    std::lock_guard life(life_);
    if (!loop_)
        return false;
    std::lock_guard lock(loop_->mutex);
    Frame& newest = loop_->frame;
    if (newest.serial == frame.serial || newest.bgra.empty())
        return false;
    // A swap, not a copy: the next frame is written into the reader's old buffer.
    frame.size = newest.size;
    frame.stride = newest.stride;
    frame.serial = newest.serial;
    frame.bgra.swap(newest.bgra);
    return true;
}

bool PipeWireStream::copyFrame(Frame& frame) const
{
    std::lock_guard life(life_);
    if (!loop_)
        return false;
    std::lock_guard lock(loop_->mutex);
    if (loop_->frame.bgra.empty())
        return false;
    frame = loop_->frame;
    return true;
}

PipeWireStream::Cursor PipeWireStream::cursor() const
{
    std::lock_guard life(life_);
    if (!loop_)
        return {};
    std::lock_guard lock(loop_->mutex);
    return loop_->cursor;
}

QSize PipeWireStream::size() const
{
    std::lock_guard life(life_);
    if (!loop_)
        return {};
    std::lock_guard lock(loop_->mutex);
    return loop_->frame.size;
}
