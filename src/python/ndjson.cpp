// write_ndjson() and ndjson_lines(). Both read their arguments, the source
// and the emitter's request in the same order; write_ndjson then creates the
// output file only once everything that can be refused without reading the
// source has passed (the queries compile, the fields are usable), so a call
// refused for a bad argument never truncates an existing file. The whole
// write runs with the interpreter lock released, taken back only to run
// signal handlers between buffers.
//
// NdjsonLines belongs to the thread and the process that made it
// (python/thread_bound.h). It refills only when no line is waiting, with
// the lock released around the refill. A read failure or an interrupt
// leaves the emitter in place, so the next call reads the source again;
// after any other error the next call ends the iteration. A signal that
// arrives during a refill that succeeded is raised after it, and the lines
// it made are handed out by the next calls.
#include "python/ndjson.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ndjson/emitter.h"
#include "ndjson/output_file.h"
#include "ndjson/write_lines.h"
#include "python/exceptions.h"
#include "python/open_resolved.h"
#include "python/py_class.h"
#include "python/signal_check.h"
#include "python/table_request.h"
#include "python/thread_bound.h"
#include "table/table_split.h"

namespace jorvane::py {
namespace {

// fields=: absent (None) for whole rows, a {name: path} dict, or a list of
// paths each naming itself. False with the exception set.
bool parse_fields(PyObject* fields, std::optional<ndjson::Fields>& out) {
    out.reset();
    if (!given(fields)) return true;
    ndjson::Fields pairs;
    if (PyDict_Check(fields)) {
        if (!str_pairs(fields, pairs)) return false;
        out = std::move(pairs);
        return true;
    }
    bool ok = PySequence_Check(fields) && !PyUnicode_Check(fields);
    Ref seq = ok ? Ref::steal(PySequence_Fast(fields, "")) : Ref();
    ok = static_cast<bool>(seq);
    for (Py_ssize_t i = 0; ok && i < PySequence_Size(seq.get()); ++i) {
        Ref item = Ref::steal(PySequence_GetItem(seq.get(), i));
        std::string path;
        ok = item && PyUnicode_Check(item.get()) && as_utf8(item.get(), path);
        if (ok) pairs.emplace_back(path, path);
    }
    if (!ok) {
        PyErr_Clear();
        raise(PyExc_ValueError,
              "fields= must be a {name: path} dict, a list of paths, or None to re-emit whole rows");
        return false;
    }
    out = std::move(pairs);
    return true;
}

// The arguments both functions share, read and checked.
struct Request {
    std::string rows;
    std::optional<ndjson::Fields> fields;
    table::OnMulti on_multi = table::OnMulti::Error;
    std::optional<uint64_t> limit;
    engine::ScanMode mode;
    std::unique_ptr<Source> source;
    size_t walkers = 1;
};

// Everything after the binding layer's type checks: fields, on_multi, the
// mode, then the one source, opened (write_ndjson passes its output path,
// refused when it is the source); `caller` names the function called in the
// source refusals. False with the exception set.
bool prepare(PyObject* source, PyObject* fields, const std::string& on_multi, const std::optional<std::string>& mode,
             Request& r, std::string_view caller, const std::string* output = nullptr) {
    if (!parse_fields(fields, r.fields)) return false;
    const std::optional<table::OnMulti> multi = parse_on_multi(on_multi);
    if (!multi) return false;
    r.on_multi = *multi;
    // Whole rows and projections alike may be scanned in ranges on every core.
    const run::SplitFacts facts = r.fields ? table::table_split_facts() : ndjson::whole_row_facts(r.limit);
    std::optional<OneSource> one = open_table_source(source, mode, output, facts, caller);
    if (!one) return false;
    r.mode = one->mode;
    r.source = std::move(one->source);
    r.walkers = one->walkers;
    return true;
}

Result<ndjson::NdjsonEmitter, JorvaneError> make_emitter(Request& r) {
    return ndjson::NdjsonEmitter::make(r.rows, std::move(r.fields), r.on_multi, r.limit, r.mode, std::move(r.source),
                                       table::TableSplitOptions{r.walkers, 0, true});
}

// ---- NdjsonLines --------------------------------------------------------------

struct LinesData {
    static constexpr const char* kBoundName = "jorvane2::python::NdjsonLines";
    ThreadBound bound;
    std::optional<ndjson::NdjsonEmitter> emitter;  // absent once finished
    // The error that ended the scan, when an interrupt was raised in its place.
    std::optional<JorvaneError> held;
    ndjson::Lines queue;
    size_t next = 0;  // the first line of `queue` not handed out

