// The Query class: construction (checks, sources, queries, the run, the
// into= delivery) and the lookup of results by source and query.
#include "python/query.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "engine/drivers/accumulator.h"
#include "engine/query_plan.h"
#include "python/accumulators.h"
#include "python/exceptions.h"
#include "python/lookup.h"
#include "python/numeric_buffer.h"
#include "python/open_resolved.h"
#include "python/py_class.h"
#include "python/query_result.h"
#include "python/query_run.h"
#include "python/resolve_sources.h"
#include "python/source_items.h"
#include "python/value_convert.h"
#include "run/run_policy.h"
#include "source/open_file.h"
#include "util/text.h"

namespace jorvane::py {
namespace {

constexpr uint64_t kDefaultProgressInterval = 8388608;
constexpr uint64_t kDefaultStretch = 1048576;

// A source whose scan failed, kept in place of its results.
struct SourceFailure {
    enum class Kind : uint8_t { EndedEarly, Malformed, Failed };
    Kind kind = Kind::Failed;
    uint64_t offset = 0;
    std::string message;
    Ref partials;  // list of QueryResult (EndedEarly, Malformed)
};

using SourceEntry = std::variant<std::vector<Ref>, SourceFailure>;

struct QueryData {
    std::vector<SourceEntry> results;
    std::vector<std::string> sources;
    std::vector<std::string> queries;
    std::vector<std::vector<std::string>> accumulators;
    std::string mode;
    uint64_t n_queries = 0;
};

const QueryData& data(PyObject* self) { return unbox<QueryData>(self); }

// Closes the file objects the system opened itself (URLs) among `items`
// from `from` on: they would otherwise stay open until collected.
void close_owned_readers(std::vector<ResolvedItem>& items, size_t from) {
    Ref pending = take_error();
    for (size_t i = from; i < items.size(); ++i) {
        ResolvedItem& it = items[i];
        if (it.kind != ResolvedItem::Kind::Reader || it.keep_open || !it.reader) continue;
        Ref r = Ref::steal(PyObject_CallMethod(it.reader.get(), "close", nullptr));
        if (!r) PyErr_Clear();
    }
    if (pending) restore_error(std::move(pending));
}

// One query's accumulator requests with its text.
struct QuerySpec {
    std::string text;
    std::vector<AccumulatorSpec> accs;
};

bool read_queries(PyObject* queries, PyObject* accumulators, std::vector<QuerySpec>& out) {
    if (PyDict_Check(queries)) {
        if (accumulators != Py_None) {
            raise(PyExc_ValueError, "pass accumulators inside the dict, not as a separate argument");
            return false;
        }
        Ref items = Ref::steal(PyDict_Items(queries));
        if (!items) return false;
        Py_ssize_t n = PyList_Size(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* kv = PyList_GetItem(items.get(), i);
            PyObject* key = PyTuple_GetItem(kv, 0);
            PyObject* value = PyTuple_GetItem(kv, 1);
            QuerySpec spec;
            if (!as_text(key, spec.text)) {
                raise(PyExc_ValueError, "query keys must be strings");
                return false;
            }
            if (!extract_accumulators(value, spec.accs)) return false;
            out.push_back(std::move(spec));
        }
        return true;
    }
    if (accumulators == Py_None) {
        raise(PyExc_ValueError, "accumulators is required when queries is a list");
        return false;
    }
    std::vector<AccumulatorSpec> accs;
    if (!extract_accumulators(accumulators, accs)) return false;
    std::vector<std::string> texts;
    if (!extract_query_strings(queries, texts)) return false;
    for (auto& t : texts) {
        QuerySpec spec;
        spec.text = std::move(t);
        for (const auto& a : accs) spec.accs.push_back(AccumulatorSpec{a.kind, a.into, a.numeric});
        out.push_back(std::move(spec));
    }
    return true;
}

// The entry of a source whose result objects could not be made: a failure
// holding the text of the exception being raised (which is cleared).
SourceFailure failure_from_error() {
    Ref exc = take_error();
    std::string msg;
    if (exc && !str_of(exc.get(), msg)) PyErr_Clear();
    return SourceFailure{SourceFailure::Kind::Failed, 0, std::move(msg), Ref()};
}

// The entry of one source from its outcome.
SourceEntry make_entry(SourceOutcome outcome, bool use_float) {
    if (outcome) {
        std::vector<Ref> results;
        for (auto& o : outcome.value()) {
            Ref r = make_query_result(std::move(o), std::nullopt, use_float);
            if (!r) return failure_from_error();
            results.push_back(std::move(r));
        }
        return results;
    }
    JorvaneError err = std::move(outcome).error();
    std::string message = err.to_string();
    const bool ended_early = err.kind() == JorvaneError::Kind::Incomplete;
    if (ended_early || err.kind() == JorvaneError::Kind::Corrupted) {
        Incomplete* rec = err.record();
        uint64_t offset = rec->offset;
        Ref partials = wrap_partials(std::move(rec->partials), offset, use_float);
        if (!partials) return failure_from_error();
        return SourceFailure{ended_early ? SourceFailure::Kind::EndedEarly : SourceFailure::Kind::Malformed, offset,
                             std::move(message), std::move(partials)};
    }
    return SourceFailure{SourceFailure::Kind::Failed, 0, std::move(message), Ref()};
}

// ---- construction ---------------------------------------------------------

struct QueryArgs {
    PyObject* sources;
    PyObject* queries;
    PyObject* accumulators;
    std::optional<uint64_t> max_threads;
    std::optional<std::string> mode;
    bool use_float;
    std::optional<uint64_t> limit;
    PyObject* progress;  // null when absent
    std::optional<uint64_t> progress_interval;
};

// The options that are refused before anything else is looked at.
bool check_options(const QueryArgs& a) {
    if (a.progress_interval) {
        if (!a.progress) {
            raise(PyExc_ValueError, "progress_interval= only makes sense with a progress= callback");
            return false;
        }
        if (*a.progress_interval == 0) {
            raise(PyExc_ValueError, "progress_interval must be at least 1");
            return false;
        }
    }
    if (a.limit && *a.limit == 0) {
        raise(PyExc_ValueError, "limit must be at least 1 (omit it for no limit)");
        return false;
    }
    return true;
}

// Classifies the `sources` argument: a dict of label to source, or anything
// else the source readers take.
bool classify_sources(PyObject* sources, std::vector<ClassifiedItem>& out) {
    if (PyDict_Check(sources) ? !parse_source_dict(sources, out) : !parse_source_items(sources, out)) return false;
    if (out.empty()) {
        raise(PyExc_ValueError, "Query requires at least one source");
        return false;
    }
    return true;
}

// The queries with their accumulators, and where the streamed values go.
struct Requests {
    std::vector<QuerySpec> specs;
    std::vector<std::vector<std::string>> names;   // per query, accumulator names
    std::vector<std::vector<AccKind>> kinds;       // per query, accumulator kinds
    std::vector<IntoSink::Route> routes;           // per into= target
    std::vector<Ref> targets;
    std::vector<bool> numeric;
};

bool read_requests(const QueryArgs& a, Requests& r) {
    if (!read_queries(a.queries, a.accumulators, r.specs)) return false;
    if (r.specs.empty()) {
        raise(PyExc_ValueError, "Query requires at least one query");
        return false;
    }
    r.names.resize(r.specs.size());
    r.kinds.resize(r.specs.size());
    for (size_t q = 0; q < r.specs.size(); ++q) {
        const QuerySpec& s = r.specs[q];
        if (s.accs.empty()) {
            raise(PyExc_ValueError, "query " + debug_quote(s.text) + " has no accumulators");
            return false;
        }
        for (const AccumulatorSpec& acc : s.accs) {
            r.names[q].emplace_back(engine::accumulator_kind_name(acc.kind));
            r.kinds[q].push_back(acc.kind);
            const std::optional<engine::StreamKind> stream = engine::kind_info(acc.kind).stream;
            if (!stream || !acc.into) continue;
            IntoSink::Route route{q, *stream};
            for (const auto& seen : r.routes) {
                if (seen == route) {
                    raise(PyExc_ValueError,
                          "query " + debug_quote(s.text) + " binds " + engine::accumulator_constructor_name(acc.kind) +
                              "(into=...) more than once; each stream kind can bind at most one target per "
                              "query (copy the result in Python if you need a second)");
                    return false;
                }
            }
            r.routes.push_back(route);
            r.targets.push_back(acc.into);
            r.numeric.push_back(acc.numeric);
        }
    }
    return true;
}

// Each source's progress callback: the Query's own (one source only) or the
// one its Source(...) wrapper carries.
bool assign_progress(const QueryArgs& a, const LabeledSources& labeled,
                     std::vector<std::optional<ProgressEntry>>& progress) {
    const size_t n = labeled.items.size();
    if (a.progress) {
        for (const auto& o : labeled.options) {
            if (o.progress) {
                raise(PyExc_ValueError, "pass either progress= on the Query or Source(progress=...) per source, not both");
                return false;
            }
        }
        if (n != 1) {
            raise(PyExc_ValueError, "progress= takes a single source, got " + std::to_string(n) +
                                        " \u2014 attach a callback per source with jorvane.Source(src, progress=...)");
            return false;
        }
    }
    progress.assign(n, std::nullopt);
    for (size_t i = 0; i < n; ++i) {
        if (a.progress) {
            progress[i] = ProgressEntry{Ref::borrow(a.progress), a.progress_interval.value_or(kDefaultProgressInterval)};
        } else if (labeled.options[i].progress) {
            progress[i] = ProgressEntry{labeled.options[i].progress,
                                        labeled.options[i].progress_interval.value_or(kDefaultProgressInterval)};
        }
    }
    return true;
}

// Opens every resolved source in source order. One source is opened here;
// with several, every file is checked here (same errors, same order) but
// opened again only when a worker takes it, so the run holds open only the
// files it is reading. On failure the sources opened so far are released and
// `failed_at` is the first source not handled.
bool open_sources(LabeledSources& labeled, bool prefetch, size_t buffer_len, std::vector<run::RunSource>& opened,
                  size_t& failed_at) {
    const size_t n = labeled.items.size();
    opened.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        ResolvedItem& item = labeled.items[i];
        const Compression compression = labeled.options[i].compression;
        std::unique_ptr<Source> src;
        if (n > 1 && item.kind == ResolvedItem::Kind::File) {
            if (open_source(item.path, item.path_text, false, 0, compression)) {
                std::string path = item.path;
                opened.push_back(run::RunSource{nullptr, [path, prefetch, buffer_len, compression] {
                                                    return open_file_source(path, prefetch, buffer_len, compression);
                                                }});
                continue;
            }
        } else if ((src = open_resolved(std::move(item), prefetch, buffer_len, compression))) {
            opened.push_back(run::RunSource{std::move(src), {}});
            continue;
        }
        for (auto& r : opened)
            if (r.source) r.source->abandon();  // closes what the system opened itself
        failed_at = i + 1;
        return false;
    }
    return true;
}

// Hands what the into= targets are owed: plain values through extend(), one
// NumericBuffer through append() per numeric target.
bool deliver_into(IntoSink& sink, const std::vector<Ref>& targets, bool use_float) {
    auto& buckets = sink.buckets();
    for (size_t i = 0; i < buckets.size(); ++i) {
        IntoSink::Bucket& b = buckets[i];
        if (b.numeric) {
            Ref buf = make_numeric_buffer(b.floats, b.skipped);
            if (!buf) return false;
            std::vector<double>().swap(b.floats);
            Ref r = Ref::steal(PyObject_CallMethod(targets[i].get(), "append", "O", buf.get()));
            if (!r) return false;
        } else {
            Ref list = Ref::steal(PyList_New(0));
            if (!list) return false;
            for (const auto& v : b.values) {
                Ref item = value_to_py(v, use_float);
                if (!item || PyList_Append(list.get(), item.get()) < 0) return false;
            }
            std::vector<engine::Value>().swap(b.values);
            Ref r = Ref::steal(PyObject_CallMethod(targets[i].get(), "extend", "O", list.get()));
            if (!r) return false;
        }
    }
    return true;
}

// What decides whether the one source of a run is scanned in ranges, as far
// as its path and the options tell before it is opened.
run::SplitFacts split_facts(const QueryArgs& a, const Requests& req, const LabeledSources& labeled,
                            const std::vector<std::optional<ProgressEntry>>& progress) {
    run::SplitFacts facts;
    facts.match_limit = a.limit.has_value();
    facts.reads_engine = progress[0].has_value();
    for (const auto& kinds : req.kinds) facts.kinds.insert(facts.kinds.end(), kinds.begin(), kinds.end());
    add_input_facts(labeled.items[0], labeled.options[0].compression, facts);
    return facts;
}

// Runs the sources: one from the calling thread (in ranges on up to the
// budget's walkers when it splits), several on workers.
std::optional<std::vector<SourceOutcome>> run_query_sources(const QueryArgs& a,
                                                            std::span<const engine::QueryPlan> plans,
                                                            engine::ScanMode mode, std::vector<run::RunSource> opened,
                                                            const std::vector<std::optional<ProgressEntry>>& progress,
                                                            IntoSink* sink, const std::vector<Ref>& targets,
                                                            const run::ThreadBudget& budget) {
    if (opened.size() != 1)
        return run_many(plans, mode, std::move(opened), progress, budget, sink, targets, a.use_float);
    PyObject* cb = progress[0] ? progress[0]->callback.get() : nullptr;
    const uint64_t interval = progress[0] ? progress[0]->interval : kDefaultStretch;
    auto one = run_one(plans, mode, std::move(opened[0].source), sink, targets, cb, interval, a.use_float,
                       budget.walkers(mode));
    if (!one) return std::nullopt;
    std::vector<SourceOutcome> outcomes;
    outcomes.push_back(std::move(*one));
    return outcomes;
}

Ref query_new(PyObject* type, const QueryArgs& a) {
    if (!check_options(a)) return {};
    std::vector<ClassifiedItem> classified;
    if (!classify_sources(a.sources, classified)) return {};
    Requests req;
    if (!read_requests(a, req)) return {};

    LabeledSources labeled;
    if (!resolve_labeled_sources(std::move(classified), labeled)) return {};
    // From here on, a refusal closes the file objects opened for URLs.
    auto fail_from = [&](size_t first_unopened) -> Ref {
        close_owned_readers(labeled.items, first_unopened);
        return {};
    };
    const size_t n = labeled.items.size();
    std::vector<std::optional<ProgressEntry>> progress;
    if (!assign_progress(a, labeled, progress)) return fail_from(0);
    const run::ThreadBudget budget(a.max_threads);
    std::optional<run::SplitFacts> facts;
    if (n == 1) facts = split_facts(a, req, labeled, progress);
    const std::optional<engine::ScanMode> mode = budget.mode(a.mode, n, facts ? &*facts : nullptr);
    if (!mode) {
        raise(PyExc_ValueError, run::unknown_mode_message(*a.mode));
        return fail_from(0);
    }
    std::vector<run::RunSource> opened;
    size_t failed_at = 0;
    if (!open_sources(labeled, budget.prefetch(n), run::buffer_len_for(*mode), opened, failed_at))
        return fail_from(failed_at);

    std::vector<engine::QueryPlan> plans;
    plans.reserve(req.specs.size());
    for (size_t q = 0; q < req.specs.size(); ++q)
        plans.push_back(engine::QueryPlan{a.limit, req.specs[q].text, req.kinds[q]});
    std::optional<IntoSink> sink;
    if (!req.routes.empty()) sink.emplace(req.routes, req.numeric);
    auto outcomes =
        run_query_sources(a, plans, *mode, std::move(opened), progress, sink ? &*sink : nullptr, req.targets, budget);
    if (!outcomes) return {};
    if (sink && !deliver_into(*sink, req.targets, a.use_float)) return {};

    QueryData d;
    d.results.reserve(outcomes->size());
    for (auto& o : *outcomes) d.results.push_back(make_entry(std::move(o), a.use_float));
    d.sources = std::move(labeled.labels);
    for (auto& s : req.specs) d.queries.push_back(std::move(s.text));
    d.accumulators = std::move(req.names);
    d.mode = run::mode_name(*mode);
    d.n_queries = d.queries.size();
    return box<QueryData>(type, std::move(d));
}

PyObject* query_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded(
        [&]() -> PyObject* {
            static const char* const names[] = {"sources", "queries", "accumulators", "max_threads", "mode",
                                                "use_float", "limit", "progress", "progress_interval", nullptr};
            PyObject *sources = nullptr, *queries = nullptr, *accumulators = Py_None, *max_threads = Py_None,
                     *mode = Py_None, *use_float = Py_False, *limit = Py_None, *progress = Py_None,
                     *progress_interval = Py_None;
            if (!bind_args(args, kwargs, "OO|O$OOOOOO:Query", names, &sources, &queries, &accumulators, &max_threads,
                           &mode, &use_float, &limit, &progress, &progress_interval))
                return nullptr;
            QueryArgs a{sources, queries, accumulators, {}, {}, false, {}, given(progress), {}};
            if (!u64_argument(max_threads, "max_threads", a.max_threads) || !str_argument(mode, "mode", a.mode) ||
                !bool_argument(use_float, "use_float", a.use_float) || !u64_argument(limit, "limit", a.limit) ||
                !u64_argument(progress_interval, "progress_interval", a.progress_interval))
                return nullptr;
            return query_new(reinterpret_cast<PyObject*>(type), a).release();
        },
        static_cast<PyObject*>(nullptr));
}

