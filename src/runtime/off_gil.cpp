#include "runtime/off_gil.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace kt {

namespace {
constexpr long long kInlinePairs = 2000;  // fewer pairs than this are not worth a thread start
}

void run_released(int workers, const std::function<void(int, const Stop&)>& work) {
    Stop stop{false};
    std::mutex mutex;
    std::condition_variable finished;
    int running = 0;
    std::atomic<bool> out_of_memory{false};
    auto body = [&](int worker) {
        try {
            work(worker, stop);
        } catch (...) {  // scratch memory for very large trees; nothing may escape a thread
            out_of_memory = true;
            stop = true;
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (--running == 0) finished.notify_all();
    };

    PyObject* pending = nullptr;  // the exception a signal handler raised
    {
        nb::gil_scoped_release release;
        std::vector<std::thread> threads;
        try {
            for (int w = 0; w < workers; ++w) {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    ++running;
                }
                threads.emplace_back(body, w);
            }
        } catch (...) {
            stop = true;
            std::lock_guard<std::mutex> lock(mutex);
            --running;  // the thread that failed to start
        }
        std::unique_lock<std::mutex> lock(mutex);
        while (
            !finished.wait_for(lock, std::chrono::milliseconds(50), [&] { return running == 0; })) {
            lock.unlock();
            {
                nb::gil_scoped_acquire acquire;
                if (PyErr_CheckSignals() != 0) pending = PyErr_GetRaisedException();
            }
            lock.lock();
            if (pending) {
                stop = true;
                break;
            }
        }
        lock.unlock();
        for (auto& t : threads) t.join();
        if (!pending && (out_of_memory || (int)threads.size() < workers)) {
            nb::gil_scoped_acquire acquire;
            if (out_of_memory)
                PyErr_NoMemory();
            else
                PyErr_SetString(PyExc_RuntimeError, "could not start worker threads");
            pending = PyErr_GetRaisedException();
        }
    }
    if (pending) {
        PyErr_SetRaisedException(pending);
        throw nb::python_error();
    }
}

int pair_workers(int n, int max_workers, bool heavy) {
    if (!heavy && (long long)n * (n + 1) / 2 < kInlinePairs) return 1;
    int cores = (int)std::thread::hardware_concurrency();
    if (cores < 1) cores = 1;
    if (max_workers > 0 && cores > max_workers) cores = max_workers;
    return cores;
}

void for_each_pair(int n, const std::function<void(int, int, int, const Stop&)>& visit,
                   int max_workers, bool heavy) {
    if (!heavy && (long long)n * (n + 1) / 2 < kInlinePairs) {
        const Stop never{false};
        for (int i = 0; i < n; ++i)
            for (int j = i; j < n; ++j) visit(i, j, 0, never);
        return;
    }
    // Rows are handed out one at a time, longest first, so the load stays even.
    std::atomic<int> next_row{0};
    run_released(pair_workers(n, max_workers, heavy), [&](int worker, const Stop& stop) {
        for (int i = next_row++; i < n; i = next_row++)
            for (int j = i; j < n; ++j) {
                if (stop.load(std::memory_order_relaxed)) return;
                visit(i, j, worker, stop);
            }
    });
}

int tree_distance_released(const kernels::FlatTree& a, const kernels::FlatTree& b,
                           kernels::TreeDistanceScratch& scratch) {
    if ((long long)a.size() * b.size() <= kLongTreePair)
        return kernels::tree_distance(a, b, scratch);
    int distance = -1;
    run_released(
        1, [&](int, const Stop& stop) { distance = kernels::tree_distance(a, b, scratch, &stop); });
    return distance;
}

}  // namespace kt
