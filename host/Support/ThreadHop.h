#pragma once
// Hands work to the thread a QObject lives on, through Qt's event queue.
//
// Qt synchronises that queue inside its own library, where ThreadSanitizer cannot see; without
// a word from us every hand-over would look like a data race. The hop tells the checker what
// the queue guarantees: everything the sender did happens before the work runs.

#include <functional>

class QObject;

// Runs `work` later on `context`'s thread; nothing runs if `context` is null or is destroyed first.
void postTo(QObject* context, std::function<void()> work);

// Runs `work` later on the main thread (the application object's); nothing runs without one.
void postToMain(std::function<void()> work);

// For hand-overs the checker cannot see that do not go through postTo (a queue of a library
// we do not build): release before handing over, acquire first thing on the other side.
void annotateHandOver();
void annotateTakeOver();
