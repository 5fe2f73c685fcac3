// items() and kvitems(): lazy iterators over one source. The scan advances
// only inside __next__, one refill at a time with the interpreter lock
// released, and only when no value is waiting; values stay engine values in
// the ready queue and become Python objects one at a time.
//
// Errors keep their place: a structural error found with values is raised
// after those values; a read failure leaves the iterator active, so the next
// call reads the source again. A signal that arrives during a refill is
// raised once the lock is taken back, the refilled values staying queued for
// the next call. Asking for the results ends the scan; an error
// still held back then marks the results partial and is raised after the
// queued values, as it would have been without the call.
#include "python/items.h"

#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/query_plan.h"
#include "python/accumulators.h"
#include "python/exceptions.h"
#include "python/open_resolved.h"
#include "python/py_class.h"
#include "python/query_result.h"
#include "python/resolve_sources.h"
#include "python/signal_check.h"
#include "python/source_items.h"
#include "python/thread_bound.h"
#include "python/value_convert.h"
#include "run/pull_query.h"
#include "util/text.h"

namespace jorvane::py {
namespace {

struct ReadyEntry {
    std::optional<std::string> name;  // kvitems only
    size_t query = 0;
    engine::Value value;
};

struct ItemsData {
    static constexpr const char* kBoundName = "jorvane2::python::Items";
    ThreadBound bound;
    std::optional<run::PullQuery> pull;  // absent once exhausted
    std::deque<ReadyEntry> ready;
    std::optional<std::vector<engine::QueryOutput>> results;
    // A structural error still to be raised after the queued values, and the
    // offset that marks the stored results partial.
    std::optional<JorvaneError> held;
    std::optional<uint64_t> partial_at;
    size_t n_queries = 0;
    bool keyed = false;
    bool with_index = false;
    bool use_float = false;

