// Time-limited steps of concept discovery. Each step runs on a thread of its own; a step that
// overruns its limit is stopped, not abandoned: the worker and every worker it started receive
// a private exception (a BaseException, so sympy's `except Exception` handlers let it through),
// sent again until the thread ends. The workers started within a StepScope, directly or by one
// another, belong to it; closing the scope stops and joins them all.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// `func(*args, **kwargs)` on a worker thread, waited for at most `timeout` seconds; Ctrl-C
// still surfaces while waiting. On time-out: TimeoutError ("<name> timed out after
// <timeout>s") at once, and the worker is cancelled. The step's own exception is raised again
// unchanged; a late result is dropped.
object run_with_timeout(handle func, long timeout, handle args, handle kwargs = handle());

// The time-limited steps of one call: those started on this thread (and by their workers)
// while the scope is open. Scopes on different threads never touch each other's workers.
class StepScope {
public:
    StepScope();
    ~StepScope();  // reopens the enclosing scope; blocks on nothing
    StepScope(const StepScope&) = delete;
    StepScope& operator=(const StepScope&) = delete;

    // Cancels the scope's workers still running and joins them all, waiting at most a few
    // seconds for any stuck in one long native call. Ctrl-C ends the wait and is raised.
    void close();

private:
    long long id_, enclosing_;
};

// Called at import: the cancellation exception, and the exit hook that stops workers still
// running before the interpreter finalises.
void init_workers(handle module);

}  // namespace kt
