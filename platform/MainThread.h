#pragma once

#include <cstdint>
#include <functional>

// The window thread and the hand-over of calls from workers to it.

// Makes the calling thread the window thread (once, at start-up; tests may
// call it again from their own main thread). On Windows it also creates the
// hidden window whose posted messages run the pending calls.
void SetMainThread();
[[nodiscard]] bool IsMainThread();

// Queues `call` for the window thread and blocks until it has run there.
// Exceptions thrown by `call` are passed back to the caller.
void RunOnMainThread(const std::function<void()>& call);

// Window thread: runs every pending call. Waits up to `timeoutMs` for the
// first one (or for a worker to end) when none is pending. Returns true when
// it ran at least one call.
bool CheckSynchronize(std::uint32_t timeoutMs = 0);

// Work the window thread does once after each turn of hand-overs, before the
// workers whose calls ran in that turn go on: what those calls left to be
// done in one go (lines for a text box, an open file to close) is done by
// then, so each call has still had its whole effect when its worker resumes.
// Window thread only; an empty function removes it.
void SetHandOverTurnEnd(std::function<void()> work);

// Does that work now, within a turn (before a modal loop, which may last),
// and lets the workers whose calls have run so far go on. A hand-over served
// from within a call (a nested loop) does the same first.
void RunHandOverTurnEnd();

// True on the window thread while it runs the calls of a turn of hand-overs.
[[nodiscard]] bool InHandOverTurn();

// Wakes a window thread that waits in CheckSynchronize (a worker ended).
void WakeMainThread();