    bool holds_threads() const { return pull && pull->holds_threads(); }
    bool has_ready() const { return !ready.empty(); }
};

ItemsData& data(PyObject* self) { return unbox<ItemsData>(self); }

// The Python item of one entry, in the shape the flags ask for.
Ref make_item(const ItemsData& d, const ReadyEntry& e) {
    Ref value = value_to_py(e.value, d.use_float);
    if (!value) return {};
    if (!d.keyed && !d.with_index) return value;
    Ref index = d.with_index ? uinteger(e.query) : Ref();
    Ref name = d.keyed ? str(e.name.value_or(std::string())) : Ref();
    if ((d.with_index && !index) || (d.keyed && !name)) return {};
    if (d.keyed && d.with_index) return Ref::steal(PyTuple_Pack(3, index.get(), name.get(), value.get()));
    return Ref::steal(PyTuple_Pack(2, d.keyed ? name.get() : index.get(), value.get()));
}

// Ends the scan if it still runs and keeps the per-query results; an error
// held back by the scan stays held for __next__.
void take_results(ItemsData& d) {
    if (d.results) return;
    std::optional<run::PullQuery> pull = std::move(d.pull);
    d.pull.reset();
    if (!pull) return;
    if (auto deferred = pull->take_deferred()) {
        if (const Incomplete* rec = deferred->record()) d.partial_at = rec->offset;
        d.held = std::move(deferred);
    }
    d.results = pull->results();
}

// The exception of a structural error raised by __next__: the partial
// results are the salvaged outputs, marked partial at the error's offset.
Ref structural_exception(JorvaneError error, bool use_float) {
    const bool ended_early = error.kind() == JorvaneError::Kind::Incomplete;
    Incomplete* rec = error.record();
    const std::string text = error.to_string();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return take_error();
    for (auto& o : rec->partials) {
        Ref r = make_query_result(std::move(o), rec->offset, use_float);
        if (!r) {
            PyErr_Clear();
            continue;
        }
        if (PyList_Append(list.get(), r.get()) < 0) return take_error();
    }
    return partial_error(ended_early ? "Incomplete" : "Corrupted", text, rec->offset, std::move(list));
}

// Raises `error` from __next__, leaving the iterator as its kind requires.
PyObject* raise_from_next(ItemsData& d, JorvaneError error) {
    if (error.record()) {
        // A structural error ends the iteration for good.
        d.pull.reset();
        if (!d.results) d.results.emplace();
        return raise_or_hold(std::move(error), d.held, structural_exception, d.use_float);
    }
    return raise_jorvane_err(std::move(error));
}

template <class Batches>
void queue_values(ItemsData& d, Batches& batches) {
    for (auto& b : batches)
        for (auto& v : b.values) d.ready.push_back(ReadyEntry{std::nullopt, b.query, std::move(v)});
}

void queue_members(ItemsData& d, std::vector<engine::KeyedBatch>& batches) {
    for (auto& b : batches)
        for (auto& [name, v] : b.items) d.ready.push_back(ReadyEntry{std::move(name), b.query, std::move(v)});
}

PyObject* next_item(ItemsData& d) {
    for (;;) {
        if (!d.ready.empty()) {
            // A value leaves the queue only once made: one whose conversion
            // fails (an interrupt during a first import) is there for the
            // next call.
            Ref item = make_item(d, d.ready.front());
            if (item) d.ready.pop_front();
            return item.release();
        }
        if (!d.pull) {
            if (d.held) return raise_held(d.held, structural_exception, d.use_float);
            return nullptr;  // the end
        }
        if (PyErr_CheckSignals() < 0) return nullptr;
        SignalCheck signals;
        std::optional<JorvaneError> error;
        bool end = false;
        {
            NoGil released;
            if (d.keyed) {
                auto p = d.pull->refill_keyed(&signals);
                queue_members(d, p.batches);
                error = std::move(p.error);
                end = p.end;
            } else {
                auto p = d.pull->refill_values(&signals);
                queue_values(d, p.batches);
                error = std::move(p.error);
                end = p.end;
            }
        }
        // An interrupt leaves the scan in place, as a read failure does.
        if (error && signals.fired()) return signals.raise(std::move(*error));
        if (error) return raise_from_next(d, std::move(*error));
        if (end) take_results(d);
        // A signal that arrived during the refill (a file-like's read() may
        // be where it lands) is raised here, with the refilled values still
        // queued for the next call: handed out with the signal pending, the
        // first of them would be lost to the interrupt the interpreter
        // raises as soon as this call returns.
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
}

using ItemsIterator = BoundIterator<ItemsData, next_item>;

PyObject* items_stop(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded(
        [&]() -> PyObject* {
            static const char* const names[] = {"query_idx", nullptr};
            PyObject* arg = nullptr;
            if (!bind_args(args, kwargs, "O:stop", names, &arg)) return nullptr;
            std::optional<uint64_t> index;
            if (!required_u64_argument(arg, "query_idx", index)) return nullptr;
            ItemsData& d = data(self);
            BoundBorrow borrow(d, true);
            if (!borrow.ok()) return nullptr;
            if (*index >= d.n_queries)
                return raise(PyExc_IndexError, "no query " + std::to_string(*index) + "; this iterator multiplexes " +
                                                   std::to_string(d.n_queries) + " queries");
            if (d.pull) d.pull->engine().stop_query(static_cast<size_t>(*index));
            return none().release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* items_results(PyObject* self, PyObject*) {
    return guarded(
        [&]() -> PyObject* {
            ItemsData& d = data(self);
            BoundBorrow borrow(d, true);
            if (!borrow.ok()) return nullptr;
            take_results(d);
            Ref list = Ref::steal(PyList_New(0));
            if (!list) return nullptr;
            for (const auto& o : *d.results) {
                Ref r = make_query_result(o, d.partial_at, d.use_float);
                if (!r || PyList_Append(list.get(), r.get()) < 0) return nullptr;
            }
            return list.release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* items_repr(PyObject* self) {
    return guarded(
        [&]() -> PyObject* {
            const ItemsData& d = data(self);
            BoundBorrow borrow(data(self), false);
            if (!borrow.ok()) return nullptr;
            return str(std::string(d.keyed ? "KvItems" : "Items") + "(" + std::to_string(d.n_queries) + " quer" +
                       (d.n_queries == 1 ? "y" : "ies") + ", " + (d.pull ? "active" : "exhausted") + ")")
                .release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* items_n_queries(PyObject* self, void*) {
    BoundBorrow borrow(data(self), false);
    if (!borrow.ok()) return nullptr;
    return uinteger(data(self).n_queries).release();
}

PyMethodDef items_methods[] = {
    {"stop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(items_stop)), METH_VARARGS | METH_KEYWORDS,
     "stop($self, query_idx)\n--\n\nDelivers no further matches of one query."},
    {"results", items_results, METH_NOARGS,
     "results($self)\n--\n\nEnds the scan and returns one QueryResult per query."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef items_getset[] = {
    {"n_queries", items_n_queries, nullptr, "The number of queries.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot items_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(ItemsIterator::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(items_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(ItemsIterator::iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(ItemsIterator::next)},
    {Py_tp_methods, items_methods},
    {Py_tp_getset, items_getset},
    {Py_tp_doc, const_cast<char*>("A lazy iterator over the matches of items() or kvitems().")},
    {0, nullptr},
};

PyType_Spec items_spec = {
    "jorvane.Items", static_cast<int>(sizeof(Boxed<ItemsData>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, items_slots,
};

PyObject* items_type_object() {
    static PyObject* type = nullptr;
    return cached_type(type, [] { return type_from_spec(&items_spec); });
}

struct ItemsArgs {
    PyObject* source;
    PyObject* queries;
    bool keyed;
    bool with_index;
    std::optional<uint64_t> limit;
    PyObject* accumulators;  // null when absent or None
    std::optional<std::string> mode;
    bool use_float;
};

// The shared body of items() and kvitems(); a source opened here is dropped
// (never abandoned) when a later step fails.
Ref build_items(const ItemsArgs& a) {
    if (a.limit && *a.limit == 0) return Ref::steal(raise(PyExc_ValueError, "limit must be at least 1 (omit it for no limit)"));
    std::vector<ClassifiedItem> classified;
    if (!parse_source_items(a.source, classified)) return {};
    if (classified.empty()) return Ref::steal(raise(PyExc_ValueError, "items() requires a source"));
    std::vector<ResolvedSource> resolved;
    if (!resolve_source_items(std::move(classified), resolved)) return {};
    if (resolved.size() != 1)
        return Ref::steal(raise(PyExc_ValueError, "items() takes a single source, got " + std::to_string(resolved.size()) +
                                                      " (use Query for multiple)"));
    ResolvedSource& one = resolved.front();
    if (!reject_query_only_options(one.options.name, one.options.progress.get(), "items()")) return {};
    std::optional<OneSource> opened = open_one_source(a.mode, [&](size_t buffer_len) {
        return open_resolved(std::move(one.item), false, buffer_len, one.options.compression);
    });
    if (!opened) return {};

    std::vector<std::string> texts;
    if (!extract_query_strings(a.queries, texts)) return {};
    if (texts.empty()) return Ref::steal(raise(PyExc_ValueError, "items() requires at least one query"));
    const AccKind base = a.keyed ? AccKind::KeyedValues : AccKind::Values;
    std::vector<AccKind> kinds{base};
    if (a.accumulators) {
        std::vector<AccumulatorSpec> specs;
        if (!extract_accumulators(a.accumulators, specs)) return {};
        for (const auto& s : specs)
            if (s.kind != base) kinds.push_back(s.kind);
    }
    std::vector<engine::QueryPlan> plans;
    for (const auto& t : texts) plans.push_back(engine::QueryPlan{a.limit, t, kinds});
    auto pull = run::PullQuery::make(plans, opened->mode, std::move(opened->source));
    if (!pull) return Ref::steal(raise_jorvane_err(std::move(pull.error())));

    PyObject* type = items_type_object();
    if (!type) return {};
    ItemsData d;
    d.pull.emplace(std::move(pull.value()));
    d.n_queries = texts.size();
    d.keyed = a.keyed;
    d.with_index = a.with_index;
    d.use_float = a.use_float;
    return box<ItemsData>(type, std::move(d));
}

// kvitems names the members of the matched objects: each query q becomes
// "(q).*", and one that is empty after trimming white space the empty query's
// members, "*".
Ref member_queries(PyObject* queries) {
    std::vector<std::string> texts;
    if (!extract_query_strings(queries, texts)) return {};
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return {};
    for (const auto& q : texts) {
        const bool blank = q.find_first_not_of(" \t\r\n") == std::string::npos;
        Ref t = str(blank ? std::string("*") : "(" + q + ").*");
        if (!t || PyList_Append(list.get(), t.get()) < 0) return {};
    }
    return list;
}

PyObject* items_entry(PyObject* args, PyObject* kwargs, bool keyed) {
    return guarded(
        [&]() -> PyObject* {
            static const char* const names[] = {"source", "queries", "with_index", "limit", "accumulators", "mode",
                                                "use_float", nullptr};
            PyObject *source = nullptr, *queries = nullptr, *with_index = Py_False, *limit = Py_None,
                     *accumulators = Py_None, *mode = Py_None, *use_float = Py_False;
            if (!bind_args(args, kwargs, keyed ? "OO|$OOOOO:kvitems" : "OO|$OOOOO:items", names, &source, &queries,
                           &with_index, &limit, &accumulators, &mode, &use_float))
                return nullptr;
            ItemsArgs a{source, queries, keyed, false, {}, given(accumulators), {}, false};
            Ref rewritten;
            if (keyed) {
                rewritten = member_queries(queries);
                if (!rewritten) return nullptr;
                a.queries = rewritten.get();
            }
            if (!bool_argument(with_index, "with_index", a.with_index) || !u64_argument(limit, "limit", a.limit) ||
                !str_argument(mode, "mode", a.mode) || !bool_argument(use_float, "use_float", a.use_float))
                return nullptr;
            return build_items(a).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* items_fn(PyObject*, PyObject* args, PyObject* kwargs) { return items_entry(args, kwargs, false); }
PyObject* kvitems_fn(PyObject*, PyObject* args, PyObject* kwargs) { return items_entry(args, kwargs, true); }

PyMethodDef items_defs[] = {
    {"items", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(items_fn)), METH_VARARGS | METH_KEYWORDS,
     "items(source, queries, *, with_index=False, limit=None, accumulators=None, mode=None, use_float=False)\n--\n\n"
     "Iterate lazily over the values the queries match in one source."},
    {"kvitems", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kvitems_fn)), METH_VARARGS | METH_KEYWORDS,
     "kvitems(source, queries, *, with_index=False, limit=None, accumulators=None, mode=None, use_float=False)\n--\n\n"
     "Iterate lazily over the (name, value) members of the objects the queries match in one source."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* items_type() { return items_type_object(); }

PyMethodDef* items_functions() { return items_defs; }

}  // namespace jorvane::py
