// kelvor_stoi._core: the front-end core's reading and scoring paths for numpy
// arrays and files, with the GIL released while they run.
//
// The package (kelvor_stoi/__init__.py) checks and converts the arguments;
// the functions here take 1-D arrays of int16, float32 or float64 in the
// machine's byte order, with any strides, and a positive rate, and refuse
// anything else with ValueError. Arrays are read where they lie, a block at
// a time, never copied whole. The options of a pair cross as a PairOptions
// and a listed pair as a PairSpec, both classes with named fields made
// from the front-end core's records. Every failure of a pair arrives as a
// Row with a status of the library's table and becomes the Python
// exception of that status (kelvor_stoi._errors).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "frontend/audio_file.h"
#include "frontend/csv.h"
#include "frontend/error.h"
#include "frontend/listing.h"
#include "frontend/options.h"
#include "frontend/pair.h"
#include "frontend/pool.h"
#include "frontend/row.h"
#include "frontend/row_format.h"
#include "frontend/text.h"
#include "frontend/shard.h"
#include "kelvor/stoi.h"
#include "python/src/core.h"

namespace py = pybind11;
using kelvor::frontend::Audio;
using kelvor::frontend::Details;
using kelvor::frontend::OptionField;
using kelvor::frontend::OptionKind;
using kelvor::frontend::PairOptions;
using kelvor::frontend::PairSpec;
using kelvor::frontend::Row;
using kelvor::frontend::Signal;
using kelvor::python::Borrowed;

