// kelvor_stoi._core's calls on batches: two arrays of shape (..., time),
// every item (a pair of rows along the last axis) scored as the 1-D calls
// score a pair, on threads of the front-end core's pool with the GIL
// released, and optionally with the gradient of one score with respect to
// the degraded samples.
//
// The package (kelvor_stoi/_batch.py) checks the arguments and brings both
// arrays to one shape (numpy's broadcasting, whose zero strides are read as
// they lie); the arrays are read in place, item by item, never copied
// whole. Each item's scores are those of the 1-D call on the same samples,
// bit for bit, whatever the number of threads: an item is scored on one
// thread by the same front-end call. A failed item leaves NaN in its place
// and its exception under its flat index in `errors`; the others are
// scored all the same.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "frontend/options.h"
#include "frontend/pair.h"
#include "frontend/row.h"
#include "kelvor/stoi.h"
#include "python/src/core.h"

namespace kelvor::python {

namespace {

using kelvor::frontend::PairOptions;
using kelvor::frontend::Row;

// The results of a batch, in the batch's shape (the inputs' shape without
// the time axis).
struct BatchResult {
    py::array_t<double> stoi;
    py::array_t<double> estoi;
    py::array_t<int64_t> delay;  // -1 where the item failed
    py::array_t<double> delay_ms;
    py::object gradient = py::none();  // float64 (or float32) of the inputs' shape, or None
    py::dict errors;                   // flat index -> the item's exception
};

// An array of shape (..., time) whose items are read in place: the item of
// flat index i (C order over the batch axes) starts at data + offset(i).
struct Items {
    const char* data = nullptr;
    Borrowed::Type type = Borrowed::FLOAT64;
    std::vector<py::ssize_t> shape;    // batch axes
    std::vector<py::ssize_t> strides;  // bytes
    py::ssize_t time_stride = 0;
    int64_t time = 0;
    std::string name;

    Items(const py::array& a, const char* argument) {
        type = sample_type(a, argument);
        if (a.ndim() < 1) throw py::value_error(std::string(argument) + ": expected an array of shape (..., time)");
        data = static_cast<const char*>(a.data());
        const py::ssize_t axes = a.ndim() - 1;
        shape.assign(a.shape(), a.shape() + axes);
        strides.assign(a.strides(), a.strides() + axes);
        time_stride = a.strides(axes);
        time = static_cast<int64_t>(a.shape(axes));
        name = std::string("the ") + argument + " signal";
    }

    py::ssize_t offset(size_t i) const {
        py::ssize_t bytes = 0;
        for (size_t axis = shape.size(); axis-- > 0;) {
            const size_t n = static_cast<size_t>(shape[axis]);
            bytes += static_cast<py::ssize_t>(i % n) * strides[axis];
            i /= n;
        }
        return bytes;
    }

