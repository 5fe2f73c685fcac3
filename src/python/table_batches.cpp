// TableBatches keeps the table stream and reads it only inside __next__,
// with the interpreter lock released around the read, so memory holds one
// batch at a time however large the source. The object belongs to the
// thread and the process that made it (python/thread_bound.h). A failed
// read, like the end of the rows, drops the stream (and with it the engine
// and the source): the iterator is then exhausted for good. An interrupt,
// seen before a read, between two buffers of one or raised inside a
// file-like's read(), leaves the stream in place (the rows read so far stay
// gathered), so iteration may go on afterwards. A signal that arrives during
// a read that made a batch (a file-like's read() may be where it lands) is
// raised once the lock is taken back, and the batch is kept for the next
// call: handed out with the signal pending, it would be lost to the
// interrupt the interpreter raises as soon as this call returns.
#include "python/table_batches.h"

#include <optional>
#include <string>
#include <utility>

#include "python/batch_stream.h"
#include "python/exceptions.h"
#include "python/py_class.h"
#include "python/signal_check.h"
#include "python/table.h"
#include "python/table_request.h"
#include "python/thread_bound.h"

namespace jorvane::py {
namespace {

struct BatchesData {
    static constexpr const char* kBoundName = "jorvane2::python::TableBatches";
    ThreadBound bound;
    std::optional<table::TableStream> stream;  // absent once exhausted
    std::optional<table::Table> held;          // read, not handed out yet
    // The error that ended the stream, when an interrupt was raised in its place.
    std::optional<JorvaneError> unraised;
    bool use_float = false;

    bool holds_threads() const { return stream && stream->holds_threads(); }
    bool has_ready() const { return held.has_value(); }
};

PyObject* next_table(BatchesData& d) {
    if (!d.held) {
        if (d.unraised) return raise_held(d.unraised);
        if (!d.stream) return nullptr;
        if (PyErr_CheckSignals() < 0) return nullptr;
        SignalCheck signals;
        auto batch = next_batch(*d.stream, &signals);
        if (!batch) {
            // An interrupt, seen between buffers or raised inside a
            // file-like's read(), leaves the stream where it was.
            if (!signals.fired() && !(read_was_interrupted(batch.error()) && d.stream->reads_again()))
                d.stream.reset();
            return signals.raise(std::move(batch.error()), d.unraised);
        }
        if (!*batch) {
            d.stream.reset();
            // The end, or a signal that came with it, raised in its place.
            (void)PyErr_CheckSignals();
            return nullptr;
        }
        d.held = std::move(*batch);
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
    table::Table rows = std::move(*d.held);
    d.held.reset();
    return make_table(std::move(rows), d.use_float).release();
}

using BatchesIterator = BoundIterator<BatchesData, next_table>;

PyType_Slot tb_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(BatchesIterator::dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(BatchesIterator::iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(BatchesIterator::next)},
    {Py_tp_doc, const_cast<char*>("An iterator of Table batches from table_batches(), reading the source one batch "
                                  "at a time.")},
    {0, nullptr},
};

PyType_Spec tb_spec = {
    "jorvane.TableBatches", static_cast<int>(sizeof(Boxed<BatchesData>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, tb_slots,
};

PyObject* batches_type() {
    static PyObject* cell = nullptr;
    return cached_type(cell, [] { return type_from_spec(&tb_spec); });
}

PyObject* table_batches_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded(
        [&]() -> PyObject* {
            static const char* const names[] = {"source", "rows",  "columns",   "batch_rows", "on_multi",
                                                "limit",  "mode",  "use_float", "dtypes",     nullptr};
            PyObject *source = nullptr, *rows = nullptr, *columns = nullptr, *batch_rows = nullptr,
                     *on_multi = nullptr, *limit = Py_None, *mode = Py_None, *use_float = Py_False,
                     *dtypes = Py_None;
            if (!bind_args(args, kwargs, "OOO|$OOOOOO:table_batches", names, &source, &rows, &columns, &batch_rows,
                           &on_multi, &limit, &mode, &use_float, &dtypes))
                return nullptr;
            std::string rows_text, on_multi_text = "error";
            std::optional<uint64_t> batch_size = table::kDefaultBatchRows, limit_value;
            std::optional<std::string> mode_name;
            bool floats = false;
            PyObject* dtype_dict = nullptr;
            if (!required_str_argument(rows, "rows", rows_text) ||
                (batch_rows && !required_u64_argument(batch_rows, "batch_rows", batch_size)) ||
                (on_multi && !required_str_argument(on_multi, "on_multi", on_multi_text)) ||
                !u64_argument(limit, "limit", limit_value) || !str_argument(mode, "mode", mode_name) ||
                !bool_argument(use_float, "use_float", floats) || !dict_argument(dtypes, "dtypes", dtype_dict))
                return nullptr;
            if (!check_batch_rows(*batch_size)) return nullptr;
            std::optional<table::TableSpec> spec =
                parse_table_spec(rows_text, columns, on_multi_text, limit_value, dtype_dict);
            if (!spec) return nullptr;
            std::optional<table::TableStream> stream =
                open_batch_stream(source, std::move(*spec), mode_name, *batch_size, "table_batches()");
            if (!stream) return nullptr;
            PyObject* type = batches_type();
            if (!type) return nullptr;
            BatchesData d;
            d.stream.emplace(std::move(*stream));
            d.use_float = floats;
            return box<BatchesData>(type, std::move(d)).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef table_batches_def = {
    "table_batches", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_batches_fn)),
    METH_VARARGS | METH_KEYWORDS,
    "table_batches(source, rows, columns, *, batch_rows=65536, on_multi=\"error\", limit=None, mode=None, "
    "use_float=False, dtypes=None)\n--\n\n"
    "Iterate over a typed table in batches of at least batch_rows rows (the last may be shorter), one Table each, "
    "reading the source only as the batches are asked for."};

}  // namespace

PyMethodDef* table_batches_function() { return &table_batches_def; }

}  // namespace jorvane::py
