#pragma once
// A thread of its own that runs jobs one at a time, in the order given. For work that may
// block (a keychain prompt, a pipeline stopping) and must not hold up its caller.
//
// A worker lives for the whole process: it is never destroyed, and its thread is detached, so
// a job that hangs can neither hold up quitting nor find its queue gone.

#include <functional>

class SerialWorker {
public:
    // One worker per name, made on first use; `name` (at most 15 characters) names the thread.
    static SerialWorker& named(const char* name);

    void post(std::function<void()> job);

private:
    explicit SerialWorker(const char* name);
    struct Queue;
    Queue* queue_;
};
