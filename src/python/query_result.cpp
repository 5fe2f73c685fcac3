#include "python/query_result.h"

#include <algorithm>
#include <string>
#include <vector>

#include "python/py_class.h"
#include "python/value_convert.h"
#include "util/float_text.h"

namespace jorvane::py {
namespace {

using engine::QueryOutput;

const QueryResultData& data(PyObject* self) { return unbox<QueryResultData>(self); }

Ref opt_uint(std::optional<uint64_t> v) { return v ? uinteger(*v) : none(); }
Ref opt_float(std::optional<double> v) { return v ? floating(*v) : none(); }

template <class F>
PyObject* method(PyObject* self, F&& f) {
    return guarded([&]() -> PyObject* { return f(data(self)).release(); }, static_cast<PyObject*>(nullptr));
}

PyObject* qr_count(PyObject* self, PyObject*) {
    return method(self, [](const QueryResultData& d) { return opt_uint(d.output.count_answer()); });
}
PyObject* qr_count_unique(PyObject* self, PyObject*) {
    return method(self, [](const QueryResultData& d) { return opt_uint(d.output.count_unique_answer()); });
}
PyObject* qr_exists(PyObject* self, PyObject*) {
    return method(self, [](const QueryResultData& d) {
        uint8_t e = d.output.exists();
        return e == engine::kExistsUndetermined ? none() : boolean(e == engine::kExistsTrue);
    });
}
PyObject* qr_min(PyObject* self, PyObject*) {
    return method(self, [](const QueryResultData& d) { return opt_float(d.output.min); });
}
PyObject* qr_max(PyObject* self, PyObject*) {
    return method(self, [](const QueryResultData& d) { return opt_float(d.output.max); });
}
PyObject* qr_sum(PyObject* self, PyObject*) {
    return method(self, [](const QueryResultData& d) { return opt_float(d.output.sum); });
}
PyObject* qr_mean(PyObject* self, PyObject*) {
    return method(self, [](const QueryResultData& d) { return opt_float(d.output.mean); });
}
PyObject* qr_product(PyObject* self, PyObject*) {
    return method(self, [](const QueryResultData& d) { return opt_float(d.output.product); });
}
PyObject* qr_agg_skipped(PyObject* self, PyObject*) {
    return method(self, [](const QueryResultData& d) { return uinteger(d.output.agg_skipped); });
}

PyObject* qr_mode(PyObject* self, PyObject*) {
    return method(self, [](const QueryResultData& d) -> Ref {
        std::optional<std::vector<engine::ValueCount>> entries = d.output.mode();
        if (!entries) return none();
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return {};
        for (const auto& e : *entries) {
            Ref v = value_to_py(e.value, d.use_float);
            if (!v) return {};
            Ref c = uinteger(e.count);
            if (!c) return {};
            Ref pair = Ref::steal(PyList_New(2));
            if (!pair) return {};
            PyList_SetItem(pair.get(), 0, v.release());
            PyList_SetItem(pair.get(), 1, c.release());
            if (PyList_Append(list.get(), pair.get()) < 0) return {};
        }
        return list;
    });
}

// JSON values that are distinct but equal as Python keys (true and 1, false
// and 0, 1 and 1.0 with use_float) share one entry holding the sum of their
// counts.
PyObject* qr_value_counts(PyObject* self, PyObject*) {
    return method(self, [](const QueryResultData& d) -> Ref {
        if (!d.output.value_counts) return none();
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return {};
        for (const auto& e : *d.output.value_counts) {
            Ref key = value_to_py(e.value, d.use_float);
            if (!key) return {};
            PyObject* prev = PyDict_GetItemWithError(dict.get(), key.get());  // borrowed
            if (!prev && PyErr_Occurred()) return {};
            Ref count = uinteger(e.count);
            if (!count) return {};
            if (prev) {
                count = Ref::steal(PyNumber_Add(prev, count.get()));
                if (!count) return {};
            }
            if (PyDict_SetItem(dict.get(), key.get(), count.get()) < 0) return {};
        }
        return dict;
    });
}

PyObject* qr_types(PyObject* self, PyObject*) {
    return method(self, [](const QueryResultData& d) -> Ref {
        if (!d.output.types) return none();
        Ref set = Ref::steal(PySet_New(nullptr));
        if (!set) return {};
        for (engine::JsonType t : *d.output.types) {
            Ref name = str(engine::json_type_name(t));
            if (!name || PySet_Add(set.get(), name.get()) < 0) return {};
        }
        return set;
    });
}

PyObject* qr_is_partial(PyObject* self, void*) { return boolean(data(self).bytes_override.has_value()).release(); }

PyObject* qr_bytes_covered(PyObject* self, void*) {
    const QueryResultData& d = data(self);
    if (d.bytes_override) return uinteger(*d.bytes_override).release();
    return opt_uint(d.output.bytes_covered).release();
}

PyObject* qr_repr(PyObject* self) {
    return guarded(
        [&]() -> PyObject* {
            const QueryResultData& d = data(self);
            const QueryOutput& o = d.output;
            std::vector<std::string> parts;
            if (auto c = o.count_answer()) parts.push_back("count=" + std::to_string(*c));
            if (auto c = o.count_unique_answer()) parts.push_back("count_unique=" + std::to_string(*c));
            if (uint8_t e = o.exists(); e != engine::kExistsUndetermined)
                parts.push_back(std::string("exists=") + (e == engine::kExistsTrue ? "True" : "False"));
            auto num = [&](const char* name, const std::optional<double>& v) {
                if (v) parts.push_back(std::string(name) + "=" + float_text(*v));
            };
            num("min", o.min);
            num("max", o.max);
            num("sum", o.sum);
            num("mean", o.mean);
            num("product", o.product);
            if (auto m = o.mode()) parts.push_back("mode=<" + std::to_string(m->size()) + " value(s)>");
            if (o.value_counts) parts.push_back("value_counts=<" + std::to_string(o.value_counts->size()) + " key(s)>");
            if (o.types) {
                std::vector<std::string> names;
                for (engine::JsonType t : *o.types) names.emplace_back(engine::json_type_name(t));
                std::sort(names.begin(), names.end());
                std::string t = "types={";
                for (size_t i = 0; i < names.size(); ++i) t += (i ? ", " : "") + names[i];
                parts.push_back(t + "}");
            }
            std::string joined;
            for (size_t i = 0; i < parts.size(); ++i) joined += (i ? ", " : "") + parts[i];
            std::string text;
            if (d.bytes_override)
                text = "QueryResult(PARTIAL through byte " + std::to_string(*d.bytes_override) + ": " + joined + ")";
            else if (o.bytes_covered)
                text = "QueryResult(" + joined + ", stopped at byte " + std::to_string(*o.bytes_covered) + ")";
            else
                text = "QueryResult(" + joined + ")";
            return str(text).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef qr_methods[] = {
    {"count", qr_count, METH_NOARGS, "count($self)\n--\n\nHow many values matched (None when nothing counted them)."},
    {"count_unique", qr_count_unique, METH_NOARGS, "count_unique($self)\n--\n\nHow many distinct values matched."},
    {"exists", qr_exists, METH_NOARGS, "exists($self)\n--\n\nWhether anything matched (None when nothing can tell)."},
    {"min", qr_min, METH_NOARGS, "min($self)\n--\n\nThe smallest numeric value matched."},
    {"max", qr_max, METH_NOARGS, "max($self)\n--\n\nThe largest numeric value matched."},
    {"sum", qr_sum, METH_NOARGS, "sum($self)\n--\n\nThe sum of the numeric values matched."},
    {"mean", qr_mean, METH_NOARGS, "mean($self)\n--\n\nThe mean of the numeric values matched."},
    {"product", qr_product, METH_NOARGS, "product($self)\n--\n\nThe product of the numeric values matched."},
    {"agg_skipped", qr_agg_skipped, METH_NOARGS,
     "agg_skipped($self)\n--\n\nHow many matches the numeric accumulators skipped as not numeric."},
    {"mode", qr_mode, METH_NOARGS, "mode($self)\n--\n\nThe most frequent values, as [value, count] lists."},
    {"value_counts", qr_value_counts, METH_NOARGS,
     "value_counts($self)\n--\n\nA dict of each matched value to its count."},
    {"types", qr_types, METH_NOARGS, "types($self)\n--\n\nThe set of JSON type names matched."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef qr_getset[] = {
    {"is_partial", qr_is_partial, nullptr, "True for a result that covers only part of its source.", nullptr},
    {"bytes_covered", qr_bytes_covered, nullptr,
     "The byte the scan reached when it did not read the whole source, else None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot qr_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<QueryResultData>)},
    {Py_tp_repr, reinterpret_cast<void*>(qr_repr)},
    {Py_tp_methods, qr_methods},
    {Py_tp_getset, qr_getset},
    {Py_tp_doc, const_cast<char*>("One query's answer on one source.")},
    {0, nullptr},
};

PyType_Spec qr_spec = {
    "jorvane.QueryResult", static_cast<int>(sizeof(Boxed<QueryResultData>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, qr_slots,
};

}  // namespace

PyObject* query_result_type() {
    static PyObject* cell = nullptr;
    return cached_type(cell, [] { return type_from_spec(&qr_spec); });
}

Ref make_query_result(engine::QueryOutput output, std::optional<uint64_t> bytes_override, bool use_float) {
    PyObject* type = query_result_type();
    if (!type) return {};
    return box<QueryResultData>(type, QueryResultData{std::move(output), bytes_override, use_float});
}

}  // namespace jorvane::py
