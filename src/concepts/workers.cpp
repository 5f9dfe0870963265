#include "concepts/workers.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "runtime/function.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting thread wakes: to see Ctrl-C, its own cancellation, and to send the
// cancellation again to workers whose code swallowed it.
constexpr auto kPoll = std::chrono::milliseconds(20);
// How long closing waits for cancelled workers before it gives up on them: Python code ends
// within milliseconds of the cancellation, but one long native call cannot be interrupted.
constexpr auto kJoinCap = std::chrono::seconds(10);

// One step on its thread. The thread owns a reference; so does the registry until the thread
// is joined. Python references are dropped with the GIL held before the registry lets go.
struct Worker : std::enable_shared_from_this<Worker> {
    // Fixed at the start.
    long long scope = 0;
    std::shared_ptr<Worker> parent;  // the worker whose step started this one
    pid_t pid = 0;                   // a forked child sees its parent's workers: not its own
    // Under the GIL.
    object func, args, kwargs;       // dropped by the worker once the step returns
    object result, error;
    unsigned long thread_id = 0;
    bool running = false;            // inside the step: may receive the cancellation
    bool cancelled = false;
    bool awaited = false;            // a run_with_timeout call waits for it and will join it
    std::thread thread;
    // Under `mutex`.
    std::mutex mutex;
    std::condition_variable ended_cv;
    bool ended = false;              // the thread has let go of the interpreter

    bool has_ended() {
        std::lock_guard<std::mutex> lock(mutex);
        return ended;
    }
    // Waits with the GIL released until the thread lets go of the interpreter or `until`.
    bool wait_until(Clock::time_point until) {
        nb::gil_scoped_release release;
        std::unique_lock<std::mutex> lock(mutex);
        return ended_cv.wait_until(lock, until, [&] { return ended; });
    }
    bool descends_from(const Worker& ancestor) const {
        for (const Worker* w = parent.get(); w; w = w->parent.get())
            if (w == &ancestor) return true;
        return false;
    }
};

// Every worker not yet joined, in start order; only touched with the GIL held. Never freed,
// so no thread object is destroyed after the interpreter.
std::vector<std::shared_ptr<Worker>>* g_workers = nullptr;
long long g_last_scope = 0;

thread_local long long t_scope = 0;        // the scope of the steps this thread starts
thread_local Worker* t_worker = nullptr;   // the worker this thread runs, if any

std::vector<std::shared_ptr<Worker>>& workers() {
    if (!g_workers) g_workers = new std::vector<std::shared_ptr<Worker>>();
    return *g_workers;
}

bool ours(const Worker& w) { return w.pid == getpid(); }

[[noreturn]] void raise_cancelled() {
    PyErr_SetNone(state().step_cancelled.ptr());
    throw nb::python_error();
}

void send(Worker& w) {
    if (w.running) PyThreadState_SetAsyncExc(w.thread_id, state().step_cancelled.ptr());
}

// Cancels `w` and every worker it started, directly or through others.
void cancel(Worker& w) {
    w.cancelled = true;
    send(w);
    for (const auto& other : workers())
        if (other->descends_from(w)) {
            other->cancelled = true;
            send(*other);
        }
}

// Sends the cancellation again to cancelled workers still inside their steps.
void resend() {
    for (const auto& w : workers())
        if (w->cancelled && ours(*w)) send(*w);
}

// Joins `w`, whose thread has let go of the interpreter, and forgets it.
void forget(const std::shared_ptr<Worker>& w) {
    if (w->thread.joinable()) w->thread.join();  // returning: no GIL needed
    w->result.reset();
    w->error.reset();
    auto& all = workers();
    all.erase(std::remove(all.begin(), all.end(), w), all.end());
}

// Joins the ended workers that no call waits for.
void sweep() {
    std::vector<std::shared_ptr<Worker>> done;
    for (const auto& w : workers())
        if (ours(*w) && !w->awaited && w->has_ended()) done.push_back(w);
    for (const auto& w : done) forget(w);
}

// Cancels the workers that `chosen` selects, waits until they have ended (at most
// kJoinCap) and joins them. Raises what a signal handler raises meanwhile.
template <class Pred>
void stop_all(Pred chosen) {
    for (const auto& w : workers())
        if (ours(*w) && chosen(*w) && !w->cancelled) cancel(*w);
    const auto give_up = Clock::now() + kJoinCap;
    for (;;) {
        std::shared_ptr<Worker> running;
        for (const auto& w : workers())
            if (ours(*w) && chosen(*w) && !w->has_ended()) {
                running = w;
                break;
            }
        if (!running || Clock::now() >= give_up) break;
        running->wait_until(std::min(give_up, Clock::now() + kPoll));
        if (PyErr_CheckSignals() < 0) {
            object raised = check(PyErr_GetRaisedException());
            sweep();
            PyErr_SetRaisedException(raised.release().ptr());
            throw nb::python_error();
        }
        resend();
    }
    sweep();
}