    Borrowed item(size_t i, int64_t count) const {
        Borrowed b;
        b.data = data + offset(i);
        b.stride = time_stride;
        b.count = count;
        b.type = type;
        b.name = name;
        return b;
    }
};

size_t item_count(const std::vector<py::ssize_t>& shape) {
    size_t n = 1;
    for (py::ssize_t s : shape) n *= static_cast<size_t>(s);
    return n;
}

// clean, degraded: arrays of one batch shape (...), with time axes of
// their own lengths (signals of different lengths, which the options'
// unequal pads, trims or refuses as the library judges). lengths: None, or
// int64 of the batch's shape, C-contiguous, each from 0 to time, for time
// axes of one length: the samples of an item that are scored (both
// signals), the rest padding. gradient: "",
// "stoi" or "estoi": the gradient of that score with respect to every
// degraded sample (0 in the padding; NaN where the item failed), float64,
// or with single float32: each value the float64 one rounded once, on the
// item's thread. progress: None, or a callable given the number of items
// done (run_rows).
BatchResult score_batch(const py::array& clean, const py::array& degraded, int rate, const PairOptions& options,
                        const py::object& lengths, int jobs, const std::string& gradient,
                        const py::object& progress, bool single) {
    const Items reference(clean, "clean");
    const Items estimate(degraded, "degraded");
    if (reference.shape != estimate.shape) throw py::value_error("clean and degraded: expected arrays of one batch shape");
    if (!lengths.is_none() && reference.time != estimate.time) {
        throw py::value_error("lengths: expected clean and degraded of one time axis");
    }
    if (gradient != "" && gradient != "stoi" && gradient != "estoi") {
        throw py::value_error("gradient: expected '', 'stoi' or 'estoi'");
    }
    const std::vector<py::ssize_t>& shape = reference.shape;
    const size_t count = item_count(shape);
    const int64_t time = estimate.time;  // of the gradient's items

    std::vector<int64_t> length(count, time);  // with lengths: both signals'; without, the degraded one's
    if (!lengths.is_none()) {
        const auto given = lengths.cast<py::array_t<int64_t, py::array::c_style>>();
        if (static_cast<size_t>(given.size()) != count) throw py::value_error("lengths: expected one per item");
        for (size_t i = 0; i < count; i++) {
            const int64_t n = given.data()[i];
            if (n < 0 || n > time) throw py::value_error("lengths: expected values from 0 to the time axis's length");
            length[i] = n;
        }
    }

    BatchResult result;
    result.stoi = py::array_t<double>(shape);
    result.estoi = py::array_t<double>(shape);
    result.delay = py::array_t<int64_t>(shape);
    result.delay_ms = py::array_t<double>(shape);
    // Each item's row of the gradient is written by its own thread, below.
    double* gradient_data = nullptr;
    float* gradient_single = nullptr;
    if (!gradient.empty()) {
        std::vector<py::ssize_t> full = shape;
        full.push_back(static_cast<py::ssize_t>(time));
        if (single) {
            py::array_t<float> g(full);
            gradient_single = g.mutable_data();
            result.gradient = g;
        } else {
            py::array_t<double> g(full);
            gradient_data = g.mutable_data();
            result.gradient = g;
        }
    }
    const bool of_estoi = gradient == "estoi";

    std::vector<Row> rows;
    bool interrupted = false;
    {
        py::gil_scoped_release nogil;
        rows = run_rows(
            count, jobs,
            [&](size_t i, const kelvor::frontend::Cancelled& cancelled) {
                const int64_t reference_length = lengths.is_none() ? reference.time : length[i];
                const kelvor::frontend::Signal x = borrowed_signal(reference.item(i, reference_length), rate);
                const kelvor::frontend::Signal y = borrowed_signal(estimate.item(i, length[i]), rate);
                if (gradient.empty()) return kelvor::frontend::score_signals(x, y, options, nullptr, cancelled);
                // The library writes the item's samples; the padding past
                // them is zeroed here, on the item's thread, so that a large
                // batch's gradient is not first cleared on the caller's alone.
                const size_t at = i * static_cast<size_t>(time);
                if (gradient_data != nullptr) {
                    double* g = gradient_data + at;
                    std::fill(g + length[i], g + time, 0.0);
                    return kelvor::frontend::score_gradient(x, y, options, of_estoi ? nullptr : g,
                                                            of_estoi ? g : nullptr);
                }
                thread_local std::vector<double> scratch;
                scratch.resize(static_cast<size_t>(length[i]));
                double* g = scratch.data();
                Row row = kelvor::frontend::score_gradient(x, y, options, of_estoi ? nullptr : g,
                                                           of_estoi ? g : nullptr);
                float* out = gradient_single + at;
                if (row.ok()) std::transform(g, g + length[i], out, [](double v) { return static_cast<float>(v); });
                std::fill(out + length[i], out + time, 0.0f);
                return row;
            },
            progress, &interrupted);
    }
    if (interrupted) throw py::error_already_set();

    constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
    double* stoi = result.stoi.mutable_data();
    double* estoi = result.estoi.mutable_data();
    int64_t* delay = result.delay.mutable_data();
    double* delay_ms = result.delay_ms.mutable_data();
    for (size_t i = 0; i < count; i++) {
        const Row& row = rows[i];
        if (row.ok()) {
            stoi[i] = *row.stoi;
            estoi[i] = *row.estoi;
            delay[i] = *row.delay_samples;
            delay_ms[i] = *row.delay_ms;
            continue;
        }
        stoi[i] = estoi[i] = delay_ms[i] = NaN;
        delay[i] = -1;
        const size_t at = i * static_cast<size_t>(time);
        if (gradient_data != nullptr) std::fill(gradient_data + at, gradient_data + at + time, NaN);
        if (gradient_single != nullptr) {
            std::fill(gradient_single + at, gradient_single + at + time, std::numeric_limits<float>::quiet_NaN());
        }
        result.errors[py::int_(i)] = exception_of(row);
    }
    return result;
}

}  // namespace

void bind_batch(py::module_& m) {
    py::class_<BatchResult>(m, "BatchResult", "The scores of a batch's items, in the batch's shape.")
        .def_readonly("stoi", &BatchResult::stoi)
        .def_readonly("estoi", &BatchResult::estoi)
        .def_readonly("delay", &BatchResult::delay, "The delay in effect, in samples; -1 where the item failed.")
        .def_readonly("delay_ms", &BatchResult::delay_ms)
        .def_readonly("gradient", &BatchResult::gradient,
                      "The gradient asked for, of the inputs' shape (0 in the padding, NaN where the item failed), "
                      "or None.")
        .def_readonly("errors", &BatchResult::errors, "The exception of each failed item, by flat index.");
    m.def("score_batch", &score_batch, py::arg("clean"), py::arg("degraded"), py::arg("rate"), py::arg("options"),
          py::arg("lengths"), py::arg("jobs"), py::arg("gradient"), py::arg("progress") = py::none(),
          py::arg("single") = false,
          "Scores the items of two arrays of one shape (..., time); see kelvor_stoi._batch.");
}

}  // namespace kelvor::python