namespace {

// -------------------------------------------------------------- text

// Names and paths of the front-end core as Python text: bytes that are not
// UTF-8 become lone surrogates, as os.fsdecode() gives them, so that any
// file name reaches Python and comes back unchanged (fs_bytes).
py::str fs_text(const std::string& s) {
    PyObject* text = PyUnicode_DecodeUTF8(s.data(), static_cast<py::ssize_t>(s.size()), "surrogateescape");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

// The bytes of a name given as str (surrogates as fs_text makes them) or
// bytes.
std::string fs_bytes(const py::handle& name) {
    if (!PyUnicode_Check(name.ptr())) return name.cast<std::string>();
    PyObject* bytes = PyUnicode_AsEncodedString(name.ptr(), "utf-8", "surrogateescape");
    if (bytes == nullptr) throw py::error_already_set();
    return std::string(py::reinterpret_steal<py::bytes>(bytes));
}

// A message for people: bytes that are not UTF-8 show as \xNN.
py::str message_text(const std::string& s) {
    PyObject* text = PyUnicode_DecodeUTF8(s.data(), static_cast<py::ssize_t>(s.size()), "backslashreplace");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

// ------------------------------------------------------------- errors

// The exception for a failed row, as an object (with the GIL held): the
// package's class for the row's status (kelvor_stoi._errors), which is
// also the matching built-in exception.
py::object exception_of(const Row& row) {
    py::object error_class = py::module_::import("kelvor_stoi._errors").attr("error_class");
    return error_class(row.status)(message_text(row.message));
}

[[noreturn]] void raise_row(const Row& row) {
    py::object error = exception_of(row);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

// ------------------------------------------------------------- options

// An option's value as Python holds it: a flag as bool, a count as int, a
// choice by name.
py::object option_object(const OptionField& field, int value) {
    switch (field.kind) {
    case OptionKind::flag: return py::bool_(value != 0);
    case OptionKind::count: return py::int_(value);
    case OptionKind::choice: return py::str(field.name_of(value));
    }
    return py::none();
}

// Sets an option from a Python value, or raises ValueError naming the
// keyword and what it takes.
void set_option(PairOptions& options, const OptionField& field, const py::handle& value) {
    const std::string name = field.name;
    int& slot = kelvor::frontend::option_value(options, field);
    switch (field.kind) {
    case OptionKind::flag: slot = kelvor::python::flag_value(name, value) ? 1 : 0; return;
    case OptionKind::count: {
        const std::string wanted = name + "= must be a whole number from " + std::to_string(field.least) + " to " +
                                   std::to_string(field.most) + ", not " + std::string(py::repr(value));
        // True and False (Python's or numpy's) are no numbers here.
        if (kelvor::python::is_bool(value) || !PyIndex_Check(value.ptr())) throw py::value_error(wanted);
        const py::int_ number = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
        if (overflow != 0 || v < field.least || v > field.most) throw py::value_error(wanted);
        slot = static_cast<int>(v);
        return;
    }
    case OptionKind::choice: {
        // A name with a NUL in it is no name, whatever precedes the NUL.
        int v = -1;
        if (py::isinstance<py::str>(value)) {
            const std::string text = value.cast<std::string>();
            if (text.find('\0') == std::string::npos) v = field.value_of(text.c_str());
        }
        if (v < field.least || v > field.most) {
            throw py::value_error(name + "= must be " + kelvor::frontend::choice_names(field) + ", not " +
                                  std::string(py::repr(value)));
        }
        slot = v;
        return;
    }
    }
}

// A record from keywords named after the options; the others keep their
// defaults. The messages of a multi-channel file and of signals of
// different lengths name the keywords `channel=` and `unequal=`.
PairOptions options_of(const py::dict& values) {
    PairOptions options;
    options.reading.channel_option = "channel=N";
    options.unequal_option = "unequal=\"pad\" or unequal=\"trim\"";
    for (const auto& [key, value] : values) {
        const std::string name = key.cast<std::string>();
        const OptionField* field = kelvor::frontend::find_option(name);
        if (field == nullptr) throw py::type_error("PairOptions has no option '" + name + "'");
        set_option(options, *field, value);
    }
    return options;
}

py::dict options_dict(const PairOptions& options) {
    py::dict d;
    for (const OptionField& field : kelvor::frontend::OPTION_FIELDS) {
        d[field.name] = option_object(field, kelvor::frontend::option_value(options, field));
    }
    return d;
}

// ------------------------------------------------------------ signals

Borrowed::Type sample_type(const py::handle& samples, const char* name) {
    if (py::isinstance<py::array_t<int16_t>>(samples)) return Borrowed::INT16;
    if (py::isinstance<py::array_t<float>>(samples)) return Borrowed::FLOAT32;
    if (py::isinstance<py::array_t<double>>(samples)) return Borrowed::FLOAT64;
    throw py::value_error(std::string(name) + ": expected an array of int16, float32 or float64 samples");
}

Borrowed borrow(const py::handle& samples, const char* name) {
    Borrowed b;
    b.type = sample_type(samples, name);
    py::array a = py::reinterpret_borrow<py::array>(samples);
    if (a.ndim() != 1) throw py::value_error(std::string(name) + ": expected a 1-D array of samples");
    b.data = static_cast<const char*>(a.data());
    b.stride = a.strides(0);
    b.count = static_cast<int64_t>(a.shape(0));
    b.name = std::string("the ") + name + " signal";
    return b;
}

// Samples start .. start + count - 1 of an array of T as doubles on the +-1
// scale (int16 as its value / 32768); one copy where they lie side by side
// as doubles.
template <typename T>
void read_array(const Borrowed& b, int64_t start, int32_t count, double* out) {
    const char* p = b.data + start * b.stride;
    if (std::is_same_v<T, double> && b.stride == static_cast<py::ssize_t>(sizeof(double))) {
        std::memcpy(out, p, static_cast<size_t>(count) * sizeof(double));
        return;
    }
    for (int32_t i = 0; i < count; i++, p += b.stride) {
        T v;
        std::memcpy(&v, p, sizeof v);
        if constexpr (std::is_same_v<T, int16_t>) out[i] = static_cast<double>(v) * 0x1p-15;
        else out[i] = static_cast<double>(v);
    }
}

// The front-end core's view of borrowed samples: read in blocks where they
// lie, int16 as their value / 32768.
Signal signal_of(const Borrowed& b, int rate) {
    Signal s;
    s.rate = rate;
    s.frames = b.count;
    s.name = b.name;
    switch (b.type) {
    case Borrowed::INT16:
        s.read = [b](int64_t start, int32_t count, double* out) { read_array<int16_t>(b, start, count, out); };
        break;
    case Borrowed::FLOAT32:
        s.read = [b](int64_t start, int32_t count, double* out) { read_array<float>(b, start, count, out); };
        break;
    case Borrowed::FLOAT64:
        s.read = [b](int64_t start, int32_t count, double* out) { read_array<double>(b, start, count, out); };
        break;
    }
    return s;
}

// One pair in memory: the front-end core's score_signals, reading both arrays
// in place. Runs without the GIL.
Row score_borrowed(const Borrowed& reference, const Borrowed& degraded, int rate, const PairOptions& options,
                   Details* details, const kelvor::frontend::Cancelled& cancelled) noexcept {
    return kelvor::frontend::score_signals(signal_of(reference, rate), signal_of(degraded, rate), options, details,
                                           cancelled);
}

// --------------------------------------------------------- thread pool

// Runs score(i) for i = 0 .. count - 1 on `jobs` threads of the front-end
// core's pool and returns the rows in order. Called without the GIL. The
// calling thread looks at Python's signal handlers about ten times a
// second (taking the GIL briefly); when a handler raises (Ctrl-C) no pair
// is handed out any more, the pairs under way end at their next block,
// *interrupted is set and the handler's exception is left pending for the
// caller to raise once it holds the GIL again. progress, when not None, is
// called with the number of rows done at those moments, and its exception
// is left pending the same way.
std::vector<Row> run_rows(size_t count, int jobs, const kelvor::python::ItemScore& score, const py::object& progress,
                          bool* interrupted_out) {
    std::vector<Row> rows;
    rows.reserve(count);
    std::atomic<bool> interrupted{false};
    const kelvor::frontend::Cancelled cancelled = [&interrupted] { return interrupted.load(); };
    const std::thread::id caller = std::this_thread::get_id();
    auto checked = std::chrono::steady_clock::now();
    auto shown = checked;
    size_t shown_rows = 0;
    size_t next = 0;

    kelvor::frontend::PoolCallbacks callbacks;
    callbacks.next = [&](PairSpec& listed) {
        if (next >= count) return false;
        listed = PairSpec{};
        listed.index = static_cast<int64_t>(next++);
        return true;
    };
    callbacks.score = [&](const PairSpec& listed) { return score(static_cast<size_t>(listed.index), cancelled); };
    callbacks.emit = [&](const Row& row) { rows.push_back(row); };
    if (!progress.is_none()) {
        callbacks.tick = [&] {
            const auto now = std::chrono::steady_clock::now();
            if (interrupted || rows.size() == shown_rows || now - shown < std::chrono::milliseconds(100)) return;
            shown = now;
            shown_rows = rows.size();
            py::gil_scoped_acquire gil;
            PyObject* result = PyObject_CallFunction(progress.ptr(), "n", static_cast<Py_ssize_t>(shown_rows));
            if (result == nullptr) interrupted = true;
            Py_XDECREF(result);
        };
    }
    callbacks.stop = [&] {
        if (std::this_thread::get_id() == caller && !interrupted) {
            auto now = std::chrono::steady_clock::now();
            if (now - checked >= std::chrono::milliseconds(100)) {
                checked = now;
                py::gil_scoped_acquire gil;
                if (PyErr_CheckSignals() != 0) interrupted = true;
            }
        }
        return interrupted.load();
    };
    const size_t threads = std::max<size_t>(1, std::min<size_t>(static_cast<size_t>(jobs), count));
    kelvor::frontend::run_pool(callbacks, static_cast<int>(threads), threads * 4);
    *interrupted_out = interrupted;
    return rows;
}

// ------------------------------------------------------------ results

py::object optional_float(const std::optional<double>& v) {
    return v ? py::object(py::float_(*v)) : py::object(py::none());
}

py::object optional_int(const std::optional<int64_t>& v) {
    return v ? py::object(py::int_(*v)) : py::object(py::none());
}

// (stoi, estoi, delay_samples, delay_ms) of an ok row.
py::tuple scores_of(const Row& row) {
    return py::make_tuple(*row.stoi, *row.estoi, *row.delay_samples, *row.delay_ms);
}

// A row as kelvor-batch writes it: the standard columns of the front-end
// core's table (text as str, numbers as float or int, None where the
// output has an empty cell), then the metadata values as str.
py::tuple columns_of(const Row& row) {
    py::tuple record(kelvor::frontend::ROW_COLUMN_COUNT + row.metadata.size());
    size_t i = 0;
    for (const kelvor::frontend::Column& column : kelvor::frontend::ROW_COLUMNS) {
        switch (column.type) {
        case kelvor::frontend::ColumnType::text: record[i] = fs_text(row.*column.text); break;
        case kelvor::frontend::ColumnType::real: record[i] = optional_float(row.*column.real); break;
        case kelvor::frontend::ColumnType::integer: record[i] = optional_int(row.*column.integer); break;
        case kelvor::frontend::ColumnType::status: record[i] = py::str(kelvor_status_name(row.*column.status)); break;
        }
        i++;
    }
    for (const std::string& value : row.metadata) record[i++] = fs_text(value);
    return record;
}

py::tuple text_tuple(const std::vector<std::string>& values) {
    py::tuple t(values.size());
    for (size_t i = 0; i < values.size(); i++) t[i] = fs_text(values[i]);
    return t;
}

template <typename T>
py::array_t<T> array_of(const std::vector<T>& v) {
    py::array_t<T> a(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
}

py::dict details_of(const Row& row, const Details& d) {
    const py::ssize_t bands = static_cast<py::ssize_t>(d.stoi_correlation.size());
    const py::ssize_t segments = static_cast<py::ssize_t>(d.estoi_segment.size());
    py::array_t<double> correlation({bands, segments});
    double* out = correlation.mutable_data();
    for (const std::vector<double>& band : d.stoi_correlation) out = std::copy(band.begin(), band.end(), out);
    py::dict result;
    result["scores"] = scores_of(row);
    result["band_centre_hz"] = array_of(d.band_centre_hz);
    result["stoi_correlation"] = correlation;
    result["estoi_segment"] = array_of(d.estoi_segment);
    result["segment_start"] = array_of(d.segment_start);
    result["segment_end"] = array_of(d.segment_end);
    result["frame_count"] = d.frame_count;
    result["kept_frames"] = array_of(d.kept_frames);
    return result;
}

// ------------------------------------------------------ bound functions

py::tuple score(const py::handle& reference, const py::handle& degraded, int rate, const PairOptions& options) {
    const Borrowed ref = borrow(reference, "clean");
    const Borrowed deg = borrow(degraded, "degraded");
    Row row;
    kelvor::python::SignalPoll poll;
    {
        py::gil_scoped_release nogil;
        row = score_borrowed(ref, deg, rate, options, nullptr, poll.hook());
    }
    if (poll.interrupted()) throw py::error_already_set();
    if (!row.ok()) raise_row(row);
    return scores_of(row);
}

py::dict details(const py::handle& reference, const py::handle& degraded, int rate, const PairOptions& options) {
    const Borrowed ref = borrow(reference, "clean");
    const Borrowed deg = borrow(degraded, "degraded");
    Row row;
    Details d;
    kelvor::python::SignalPoll poll;
    {
        py::gil_scoped_release nogil;
        row = score_borrowed(ref, deg, rate, options, &d, poll.hook());
    }
    if (poll.interrupted()) throw py::error_already_set();
    if (!row.ok()) raise_row(row);
    return details_of(row, d);
}

// pairs: (clean, degraded, rate) tuples as the package checked them. The
// result holds, per pair, its scores or (return_exceptions) its exception;
// otherwise the first failed pair's exception is raised.
py::list score_many(const py::list& pairs, const PairOptions& options, int jobs, bool return_exceptions,
                    const py::object& progress) {
    struct Pair {
        Borrowed reference;
        Borrowed degraded;
        int rate;
    };
    std::vector<Pair> borrowed;
    borrowed.reserve(pairs.size());
    for (const py::handle& item : pairs) {
        py::tuple t = py::reinterpret_borrow<py::tuple>(item);
        borrowed.push_back({borrow(t[0], "clean"), borrow(t[1], "degraded"), t[2].cast<int>()});
    }
    std::vector<Row> rows;
    bool interrupted = false;
    {
        py::gil_scoped_release nogil;
        rows = run_rows(
            borrowed.size(), jobs,
            [&](size_t i, const kelvor::frontend::Cancelled& cancelled) {
                return score_borrowed(borrowed[i].reference, borrowed[i].degraded, borrowed[i].rate, options, nullptr,
                                      cancelled);
            },
            progress, &interrupted);
    }
    if (interrupted) throw py::error_already_set();
    py::list result;
    for (size_t i = 0; i < rows.size(); i++) {
        if (rows[i].ok()) {
            result.append(scores_of(rows[i]));
        } else if (return_exceptions) {
            result.append(exception_of(rows[i]));
        } else {
            py::object error = exception_of(rows[i]);
            if (py::hasattr(error, "add_note")) error.attr("add_note")("in pair " + std::to_string(i) + " of score_many");
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
            throw py::error_already_set();
        }
    }
    return result;
}

// Scores two files as kelvor-batch scores a listed pair (score_pair: the
// reference profile reads them in blocks, never whole).
py::tuple score_files(const std::string& reference_path, const std::string& degraded_path,
                      const PairOptions& options) {
    Row row;
    kelvor::python::SignalPoll poll;
    {
        py::gil_scoped_release nogil;
        PairSpec listed;
        listed.reference_path = reference_path;
        listed.degraded_path = degraded_path;
        row = kelvor::frontend::score_pair(listed, options, nullptr, poll.hook());
    }
    if (poll.interrupted()) throw py::error_already_set();
    if (!row.ok()) raise_row(row);
    return scores_of(row);
}

// (samples, rate): int16 for 16-bit PCM files, float64 (+-1) otherwise,
// read with the reading options.
py::tuple read_audio(const std::string& path, const PairOptions& options) {
    Audio audio;
    Row failure;
    {
        py::gil_scoped_release nogil;
        try {
            audio = kelvor::frontend::read_audio(path, options.reading, "audio");
        } catch (const kelvor::frontend::PairError& e) {
            kelvor::frontend::fail_row(failure, e.status(), e.facts());
        } catch (const std::bad_alloc&) {
            kelvor::frontend::fail_row(failure, KELVOR_ERR_NO_MEMORY, "reading '" + path + "'");
        }
    }
    if (!failure.ok()) raise_row(failure);
    if (audio.pcm16) return py::make_tuple(array_of(audio.pcm), audio.rate);
    return py::make_tuple(array_of(audio.values), audio.rate);
}

// A manifest's pairs as kelvor-batch lists them: (metadata names, pairs).
// A manifest that cannot be used raises OSError.
py::tuple read_manifest(const std::string& path) {
    std::vector<PairSpec> listed_pairs;
    std::vector<std::string> names;
    std::string failure;
    {
        py::gil_scoped_release nogil;
        try {
            kelvor::frontend::ManifestSource source(path);
            names = source.metadata();
            PairSpec listed;
            while (source.next(listed)) listed_pairs.push_back(listed);
        } catch (const kelvor::frontend::ListingError& e) {
            failure = e.what();
        }
    }
    if (!failure.empty()) {
        PyErr_SetObject(PyExc_OSError, message_text(failure).ptr());
        throw py::error_already_set();
    }
    py::list result;
    for (PairSpec& s : listed_pairs) result.append(py::cast(std::move(s)));
    return py::make_tuple(text_tuple(names), result);
}

// Scores listed pairs as kelvor-batch does (score_pair with the run's
// options) on `jobs` threads; returns their rows as tuples of its columns.
py::list score_pairs(const py::list& listed_pairs, const PairOptions& options, int jobs, const py::object& progress) {
    std::vector<PairSpec> pairs;
    pairs.reserve(listed_pairs.size());
    for (const py::handle& item : listed_pairs) pairs.push_back(item.cast<PairSpec>());
    std::vector<Row> rows;
    bool interrupted = false;
    {
        py::gil_scoped_release nogil;
        rows = run_rows(
            pairs.size(), jobs,
            [&](size_t i, const kelvor::frontend::Cancelled& cancelled) {
                return kelvor::frontend::score_pair(pairs[i], options, nullptr, cancelled);
            },
            progress, &interrupted);
    }
    if (interrupted) throw py::error_already_set();
    py::list result;
    for (const Row& row : rows) result.append(columns_of(row));
    return result;
}

// ------------------------------------------------------------- classes

// A listed pair's members as Python sees them: names and paths as text
// (fs_text), the listing's cells, its fault's status and facts, its
// metadata values.
py::dict pair_dict(const PairSpec& s) {
    py::dict d;
    d["index"] = s.index;
    d["reference"] = fs_text(s.reference);
    d["degraded"] = fs_text(s.degraded);
    d["reference_path"] = fs_text(s.reference_path);
    d["degraded_path"] = fs_text(s.degraded_path);
    d["shift"] = s.shift;
    d["align"] = s.align;
    d["status"] = s.status;
    d["facts"] = fs_text(s.facts);
    d["metadata"] = text_tuple(s.metadata);
    return d;
}

void bind_pair_options(py::module_& m) {
    py::class_<PairOptions> options(m, "PairOptions",
                                    "The options of a pair: the library's (how it is lined up and scored) and the "
                                    "reading options (how its files are read), by name.");
    options.def(py::init([](const py::kwargs& values) { return options_of(values); }));
    py::list names;
    for (const OptionField& field : kelvor::frontend::OPTION_FIELDS) {
        names.append(field.name);
        options.def_property(
            field.name,
            [&field](const PairOptions& o) { return option_object(field, kelvor::frontend::option_value(o, field)); },
            [&field](PairOptions& o, const py::handle& value) { set_option(o, field, value); });
    }
    options.attr("FIELDS") = py::tuple(names);
    options.def("as_dict", &options_dict, "The options by name, in the order of FIELDS.");
    options.def("__eq__", [](const PairOptions& a, const py::object& b) -> py::object {
        if (!py::isinstance<PairOptions>(b)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return py::bool_(options_dict(a).equal(options_dict(b.cast<PairOptions>())));
    });
    options.attr("__hash__") = py::none();
    options.def("__repr__", [](const PairOptions& o) {
        std::string text = "PairOptions(";
        bool first = true;
        for (const auto& [key, value] : options_dict(o)) {
            text += (first ? "" : ", ") + key.cast<std::string>() + "=" + std::string(py::repr(value));
            first = false;
        }
        return text + ")";
    });
    // Pickled by name, so that Dask hands a record to its tasks whole.
    options.def(py::pickle([](const PairOptions& o) { return options_dict(o); },
                           [](const py::dict& values) { return options_of(values); }));
}

void bind_pair_spec(py::module_& m) {
    py::class_<PairSpec> listed(m, "PairSpec", "One pair as a listing gives it: kelvor-batch's own record.");
    listed.def(py::init<>());
    listed.def_readwrite("index", &PairSpec::index);
    auto text = [&listed](const char* name, std::string PairSpec::*member) {
        listed.def_property(
            name, [member](const PairSpec& s) { return fs_text(s.*member); },
            [member](PairSpec& s, const py::handle& value) { s.*member = fs_bytes(value); });
    };
    text("reference", &PairSpec::reference);
    text("degraded", &PairSpec::degraded);
    text("reference_path", &PairSpec::reference_path);
    text("degraded_path", &PairSpec::degraded_path);
    text("facts", &PairSpec::facts);
    listed.def_readwrite("shift", &PairSpec::shift);
    listed.def_readwrite("align", &PairSpec::align);
    listed.def_readwrite("status", &PairSpec::status);
    listed.def_property(
        "metadata", [](const PairSpec& s) { return text_tuple(s.metadata); },
        [](PairSpec& s, const py::iterable& values) {
            s.metadata.clear();
            for (const py::handle& value : values) s.metadata.push_back(fs_bytes(value));
        });
    listed.def("__repr__", [](const PairSpec& s) {
        return "PairSpec(index=" + std::to_string(s.index) + ", reference=" + std::string(py::repr(fs_text(s.reference))) +
               ", degraded=" + std::string(py::repr(fs_text(s.degraded))) + ", status=" + kelvor_status_name(s.status) +
               ")";
    });
    listed.def(py::pickle([](const PairSpec& s) { return pair_dict(s); },
                        [](const py::dict& d) {
                            PairSpec s;
                            s.index = d["index"].cast<int64_t>();
                            s.reference = fs_bytes(d["reference"]);
                            s.degraded = fs_bytes(d["degraded"]);
                            s.reference_path = fs_bytes(d["reference_path"]);
                            s.degraded_path = fs_bytes(d["degraded_path"]);
                            s.shift = d["shift"].cast<int>();
                            s.align = d["align"].cast<bool>();
                            s.status = d["status"].cast<int>();
                            s.facts = fs_bytes(d["facts"]);
                            for (const py::handle& value : d["metadata"]) s.metadata.push_back(fs_bytes(value));
                            return s;
                        }));
}

}  // namespace

namespace kelvor::python {

Borrowed::Type sample_type(const py::handle& samples, const char* name) { return ::sample_type(samples, name); }

Signal borrowed_signal(const Borrowed& b, int rate) { return signal_of(b, rate); }

py::object exception_of(const Row& row) { return ::exception_of(row); }

std::vector<Row> run_rows(size_t count, int jobs, const ItemScore& score, const py::object& progress,
                          bool* interrupted) {
    return ::run_rows(count, jobs, score, progress, interrupted);
}

bool SignalPoll::poll() {
    if (interrupted_) return true;
    // Only the calling thread may run the handlers; reads on other threads
    // (none today) wait for its verdict.
    if (std::this_thread::get_id() != thread_) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - checked_ < std::chrono::milliseconds(100)) return false;
    checked_ = now;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) interrupted_ = true;
    return interrupted_;
}

bool is_bool(const py::handle& value) {
    if (PyBool_Check(value.ptr())) return true;
    // numpy's bool type, kept for the life of the process.
    static const py::object* const numpy_bool = new py::object(py::module_::import("numpy").attr("bool_"));
    return py::isinstance(value, *numpy_bool);
}

bool flag_value(const std::string& name, const py::handle& value) {
    if (is_bool(value)) return PyObject_IsTrue(value.ptr()) == 1;
    if (PyIndex_Check(value.ptr())) {
        const py::int_ number = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
        if (!number) throw py::error_already_set();
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
        if (overflow == 0 && (v == 0 || v == 1)) return v == 1;
    }
    throw py::value_error(name + "= must be True or False (or 1 or 0), not " + std::string(py::repr(value)));
}

}  // namespace kelvor::python

PYBIND11_MODULE(_core, m) {
    m.doc() = "The compiled core of kelvor_stoi; use the functions of the kelvor_stoi package.";

    bind_pair_options(m);
    bind_pair_spec(m);
    kelvor::python::bind_batch(m);

    m.def("score", &score, py::arg("clean"), py::arg("degraded"), py::arg("rate"), py::arg("options"));
    m.def("details", &details, py::arg("clean"), py::arg("degraded"), py::arg("rate"), py::arg("options"));
    m.def("score_many", &score_many, py::arg("pairs"), py::arg("options"), py::arg("jobs"),
          py::arg("return_exceptions"), py::arg("progress") = py::none());
    m.def("score_files", &score_files, py::arg("reference_path"), py::arg("degraded_path"), py::arg("options"));
    m.def("read_audio", &read_audio, py::arg("path"), py::arg("options"));
    m.def("read_manifest", &read_manifest, py::arg("path"));
    m.def("score_pairs", &score_pairs, py::arg("listed_pairs"), py::arg("options"), py::arg("jobs"),
          py::arg("progress") = py::none());
    m.def("flag", &kelvor::python::flag_value, py::arg("name"), py::arg("value"),
          "The value of a flag argument: True, False, a numpy bool, 1 or 0; ValueError naming it otherwise.");
    m.def("max_shift", [](double rate) { return kelvor_max_shift(rate); }, py::arg("rate"));
    m.def("version", &kelvor_version);
    // A value as a reader is shown it (bytes that are not UTF-8 and control
    // characters escaped): kelvor-batch's own rule, for kelvor-stoi's output.
    m.def("shown", [](const py::bytes& text) { return py::str(kelvor::frontend::shown(std::string(text))); },
          py::arg("text"));
    m.def("pair_message", &kelvor::frontend::pair_message, py::arg("status"), py::arg("facts"),
          "The message of a failed pair: the status's sentence, then the facts.");

    // Shards, as kelvor-batch --shard K/N splits a listing.
    m.def(
        "parse_shard",
        [](const std::string& text) -> py::object {
            kelvor::frontend::Shard shard;
            if (!kelvor::frontend::parse_shard(text, shard)) return py::none();
            return py::make_tuple(shard.index, shard.count);
        },
        py::arg("text"), "(K, N) of 'K/N', or None when it is not a shard.");
    m.def(
        "shard_row",
        [](int64_t position, int index, int count) {
            return kelvor::frontend::shard_row(position, kelvor::frontend::Shard{index, count});
        },
        py::arg("position"), py::arg("index"), py::arg("count"),
        "The listing row of the row at `position` of shard index/count.");

    // The segment times of a details file's kept frames, and the kept
    // frames a segment spans.
    m.attr("SEGMENT_FRAMES") = kelvor::frontend::SEGMENT_FRAMES;
    m.def(
        "segment_times",
        [](const std::vector<int32_t>& kept, size_t segments) {
            std::vector<double> start;
            std::vector<double> end;
            kelvor::frontend::segment_times(kept, segments, start, end);
            return py::make_tuple(array_of(start), array_of(end));
        },
        py::arg("kept_frames"), py::arg("segments"),
        "(start, end) in seconds of each segment, from the kept frames; empty when they cannot hold the segments.");

    // How many threads a call may start, and the allocator's setting for
    // processes that score many pairs.
    m.attr("MAX_JOBS") = kelvor::frontend::MAX_JOBS;
    m.def("keep_freed_memory", &kelvor::frontend::keep_freed_memory,
          "Has glibc keep freed memory for the next pair, as kelvor-batch does.");

    // The standard columns of every row, from the front-end core's table:
    // their names in order, and (name, type) with type "text", "real" or
    // "integer"; a status is its name, text.
    static const char* const TYPES[] = {"text", "real", "integer", "text"};
    py::list columns;
    py::list types;
    for (const kelvor::frontend::Column& column : kelvor::frontend::ROW_COLUMNS) {
        columns.append(column.name);
        types.append(py::make_tuple(column.name, TYPES[static_cast<int>(column.type)]));
    }
    m.attr("COLUMNS") = py::tuple(columns);
    m.attr("COLUMN_TYPES") = py::tuple(types);
    // The longest record the front-end core reads (a line of a listing or of
    // results, a run record): the analysis reads results under the same cap.
    m.attr("MAX_RECORD_BYTES") = py::int_(kelvor::frontend::CSV_MAX_RECORD);

    // The library's statuses: (code, short name, kind, sentence).
    static const char* const KINDS[] = {"none", "input", "memory", "file", "missing", "internal"};
    py::list statuses;
    for (int status = KELVOR_OK; status > KELVOR_ERR_LAST; status--) {
        statuses.append(py::make_tuple(status, kelvor_status_name(status), KINDS[kelvor_status_category(status)],
                                       kelvor_status_text(status)));
    }
    m.attr("STATUSES") = py::tuple(statuses);
}