// The worker thread: the step with the GIL held, then the result or exception for the caller.
void run_step(std::shared_ptr<Worker> w) {
    PyGILState_STATE gil = PyGILState_Ensure();
    t_scope = w->scope;
    t_worker = w.get();
    w->thread_id = PyThread_get_thread_ident();
    if (!w->cancelled) {
        w->running = true;
        PyObject* value = PyObject_Call(w->func.ptr(), w->args.ptr(), w->kwargs.ptr());
        w->running = false;
        PyThreadState_SetAsyncExc(w->thread_id, nullptr);  // a cancellation sent too late
        if (value)
            w->result = nb::steal(value);
        else if (w->cancelled)
            PyErr_Clear();  // the cancellation, or what the step made of it: nobody waits
        else
            w->error = nb::steal(PyErr_GetRaisedException());
    }
    w->func.reset();
    w->args.reset();
    w->kwargs.reset();
    PyGILState_Release(gil);
    {
        std::lock_guard<std::mutex> lock(w->mutex);
        w->ended = true;
    }
    w->ended_cv.notify_all();
}

struct NoArguments {};

const FuncDef stop_at_exit_def = Declaration<NoArguments>{
    .name = "_stop_time_limited_steps",
    .params = {},
    .doc = "Stops the workers of time-limited steps still running (called at exit).",
    .body =
        [](const NoArguments&) {
            stop_all([](const Worker&) { return true; });
            return none();
        },
};

}  // namespace

object run_with_timeout(handle func, long timeout, handle args, handle kwargs) {
    Worker* parent = t_worker;
    if (parent && parent->cancelled) raise_cancelled();  // a cancelled step starts nothing new
    sweep();
    auto w = std::make_shared<Worker>();
    w->scope = t_scope;
    w->parent = parent ? parent->shared_from_this() : nullptr;
    w->pid = getpid();
    w->func = nb::borrow(func);
    w->args = check(PySequence_Tuple(args.ptr()));
    if (kwargs.is_valid() && !kwargs.is_none())
        w->kwargs = check(PyObject_CallOneArg((PyObject*)&PyDict_Type, kwargs.ptr()));
    w->awaited = true;
    workers().push_back(w);
    try {
        w->thread = std::thread(run_step, w);
    } catch (const std::system_error&) {
        w->func.reset();
        w->args.reset();
        w->kwargs.reset();
        forget(w);
        raise(PyExc_RuntimeError, "can't start new thread");
    }
    // At most about thirty years: the deadline must not overflow the clock.
    const auto deadline =
        Clock::now() + std::chrono::seconds(std::clamp(timeout, 0L, 1'000'000'000L));
    for (;;) {
        if (w->wait_until(std::min(deadline, Clock::now() + kPoll))) break;
        const bool interrupted = PyErr_CheckSignals() < 0;
        const bool abandoned = parent && parent->cancelled;
        if (!interrupted && !abandoned && Clock::now() < deadline) {
            resend();
            continue;
        }
        // The wait ends early: the worker is cancelled, for its scope (or a later sweep) to join.
        w->awaited = false;
        cancel(*w);
        if (interrupted) throw nb::python_error();
        if (abandoned) raise_cancelled();
        object message = concat({str_of(get_attr(func, "__name__")), pystr(" timed out after "),
                                 str_of(pyint(timeout)), pystr("s")});
        PyErr_SetObject(PyExc_TimeoutError, message.ptr());
        throw nb::python_error();
    }
    w->awaited = false;
    object result = std::move(w->result), error = std::move(w->error);
    const bool cancelled = w->cancelled;  // by the cancellation of this thread's own step
    forget(w);
    if (error.is_valid()) {
        PyErr_SetRaisedException(error.release().ptr());
        throw nb::python_error();
    }
    if (cancelled) raise_cancelled();
    return result;
}

StepScope::StepScope() : id_(++g_last_scope), enclosing_(t_scope) { t_scope = id_; }

StepScope::~StepScope() { t_scope = enclosing_; }

void StepScope::close() {
    const long long id = id_;
    stop_all([id](const Worker& w) { return w.scope == id; });
}

void init_workers(handle module) {
    mutable_state().step_cancelled = check(PyErr_NewExceptionWithDoc(
        "source._brenmoor._StepCancelled",
        "Stops the worker of a time-limited step; a BaseException, so that the step's own "
        "`except Exception` handlers let it through.",
        PyExc_BaseException, nullptr));
    object atexit = import_module("atexit");
    atexit.attr("register")(make_function(stop_at_exit_def, module));
}

}  // namespace kt
