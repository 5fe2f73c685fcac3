#include "python/accumulators.h"

#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "python/py_class.h"
#include "util/text.h"

namespace jorvane::py {
namespace {

// The kinds Python offers, in the order their constructors are registered
// (and listed in messages). KeyedValues stays internal.
struct Offered {
    AccKind kind;
    const char* doc;  // the constructor's docstring
};
constexpr std::array<Offered, 13> kOffered = {{
    {AccKind::Count, "Count()\n--\n\nCount the values the query matches."},
    {AccKind::CountUnique, "CountUnique()\n--\n\nCount the distinct values the query matches."},
    {AccKind::ValueCounts, "ValueCounts()\n--\n\nCount how often each distinct matched value occurs."},
    {AccKind::Exists, "Exists()\n--\n\nTell whether the query matches anything (stops reading once it has)."},
    {AccKind::Min, "Min()\n--\n\nThe smallest numeric value matched."},
    {AccKind::Max, "Max()\n--\n\nThe largest numeric value matched."},
    {AccKind::Sum, "Sum()\n--\n\nThe sum of the numeric values matched."},
    {AccKind::Mean, "Mean()\n--\n\nThe mean of the numeric values matched."},
    {AccKind::Product, "Product()\n--\n\nThe product of the numeric values matched."},
    {AccKind::Mode, "Mode()\n--\n\nThe most frequent matched values with their count."},
    {AccKind::Types, "Types()\n--\n\nThe set of JSON types matched."},
    {AccKind::Values,
     "Values(into=None, numeric=False)\n--\n\nStream every matched value into `into` (a list), or only count "
     "them. With numeric=True the values arrive as one NumericBuffer of floats."},
    {AccKind::ValuesUnique,
     "ValuesUnique(into=None, numeric=False)\n--\n\nStream each distinct matched value once into `into`, or only "
     "count them."},
}};

// Whether a bare name, once underscores are dropped and it is lower-cased,
// names this kind.
bool is_bare_name(std::string_view norm, AccKind kind) {
    std::string_view name = engine::accumulator_kind_name(kind);
    size_t i = 0;
    for (char c : name) {
        if (c == '_') continue;
        if (i == norm.size() || norm[i] != c) return false;
        ++i;
    }
    return i == norm.size();
}

// "count, count_unique, ..." in registration order.
std::string offered_names() {
    std::string out;
    for (const Offered& o : kOffered) {
        if (!out.empty()) out += ", ";
        out += engine::accumulator_kind_name(o.kind);
    }
    return out;
}

PyObject* acc_repr(PyObject* self) {
    return guarded(
        [&]() -> PyObject* {
            const AccumulatorSpec& s = unbox<AccumulatorSpec>(self);
            std::string text = engine::accumulator_constructor_name(s.kind);
            if (engine::kind_info(s.kind).stream) {
                text += "(into=";
                text += s.into ? "<dst>" : "None";
                text += ", numeric=";
                text += s.numeric ? "True" : "False";
                text += ")";
            } else {
                text += "()";
            }
            return str(text).release();
        },
        static_cast<PyObject*>(nullptr));
}

// The destination may hold the accumulator itself (a list it was appended
// to), so the type takes part in cycle collection.
int acc_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(unbox<AccumulatorSpec>(self).into.get());
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return 0;
}

int acc_clear(PyObject* self) {
    Ref into = std::move(unbox<AccumulatorSpec>(self).into);
    return 0;
}

PyType_Slot acc_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(acc_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(acc_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_gc_dealloc<AccumulatorSpec>)},
    {Py_tp_repr, reinterpret_cast<void*>(acc_repr)},
    {Py_tp_doc, const_cast<char*>("A single accumulator plus, for streaming kinds, an optional destination.")},
    {0, nullptr},
};