    bool holds_threads() const { return emitter && emitter->holds_threads(); }
    bool has_ready() const { return next < queue.size(); }
};

PyObject* next_line(LinesData& d) {
    for (;;) {
        if (d.next < d.queue.size()) {
            const std::string_view line = d.queue.line(d.next++);
            return bytes(line).release();
        }
        if (d.held) return raise_held(d.held);
        if (!d.emitter) return nullptr;  // the end
        if (PyErr_CheckSignals() < 0) return nullptr;
        d.queue.clear();
        d.next = 0;
        SignalCheck signals;
        std::optional<Result<bool, JorvaneError>> more;
        {
            NoGil released;
            more.emplace(d.emitter->next_lines(d.queue, &signals));
        }
        // The emitter finishes itself after an error that ends its scan.
        if (!*more) return signals.raise(std::move(more->error()), d.held);
        if (!more->value()) d.emitter.reset();
        // A signal that arrived during the refill is raised now, the lines
        // staying queued for the next call: handed out with the signal
        // pending, the first of them would be lost to the interrupt the
        // interpreter raises as soon as this call returns.
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
}

using LinesIterator = BoundIterator<LinesData, next_line>;

PyType_Slot lines_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(LinesIterator::dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(LinesIterator::iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(LinesIterator::next)},
    {Py_tp_doc, const_cast<char*>("A lazy iterator over the NDJSON lines of ndjson_lines(), as bytes without the "
                                  "newline.")},
    {0, nullptr},
};

PyType_Spec lines_spec = {
    "jorvane.NdjsonLines", static_cast<int>(sizeof(Boxed<LinesData>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, lines_slots,
};

PyObject* lines_type() {
    static PyObject* type = nullptr;
    return cached_type(type, [] { return type_from_spec(&lines_spec); });
}

// ---- the module functions ---------------------------------------------------

// The binding layer's checks of the keyword arguments, in signature order.
bool read_common(PyObject* rows, PyObject* on_multi, PyObject* limit, PyObject* mode, Request& r,
                 std::string& on_multi_text, std::optional<std::string>& mode_name) {
    return required_str_argument(rows, "rows", r.rows) &&
           (!on_multi || required_str_argument(on_multi, "on_multi", on_multi_text)) &&
           u64_argument(limit, "limit", r.limit) && str_argument(mode, "mode", mode_name);
}

PyObject* write_ndjson_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded(
        [&]() -> PyObject* {
            static const char* const names[] = {"source", "path", "rows", "fields", "on_multi", "limit", "mode",
                                                nullptr};
            PyObject *source = nullptr, *path = nullptr, *rows = nullptr, *fields = Py_None, *on_multi = nullptr,
                     *limit = Py_None, *mode = Py_None;
            if (!bind_args(args, kwargs, "OOO|$OOOO:write_ndjson", names, &source, &path, &rows, &fields, &on_multi,
                           &limit, &mode))
                return nullptr;
            Request r;
            std::string path_text, on_multi_text = "error";
            std::optional<std::string> mode_name;
            if (!path_argument(path, "path", path_text) ||
                !read_common(rows, on_multi, limit, mode, r, on_multi_text, mode_name))
                return nullptr;
            if (!prepare(source, fields, on_multi_text, mode_name, r, "write_ndjson()", &path_text)) return nullptr;
            std::optional<Result<ndjson::NdjsonEmitter, JorvaneError>> emitter;
            {
                NoGil released;
                emitter.emplace(make_emitter(r));
            }
            if (!*emitter) return raise_jorvane_err(std::move(emitter->error()));
            auto file = ndjson::OutputFile::create(path_text, Compression::Unset);
            if (!file) return raise(PyExc_ValueError, file.error());
            SignalCheck signals;
            std::optional<Result<uint64_t, JorvaneError>> written;
            {
                NoGil released;
                written.emplace(ndjson::write_lines(emitter->value(), file.value(), &signals));
                // The file is closed and the source released before the
                // lock is taken back.
                emitter.reset();
                { auto spent = std::move(file.value()); }
            }
            if (!*written) return signals.raise(std::move(written->error()));
            return uinteger(written->value()).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* ndjson_lines_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded(
        [&]() -> PyObject* {
            static const char* const names[] = {"source", "rows", "fields", "on_multi", "limit", "mode", nullptr};
            PyObject *source = nullptr, *rows = nullptr, *fields = Py_None, *on_multi = nullptr, *limit = Py_None,
                     *mode = Py_None;
            if (!bind_args(args, kwargs, "OO|$OOOO:ndjson_lines", names, &source, &rows, &fields, &on_multi, &limit,
                           &mode))
                return nullptr;
            Request r;
            std::string on_multi_text = "error";
            std::optional<std::string> mode_name;
            if (!read_common(rows, on_multi, limit, mode, r, on_multi_text, mode_name)) return nullptr;
            if (!prepare(source, fields, on_multi_text, mode_name, r, "ndjson_lines()")) return nullptr;
            auto emitter = make_emitter(r);
            if (!emitter) return raise_jorvane_err(std::move(emitter.error()));
            PyObject* type = lines_type();
            if (!type) return nullptr;
            LinesData d;
            d.emitter.emplace(std::move(emitter.value()));
            return box<LinesData>(type, std::move(d)).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef ndjson_defs[] = {
    {"write_ndjson", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_ndjson_fn)),
     METH_VARARGS | METH_KEYWORDS,
     "write_ndjson(source, path, rows, *, fields=None, on_multi=\"error\", limit=None, mode=None)\n--\n\n"
     "Write one NDJSON line per match of `rows` to `path` (gzip for a name ending in .gz, Zstandard for .zst or "
     ".zstd): each row's own text on one line, or with fields= an object of the values at those paths. Returns "
     "the number of lines."},
    {"ndjson_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ndjson_lines_fn)),
     METH_VARARGS | METH_KEYWORDS,
     "ndjson_lines(source, rows, *, fields=None, on_multi=\"error\", limit=None, mode=None)\n--\n\n"
     "Iterate lazily over the NDJSON lines write_ndjson would write, as bytes without the newline."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* ndjson_functions() { return ndjson_defs; }

}  // namespace jorvane::py
