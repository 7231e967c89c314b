#pragma once
// A thread of its own that runs jobs one at a time, in the order given. For work that may
// block (a keychain prompt, a pipeline stopping, a disk write) and must not hold up its caller.
//
// Named workers live for the whole process: never destroyed, their thread detached, so a job
// that hangs can neither hold up quitting nor find its queue gone. An owned worker (make())
// ends its thread once it is destroyed and the jobs already due have run; jobs posted for
// later are dropped then. Its destructor never waits, so it may run on any thread, its own
// included.

#include <chrono>
#include <functional>
#include <memory>

class SerialWorker {
public:
    // One worker per name, made on first use; `name` (at most 15 characters) names the thread.
    static SerialWorker& named(const char* name);
    static std::unique_ptr<SerialWorker> make(const char* name);
    ~SerialWorker();

    void post(std::function<void()> job);
    // Runs `job` after `delay`, in turn with the other jobs; it never overtakes a job posted
    // earlier with no delay.
    void postAfter(std::chrono::milliseconds delay, std::function<void()> job);
    // True on the worker's own thread.
    bool isCurrent() const;
    // Waits until every job posted so far has run, `bound` at most; false when it gave up (and
    // at once on the worker's own thread).
    bool waitForIdle(std::chrono::milliseconds bound);
    // The same for every named worker, `bound` at most in all. Before the process exits: a job
    // still running then would meet the libraries' static data being destroyed under it (an
    // image being encoded, a secret being stored).
    static void settleNamed(std::chrono::milliseconds bound);

private:
    explicit SerialWorker(const char* name);
    struct Queue;
    std::shared_ptr<Queue> queue_;
};