PyType_Spec acc_spec = {
    "jorvane.Accumulator", static_cast<int>(sizeof(Boxed<AccumulatorSpec>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC, acc_slots,
};

Ref new_accumulator(AccKind kind, Ref into, bool numeric) {
    PyObject* type = accumulator_type();
    if (!type) return {};
    return box<AccumulatorSpec>(type, AccumulatorSpec{kind, std::move(into), numeric});
}

template <AccKind K>
PyObject* plain_ctor(PyObject*, PyObject*) {
    return guarded([] { return new_accumulator(K, Ref(), false).release(); }, static_cast<PyObject*>(nullptr));
}

template <AccKind K>
PyObject* streaming_ctor(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded(
        [&]() -> PyObject* {
            static const char* const names[] = {"into", "numeric", nullptr};
            static const std::string format = std::string("|OO:") + engine::accumulator_constructor_name(K);
            PyObject* into = Py_None;
            PyObject* numeric = Py_False;
            if (!bind_args(args, kwargs, format.c_str(), names, &into, &numeric)) return nullptr;
            bool is_numeric = false;
            if (!bool_argument(numeric, "numeric", is_numeric)) return nullptr;
            Ref dst = into == Py_None ? Ref() : Ref::borrow(into);
            return new_accumulator(K, std::move(dst), is_numeric).release();
        },
        static_cast<PyObject*>(nullptr));
}

// The constructor of the I-th offered kind: the streaming kinds take into=
// and numeric=, the others no argument.
template <size_t I>
PyMethodDef ctor_def() {
    constexpr AccKind kind = kOffered[I].kind;
    const char* name = engine::accumulator_constructor_name(kind);
    if constexpr (engine::kind_info(kind).stream.has_value()) {
        return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(streaming_ctor<kind>)),
                METH_VARARGS | METH_KEYWORDS, kOffered[I].doc};
    } else {
        return {name, plain_ctor<kind>, METH_NOARGS, kOffered[I].doc};
    }
}

template <size_t... I>
std::array<PyMethodDef, sizeof...(I) + 1> make_ctor_defs(std::index_sequence<I...>) {
    return {{ctor_def<I>()..., {nullptr, nullptr, 0, nullptr}}};
}

bool is_list(PyObject* o) { return PyList_Check(o); }

}  // namespace

PyObject* accumulator_type() {
    static PyObject* cell = nullptr;
    return cached_type(cell, [] { return type_from_spec(&acc_spec); });
}

PyMethodDef* accumulator_constructors() {
    static std::array<PyMethodDef, kOffered.size() + 1> defs = make_ctor_defs(std::make_index_sequence<kOffered.size()>());
    return defs.data();
}

bool extract_one_accumulator(PyObject* obj, AccumulatorSpec& out) {
    PyObject* type = accumulator_type();
    if (!type) return false;
    if (PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) {
        const AccumulatorSpec& s = unbox<AccumulatorSpec>(obj);
        out = AccumulatorSpec{s.kind, s.into, s.numeric};
        return true;
    }
    std::string given;
    if (!as_text(obj, given)) {
        raise(PyExc_ValueError,
              "accumulators must be Accumulator objects (Count(), Sum(), ...) or bare-name strings "
              "(\"count\", \"sum\", ...)");
        return false;
    }
    // str's own replace (a subclass's override is not consulted); its result is an exact str.
    Ref underscore = str("_"), nothing = str("");
    if (!underscore || !nothing) return false;
    Ref stripped = Ref::steal(PyUnicode_Replace(obj, underscore.get(), nothing.get(), -1));
    if (!stripped) return false;
    Ref lowered = Ref::steal(PyObject_CallMethod(stripped.get(), "lower", nullptr));
    std::string norm;
    if (!lowered || !as_utf8(lowered.get(), norm)) return false;
    for (const Offered& o : kOffered) {
        if (is_bare_name(norm, o.kind)) {
            out = AccumulatorSpec{o.kind, Ref(), false};
            return true;
        }
    }
    raise(PyExc_ValueError, "unknown accumulator " + debug_quote(given) + "; expected one of: " + offered_names() +
                                " (or an Accumulator object such as Values(into=...))");
    return false;
}

bool extract_accumulators(PyObject* obj, std::vector<AccumulatorSpec>& out) {
    out.clear();
    if (is_list(obj)) {
        Py_ssize_t n = PyList_Size(obj);
        for (Py_ssize_t i = 0; i < n; ++i) {
            // Hold the element: the list may be changed by code we call.
            Ref item = Ref::borrow(PyList_GetItem(obj, i));
            if (!item) return false;
            AccumulatorSpec spec;
            if (!extract_one_accumulator(item.get(), spec)) return false;
            out.push_back(std::move(spec));
            n = PyList_Size(obj);
        }
        return true;
    }
    AccumulatorSpec spec;
    if (!extract_one_accumulator(obj, spec)) return false;
    out.push_back(std::move(spec));
    return true;
}

bool extract_query_strings(PyObject* obj, std::vector<std::string>& out) {
    out.clear();
    if (std::string text; as_text(obj, text)) {
        out.push_back(std::move(text));
        return true;
    }
    if (is_list(obj)) {
        Py_ssize_t n = PyList_Size(obj);
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref item = Ref::borrow(PyList_GetItem(obj, i));
            if (!item) return false;
            std::string text;
            if (!as_text(item.get(), text)) {
                raise(PyExc_ValueError, "queries must be strings");
                return false;
            }
            out.push_back(std::move(text));
        }
        return true;
    }
    raise(PyExc_ValueError, "queries must be a string, a list of strings, or a dict");
    return false;
}

}  // namespace jorvane::py