// ---- accessors -------------------------------------------------------------

Ref str_list(const std::vector<std::string>& items) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return {};
    for (const auto& s : items) {
        Ref v = str(s);
        if (!v || PyList_Append(list.get(), v.get()) < 0) return {};
    }
    return list;
}

PyObject* q_sources(PyObject* self, void*) {
    return guarded([&] { return str_list(data(self).sources).release(); }, static_cast<PyObject*>(nullptr));
}
PyObject* q_queries(PyObject* self, void*) {
    return guarded([&] { return str_list(data(self).queries).release(); }, static_cast<PyObject*>(nullptr));
}
PyObject* q_accumulators(PyObject* self, void*) {
    return guarded(
        [&]() -> PyObject* {
            Ref list = Ref::steal(PyList_New(0));
            if (!list) return nullptr;
            for (const auto& names : data(self).accumulators) {
                Ref inner = str_list(names);
                if (!inner || PyList_Append(list.get(), inner.get()) < 0) return nullptr;
            }
            return list.release();
        },
        static_cast<PyObject*>(nullptr));
}
PyObject* q_mode(PyObject* self, void*) { return str(data(self).mode).release(); }
PyObject* q_n_sources(PyObject* self, void*) { return uinteger(data(self).sources.size()).release(); }
PyObject* q_n_queries(PyObject* self, void*) { return uinteger(data(self).n_queries).release(); }

