// group_by(): the arguments become a GroupSpec, checked in a fixed order
// with every refusal that needs no data made before the source is opened,
// except a missing key, which the scan itself refuses; the scan then runs
// with the interpreter lock released and its table is returned as a Table.
#include "python/group_by.h"

#include <string>
#include <utility>
#include <vector>

#include "python/exceptions.h"
#include "python/open_resolved.h"
#include "python/signal_check.h"
#include "python/table.h"
#include "python/table_request.h"
#include "table/group_by.h"
#include "table/group_spec.h"
#include "table/table_split.h"
#include "util/text.h"

namespace jorvane::py {
namespace {

constexpr uint64_t kDefaultMaxGroups = 1000000;

// The strings of a sequence that is not itself a str; false without an
// exception when it is anything else or holds anything but strings.
bool string_sequence(PyObject* o, std::vector<std::string>& out) {
    if (PyUnicode_Check(o) || !PySequence_Check(o)) return false;
    Ref seq = Ref::steal(PySequence_Fast(o, ""));
    if (!seq) {
        PyErr_Clear();
        return false;
    }
    const Py_ssize_t n = PySequence_Size(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(seq.get(), i));
        std::string text;
        if (!item || !PyUnicode_Check(item.get()) || !as_utf8(item.get(), text)) {
            PyErr_Clear();
            return false;
        }
        out.push_back(std::move(text));
    }
    return true;
}

bool parse_by(PyObject* by, table::GroupSpec& spec) {
    if (PyDict_Check(by)) return str_pairs(by, spec.keys);
    if (PyUnicode_Check(by)) {
        std::string path;
        if (!as_utf8(by, path)) return false;
        spec.keys.emplace_back(path, path);
        return true;
    }
    std::vector<std::string> paths;
    if (!string_sequence(by, paths)) {
        raise(PyExc_ValueError, "by= must be a {name: path} dict, a path string, or a list of paths");
        return false;
    }
    for (auto& p : paths) spec.keys.emplace_back(p, p);
    return true;
}

// A tuple of exactly `n` strings, read into `out`.
bool string_tuple(PyObject* o, Py_ssize_t n, std::vector<std::string>& out) {
    if (!PyTuple_Check(o) || PyTuple_Size(o) != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GetItem(o, i);
        std::string text;
        if (!PyUnicode_Check(item) || !as_utf8(item, text)) {
            PyErr_Clear();
            return false;
        }
        out.push_back(std::move(text));
    }
    return true;
}

bool parse_agg_item(PyObject* key, PyObject* value, table::GroupSpec& spec) {
    table::GroupAgg agg;
    if (!str_value(key, agg.name)) return false;
    std::string op_text;
    std::vector<std::string> parts;
    if (PyUnicode_Check(value)) {
        if (!as_utf8(value, op_text)) return false;
    } else if (string_tuple(value, 1, parts) || (parts.clear(), string_tuple(value, 2, parts))) {
        op_text = parts[0];
        if (parts.size() == 2) agg.path = parts[1];
    } else {
        raise(PyExc_ValueError, "agg " + debug_quote(agg.name) + " must be \"count\" or an (op, path) tuple");
        return false;
    }
    const std::optional<table::GroupOp> op = table::parse_group_op(op_text);
    if (!op) {
        raise(PyExc_ValueError, "unknown aggregate " + debug_quote(op_text) + " for " + debug_quote(agg.name) +
                                    "; expected \"count\", \"sum\", \"min\", \"max\", \"mean\", \"count_unique\", "
                                    "\"first\", or \"last\"");
        return false;
    }
    agg.op = *op;
    if (agg.op == table::GroupOp::Count && agg.path) {
        raise(PyExc_ValueError, "aggregate " + debug_quote(agg.name) + ": \"count\" counts rows and takes no path");
        return false;
    }
    if (agg.op != table::GroupOp::Count && !agg.path) {
        const std::string op_name = table::group_op_name(agg.op);
        raise(PyExc_ValueError, "aggregate " + debug_quote(agg.name) + " (" + op_name + ") needs a path: (" +
                                    debug_quote(op_name) + ", \"some.path\")");
        return false;
    }
    spec.aggs.push_back(std::move(agg));
    return true;
}

bool parse_agg(PyObject* agg, table::GroupSpec& spec) {
    Ref items = Ref::steal(PyDict_Items(agg));
    if (!items) return false;
    const Py_ssize_t n = PyList_Size(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* kv = PyList_GetItem(items.get(), i);
        if (!parse_agg_item(PyTuple_GetItem(kv, 0), PyTuple_GetItem(kv, 1), spec)) return false;
    }
    return true;
}

PyObject* group_by_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded(
        [&]() -> PyObject* {
            static const char* const names[] = {"source",     "rows", "by",        "agg", "on_multi",
                                                "max_groups", "mode", "use_float", nullptr};
            PyObject *source = nullptr, *rows = nullptr, *by = nullptr, *agg = nullptr, *on_multi = nullptr,
                     *max_groups = nullptr, *mode = Py_None, *use_float = Py_False;
            if (!bind_args(args, kwargs, "OOOO|$OOOO:group_by", names, &source, &rows, &by, &agg, &on_multi,
                           &max_groups, &mode, &use_float))
                return nullptr;
            table::GroupSpec spec;
            std::string on_multi_text = "error";
            PyObject* agg_dict = nullptr;
            std::optional<std::string> mode_name;
            bool floats = false;
            if (!required_str_argument(rows, "rows", spec.rows) || !required_dict_argument(agg, "agg", agg_dict) ||
                (on_multi && !required_str_argument(on_multi, "on_multi", on_multi_text)))
                return nullptr;
            // Left out (or the ... its signature shows): the default limit;
            // None: no limit.
            if (!max_groups || max_groups == Py_Ellipsis)
                spec.max_groups = kDefaultMaxGroups;
            else if (!u64_argument(max_groups, "max_groups", spec.max_groups))
                return nullptr;
            if (!str_argument(mode, "mode", mode_name) || !bool_argument(use_float, "use_float", floats))
                return nullptr;

            if (!parse_by(by, spec) || !parse_agg(agg_dict, spec)) return nullptr;
            // An empty by= passes here: the scan refuses it, after the source
            // has been opened.
            if (spec.aggs.empty()) return raise(PyExc_ValueError, "agg= must name at least one aggregate");
            if (const std::optional<std::string> name = table::repeated_column_name(spec))
                return raise(PyExc_ValueError,
                             "output column " + debug_quote(*name) + " appears more than once across by= and agg=");
            const std::optional<table::OnMulti> multi = parse_on_multi(on_multi_text);
            if (!multi) return nullptr;
            spec.on_multi = *multi;
            const run::SplitFacts facts = table::group_split_facts(spec);
            std::optional<OneSource> one = open_table_source(source, mode_name, nullptr, facts, "group_by()");
            if (!one) return nullptr;
            SignalCheck signals;
            std::optional<Result<table::Table, JorvaneError>> grouped;
            {
                NoGil released;
                // The walkers fold their own rows, so the merge keeps up with
                // them and the ranges are the run policy's, not the short ones
                // of consumers that take every row on one thread.
                grouped.emplace(table::group_by_scan(std::move(spec), one->mode, std::move(one->source), &signals,
                                                     table::TableSplitOptions{one->walkers}));
            }
            if (!*grouped) return signals.raise(std::move(grouped->error()));
            return make_table(std::move(grouped->value()), floats).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef group_by_def = {
    "group_by", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(group_by_fn)), METH_VARARGS | METH_KEYWORDS,
    "group_by(source, rows, by, agg, *, on_multi=\"error\", max_groups=..., mode=None, use_float=False)\n--\n\n"
    "One row per distinct tuple of key values (by=), in first-seen order, with one column per aggregate (agg=: "
    "\"count\", or (op, path) with op one of \"sum\", \"min\", \"max\", \"mean\"/\"avg\", \"count_unique\", "
    "\"first\", \"last\"). max_groups defaults to 1000000; None lifts the limit."};

}  // namespace

PyMethodDef* group_by_function() { return &group_by_def; }

}  // namespace jorvane::py
