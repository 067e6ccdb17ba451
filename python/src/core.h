// What the files of kelvor_stoi._core share: samples borrowed from numpy
// arrays, the exception of a failed row, and the pool that scores many
// items on threads of the front-end core with the GIL released.
#ifndef KELVOR_PYTHON_CORE_H
#define KELVOR_PYTHON_CORE_H

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <string>
#include <vector>

#include "frontend/pair.h"
#include "frontend/row.h"

namespace kelvor::python {

namespace py = pybind11;

// Samples borrowed from a numpy array for the length of a call: where its
// first element lies and how far apart the elements are. The array stays
// referenced by the caller, so the samples may be read without the GIL.
struct Borrowed {
    enum Type { INT16, FLOAT32, FLOAT64 };
    const char* data = nullptr;
    py::ssize_t stride = 0;  // bytes, may be negative or zero
    int64_t count = 0;
    Type type = FLOAT64;
    std::string name;  // how the facts of a failure name it: "the clean signal"
};

// The sample type of a numpy array; ValueError naming the argument for any
// other than int16, float32 and float64 in the machine's byte order.
Borrowed::Type sample_type(const py::handle& samples, const char* name);

// The front-end core's view of borrowed samples: read in blocks where they
// lie, int16 as their value / 32768.
kelvor::frontend::Signal borrowed_signal(const Borrowed& b, int rate);

// The package's exception for a failed row (with the GIL held).
py::object exception_of(const kelvor::frontend::Row& row);

// Scores item i, passing `cancelled` to the front-end core's call.
using ItemScore = std::function<kelvor::frontend::Row(size_t i, const kelvor::frontend::Cancelled& cancelled)>;

// Runs score(i) for i = 0 .. count - 1 on `jobs` threads of the front-end
// core's pool and returns the rows in order. Called without the GIL; Ctrl-C
// stops handing out items, ends the items under way at their next block,
// sets *interrupted and leaves the exception pending for the caller to
// raise once it holds the GIL again. progress: None, or a callable given
// the number of items done, on the calling thread with the GIL held, at
// most about ten times a second; an exception it raises stops the run as
// Ctrl-C does.
std::vector<kelvor::frontend::Row> run_rows(size_t count, int jobs, const ItemScore& score,
                                            const py::object& progress, bool* interrupted);

// Whether a pair scored on the calling thread, with the GIL released, is to
// stop: Python's signal handlers are run (taking the GIL briefly) at most
// ten times a second, at the blocks the pair reads, and once one raises
// (Ctrl-C) the pair ends, the exception left pending. The long single-pair
// calls (score, details, score_files) hand hook() to the front-end core
// and raise the pending exception when interrupted() says so.
class SignalPoll {
public:
    kelvor::frontend::Cancelled hook() {
        return [this] { return poll(); };
    }
    bool interrupted() const { return interrupted_; }

private:
    bool poll();

    std::thread::id thread_ = std::this_thread::get_id();
    std::chrono::steady_clock::time_point checked_ = std::chrono::steady_clock::now();
    std::atomic<bool> interrupted_{false};
};

// True for True and False, Python's or numpy's.
bool is_bool(const py::handle& value);

// The value of a flag argument: True, False, a numpy bool, or the whole
// numbers 1 and 0; anything else (a string such as "no", None, 1.0)
// raises ValueError naming the argument, so that a value that only looks
// false cannot turn an option on.
bool flag_value(const std::string& name, const py::handle& value);

// Binds the calls on batches of signals (batch.cpp).
void bind_batch(py::module_& m);

}  // namespace kelvor::python

#endif