PyObject* q_repr(PyObject* self) {
    return guarded(
        [&] {
            const QueryData& d = data(self);
            return str("Query(sources=" + label_list(d.sources) + ", queries=" + label_list(d.queries) + ", mode='" +
                       d.mode + "')")
                .release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* q_result(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded(
        [&]() -> PyObject* {
            static const char* const names[] = {"source", "query", nullptr};
            PyObject *source = Py_None, *query = Py_None;
            if (!bind_args(args, kwargs, "|OO:result", names, &source, &query)) return nullptr;
            const QueryData& d = data(self);
            auto si = lookup(source == Py_None ? nullptr : source, d.sources, "source");
            if (!si) return nullptr;
            auto qi = lookup(query == Py_None ? nullptr : query, d.queries, "query");
            if (!qi) return nullptr;
            if (*si >= d.results.size())
                return raise(PyExc_IndexError, "no source " + std::to_string(*si) + " (" +
                                                   std::to_string(d.results.size()) + " sources)");
            const SourceEntry& e = d.results[*si];
            if (auto* results = std::get_if<std::vector<Ref>>(&e)) {
                if (*qi >= results->size())
                    return raise(PyExc_IndexError, "no query " + std::to_string(*qi) + " (" +
                                                       std::to_string(results->size()) + " queries)");
                return Ref((*results)[*qi]).release();
            }
            const SourceFailure& f = std::get<SourceFailure>(e);
            const std::string idx = std::to_string(*si);
            switch (f.kind) {
                case SourceFailure::Kind::EndedEarly:
                    return raise_exception_object(
                        partial_error("Incomplete", "source " + idx + " ended early: " + f.message, f.offset, f.partials));
                case SourceFailure::Kind::Malformed:
                    return raise_exception_object(
                        partial_error("Corrupted", "source " + idx + " is malformed: " + f.message, f.offset, f.partials));
                case SourceFailure::Kind::Failed:
                    break;
            }
            return raise(PyExc_RuntimeError, "source " + idx + " failed: " + f.message);
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef q_methods[] = {
    {"result", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(q_result)), METH_VARARGS | METH_KEYWORDS,
     "result($self, source=None, query=None)\n--\n\nThe QueryResult of one query on one source (by index or label; "
     "the first of each by default). A source whose scan failed raises its error here."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef q_getset[] = {
    {"sources", q_sources, nullptr, "The source labels, in source order.", nullptr},
    {"queries", q_queries, nullptr, "The query texts, in query order.", nullptr},
    {"accumulators", q_accumulators, nullptr, "Per query, the names of its accumulators.", nullptr},
    {"mode", q_mode, nullptr, "The execution mode that ran: \"pipelined\" or \"batched\".", nullptr},
    {"n_sources", q_n_sources, nullptr, "The number of sources.", nullptr},
    {"n_queries", q_n_queries, nullptr, "The number of queries.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot q_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(query_tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<QueryData>)},
    {Py_tp_repr, reinterpret_cast<void*>(q_repr)},
    {Py_tp_methods, q_methods},
    {Py_tp_getset, q_getset},
    {Py_tp_doc, const_cast<char*>(
                    "Query(sources, queries, accumulators=None, *, max_threads=None, mode=None, use_float=False, "
                    "limit=None, progress=None, progress_interval=None)\n--\n\n"
                    "Answer every query over every source in one pass per source. `sources` is a path, glob, URL, "
                    "JSON text, file-like object or Source(...), a list of them, or a dict of label to source; "
                    "`queries` a query text, a list of them (with `accumulators`), or a dict of query to "
                    "accumulators. Read the answers with result().")},
    {0, nullptr},
};

PyType_Spec q_spec = {
    "jorvane.Query", static_cast<int>(sizeof(Boxed<QueryData>)), 0, Py_TPFLAGS_DEFAULT, q_slots,
};

}  // namespace

PyObject* query_type() {
    static PyObject* cell = nullptr;
    return cached_type(cell, [] { return type_from_spec(&q_spec); });
}

}  // namespace jorvane::py
