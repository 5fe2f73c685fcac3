// table() and the Table class. A Table holds the typed columns as the
// extraction left them; column(name) converts one of them and leaves it in
// place, while the whole-table conversions take each column out as they go
// (so the table's copy and the Python copy never coexist in full) and are
// therefore one-shot: a second one, or column() afterwards, is refused.
#include "python/table.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/arrow_column.h"
#include "python/borrow.h"
#include "python/column_py.h"
#include "python/exceptions.h"
#include "python/lazy_imports.h"
#include "python/open_resolved.h"
#include "python/py_class.h"
#include "python/signal_check.h"
#include "python/table_request.h"
#include "table/table_split.h"
#include "table/table_stream.h"
#include "util/text.h"

namespace jorvane::py {
namespace {

constexpr const char* kOneShot =
    "this Table's columns have already been converted. A conversion frees each column as it goes, to keep peak "
    "memory down, so it can only be attempted once \u2014 even a conversion that failed partway has freed the "
    "columns it reached. Keep the result of the first successful call";

struct TableData {
    table::Table table;
    bool use_float = false;
    bool converted = false;
    BorrowFlag flag;
};

TableData& data(PyObject* self) { return unbox<TableData>(self); }

// How a conversion hands its columns over: as Python objects, through Arrow
// except for Mixed columns (which go as Python objects), or all through Arrow.
enum class Through : uint8_t { Python, ArrowTyped, Arrow };

// The one-shot guard of the whole-table conversions. The columns a
// conversion would hand over through Arrow are checked for an Arrow layout
// first: a refusal found only when its column comes up would leave the
// columns before it freed, and the to_dict() or to_polars() that the
// refusal advises could not run any more.
bool check_available(TableData& d, Through through = Through::Python) {
    if (d.converted) {
        raise(PyExc_RuntimeError, kOneShot);
        return false;
    }
    for (size_t i = 0; through != Through::Python && i < d.table.names.size(); ++i) {
        const table::Column& c = d.table.columns[i];
        if (through == Through::ArrowTyped && c.kind() == table::Column::Kind::Mixed) continue;
        if (!check_exportable(d.table.names[i], c)) return false;
    }
    d.converted = true;
    return true;
}

// Takes column i out of the table, leaving an empty Mixed column in its slot.
table::Column take_column(TableData& d, size_t i) { return std::exchange(d.table.columns[i], table::Column{}); }

PyObject* t_to_dict(PyObject* self, PyObject*) {
    return guarded(
        [&]() -> PyObject* {
            TableData& d = data(self);
            Borrow borrow(d.flag, true);
            if (!borrow.ok() || !check_available(d)) return nullptr;
            Ref dict = Ref::steal(PyDict_New());
            if (!dict) return nullptr;
            for (size_t i = 0; i < d.table.names.size(); ++i) {
                Ref value = column_to_py(take_column(d, i), d.use_float);
                Ref key = value ? str(d.table.names[i]) : Ref();
                if (!key || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
            }
            return dict.release();
        },
        static_cast<PyObject*>(nullptr));
}

// The dtype pandas gives a column of str when it keeps such columns in Arrow
// (pandas' string dtype on pyarrow storage), with pyarrow, in `out`; left
// empty when pandas keeps them otherwise or pyarrow is not installed. A
// string column then goes over as an Arrow array that pandas takes as it is:
// a list of str objects would be made only for pandas to encode it into
// Arrow again, which costs more than the rest of the column. False with the
// exception set when the look or an installed pyarrow's import fails (an
// interrupt there is no answer).
struct ArrowStrings {
    Ref pyarrow;
    Ref dtype;
};
bool arrow_strings(PyObject* pandas, std::optional<ArrowStrings>& out) {
    out.reset();
    Ref series_class = Ref::steal(PyObject_GetAttrString(pandas, "Series"));
    Ref sample = series_class ? Ref::steal(Py_BuildValue("([s])", "a")) : Ref();
    Ref series = sample ? Ref::steal(PyObject_CallObject(series_class.get(), sample.get())) : Ref();
    Ref dtype = series ? Ref::steal(PyObject_GetAttrString(series.get(), "dtype")) : Ref();
    if (!dtype) return false;
    Ref storage = Ref::steal(PyObject_GetAttrString(dtype.get(), "storage"));
    if (!storage) {
        // numpy's object dtype has no storage: str stays Python objects
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    std::string storage_text;
    if (!PyUnicode_Check(storage.get())) return true;
    if (!str_of(storage.get(), storage_text)) return false;
    if (storage_text != "pyarrow") return true;
    Ref pyarrow = import_optional("pyarrow");
    if (!pyarrow) return !PyErr_Occurred();
    out = ArrowStrings{std::move(pyarrow), std::move(dtype)};
    return true;
}

// A pandas value for one column: nullable integers and UTC timestamps get
// the forms pandas has for them, strings go over in Arrow when pandas keeps
// them so (`strings`); everything else goes as column_to_py gives it.
Ref pandas_column(PyObject* pandas, table::Column c, bool use_float, const std::optional<ArrowStrings>& strings) {
    using K = table::Column::Kind;
    if (c.kind() == K::Str && strings) {
        Ref array = pyarrow_array_of(strings->pyarrow.get(), "", std::move(c), "");
        Ref make = array ? Ref::steal(PyObject_GetAttrString(pandas, "array")) : Ref();
        Ref args = make ? Ref::steal(PyTuple_Pack(2, array.get(), strings->dtype.get())) : Ref();
        if (!args) return {};
        return Ref::steal(PyObject_CallObject(make.get(), args.get()));
    }
    if (c.kind() == K::Int64 && c.as<K::Int64>().validity) {
        const auto& col = c.as<K::Int64>();
        std::vector<uint8_t> mask(col.size());
        for (size_t r = 0; r < mask.size(); ++r) mask[r] = col.valid(r) ? 0 : 1;
        Ref values = numeric_array_of(col.values, "int64");
        Ref missing = values ? numeric_array_of(mask, "bool") : Ref();
        Ref arrays = missing ? Ref::steal(PyObject_GetAttrString(pandas, "arrays")) : Ref();
        Ref integer_array = arrays ? Ref::steal(PyObject_GetAttrString(arrays.get(), "IntegerArray")) : Ref();
        if (!integer_array) return {};
        return Ref::steal(PyObject_CallFunctionObjArgs(integer_array.get(), values.get(), missing.get(), nullptr));
    }
    if (c.kind() == K::Timestamp) {
        const auto& col = c.as<K::Timestamp>();
        std::vector<int64_t> stamps = col.values;
        for (size_t r = 0; r < stamps.size(); ++r)
            if (!col.valid(r)) stamps[r] = INT64_MIN;  // numpy's not-a-time
        Ref array = numeric_array_of(stamps, "datetime64[us]");
        Ref series_class = array ? Ref::steal(PyObject_GetAttrString(pandas, "Series")) : Ref();
        Ref series = series_class ? Ref::steal(PyObject_CallFunctionObjArgs(series_class.get(), array.get(), nullptr))
                                  : Ref();
        Ref dt = series ? Ref::steal(PyObject_GetAttrString(series.get(), "dt")) : Ref();
        if (!dt) return {};
        return Ref::steal(PyObject_CallMethod(dt.get(), "tz_localize", "s", "UTC"));
    }
    if (c.kind() == K::IntN) {
        static const char* const kNames[] = {"Int8", "Int16", "Int32"};
        const auto& col = c.as<K::IntN>();
        Ref list = nullable_to_list(col.data);
        Ref array = list ? Ref::steal(PyObject_GetAttrString(pandas, "array")) : Ref();
        Ref args = array ? Ref::steal(PyTuple_Pack(1, list.get())) : Ref();
        Ref kwargs = Ref::steal(PyDict_New());
        Ref dtype = str(kNames[col.width < 3 ? col.width : 2]);
        if (!args || !kwargs || !dtype || PyDict_SetItemString(kwargs.get(), "dtype", dtype.get()) < 0) return {};
        return Ref::steal(PyObject_Call(array.get(), args.get(), kwargs.get()));
    }
    return column_to_py(std::move(c), use_float);
}

PyObject* t_to_pandas(PyObject* self, PyObject*) {
    return guarded(
        [&]() -> PyObject* {
            TableData& d = data(self);
            Borrow borrow(d.flag, true);
            if (!borrow.ok()) return nullptr;
            Ref pandas = import_or_refuse("pandas", "to_pandas() needs pandas installed; use to_dict() for a plain dict of lists");
            std::optional<ArrowStrings> strings;
            if (!pandas || !arrow_strings(pandas.get(), strings) || !check_available(d)) return nullptr;
            Ref dict = Ref::steal(PyDict_New());
            Ref names = Ref::steal(PyList_New(0));
            if (!dict || !names) return nullptr;
            for (size_t i = 0; i < d.table.names.size(); ++i) {
                Ref value = pandas_column(pandas.get(), take_column(d, i), d.use_float, strings);
                Ref key = value ? str(d.table.names[i]) : Ref();
                if (!key || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0 ||
                    PyList_Append(names.get(), key.get()) < 0)
                    return nullptr;
            }
            // The columns are new objects nothing else holds: the frame takes
            // them as they are (copy=False) instead of copying each into blocks
            // of its own, which would hold a second copy of the table for a
            // while and, for a column of objects, touch every one of them again.
            Ref frame = Ref::steal(PyObject_GetAttrString(pandas.get(), "DataFrame"));
            Ref args = frame ? Ref::steal(PyTuple_Pack(1, dict.get())) : Ref();
            Ref kwargs = Ref::steal(PyDict_New());
            if (!args || !kwargs || PyDict_SetItemString(kwargs.get(), "columns", names.get()) < 0 ||
                PyDict_SetItemString(kwargs.get(), "copy", Py_False) < 0)
                return nullptr;
            return PyObject_Call(frame.get(), args.get(), kwargs.get());
        },
        static_cast<PyObject*>(nullptr));
}

// A polars value for one column: Mixed columns as Python objects (polars has
// no Arrow type for them either), every other kind through the Arrow export.
Ref polars_column(PyObject* polars, const std::string& name, table::Column c, bool use_float) {
    Ref series_class = Ref::steal(PyObject_GetAttrString(polars, "Series"));
    if (!series_class) return {};
    Ref key = str(name);
    if (!key) return {};
    if (c.kind() == table::Column::Kind::Mixed) {
        Ref values = column_to_py(c, use_float);
        c = table::Column{};
        Ref object = values ? Ref::steal(PyObject_GetAttrString(polars, "Object")) : Ref();
        Ref args = object ? Ref::steal(PyTuple_Pack(2, key.get(), values.get())) : Ref();
        Ref kwargs = args ? Ref::steal(PyDict_New()) : Ref();
        if (!kwargs || PyDict_SetItemString(kwargs.get(), "dtype", object.get()) < 0 ||
            PyDict_SetItemString(kwargs.get(), "strict", Py_False) < 0)
            return {};
        return Ref::steal(PyObject_Call(series_class.get(), args.get(), kwargs.get()));
    }
    Ref wrapped = arrow_column_of(name, std::move(c));
    if (!wrapped) return {};
    return Ref::steal(PyObject_CallFunctionObjArgs(series_class.get(), key.get(), wrapped.get(), nullptr));
}

PyObject* t_to_polars(PyObject* self, PyObject*) {
    return guarded(
        [&]() -> PyObject* {
            TableData& d = data(self);
            Borrow borrow(d.flag, true);
            if (!borrow.ok()) return nullptr;
            Ref polars = import_or_refuse("polars", "to_polars() needs polars installed; use to_dict() for a plain dict of lists");
            if (!polars || !check_available(d, Through::ArrowTyped)) return nullptr;
            Ref dict = Ref::steal(PyDict_New());
            if (!dict) return nullptr;
            for (size_t i = 0; i < d.table.names.size(); ++i) {
                Ref value = polars_column(polars.get(), d.table.names[i], take_column(d, i), d.use_float);
                Ref key = value ? str(d.table.names[i]) : Ref();
                if (!key || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
            }
            Ref frame = Ref::steal(PyObject_GetAttrString(polars.get(), "DataFrame"));
            if (!frame) return nullptr;
            return PyObject_CallFunctionObjArgs(frame.get(), dict.get(), nullptr);
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* t_to_arrow(PyObject* self, PyObject*) {
    return guarded(
        [&]() -> PyObject* {
            TableData& d = data(self);
            Borrow borrow(d.flag, true);
            if (!borrow.ok()) return nullptr;
            Ref pyarrow = import_or_refuse("pyarrow", "to_arrow() needs pyarrow installed; use to_dict() for a plain dict of lists");
            if (!pyarrow || !check_available(d, Through::Arrow)) return nullptr;
            Ref arrays = Ref::steal(PyList_New(0));
            Ref names = Ref::steal(PyList_New(0));
            if (!arrays || !names) return nullptr;
            for (size_t i = 0; i < d.table.names.size(); ++i) {
                Ref array = pyarrow_array_of(pyarrow.get(), d.table.names[i], take_column(d, i));
                Ref key = array ? str(d.table.names[i]) : Ref();
                if (!key || PyList_Append(arrays.get(), array.get()) < 0 || PyList_Append(names.get(), key.get()) < 0)
                    return nullptr;
            }
            Ref table_class = Ref::steal(PyObject_GetAttrString(pyarrow.get(), "Table"));
            Ref from_arrays = table_class ? Ref::steal(PyObject_GetAttrString(table_class.get(), "from_arrays")) : Ref();
            Ref args = from_arrays ? Ref::steal(PyTuple_Pack(1, arrays.get())) : Ref();
            Ref kwargs = args ? Ref::steal(PyDict_New()) : Ref();
            if (!kwargs || PyDict_SetItemString(kwargs.get(), "names", names.get()) < 0) return nullptr;
            return PyObject_Call(from_arrays.get(), args.get(), kwargs.get());
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* t_column(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded(
        [&]() -> PyObject* {
            TableData& d = data(self);
            Borrow borrow(d.flag, false);
            if (!borrow.ok()) return nullptr;
            static const char* const names[] = {"name", nullptr};
            PyObject* arg = nullptr;
            if (!bind_args(args, kwargs, "O:column", names, &arg)) return nullptr;
            std::string name;
            if (!required_str_argument(arg, "name", name)) return nullptr;
            if (d.converted) return raise(PyExc_RuntimeError, kOneShot);
            for (size_t i = 0; i < d.table.names.size(); ++i)
                if (d.table.names[i] == name) return column_to_py(d.table.columns[i], d.use_float).release();
            return raise(PyExc_ValueError, "no column named " + debug_quote(name));
        },
        static_cast<PyObject*>(nullptr));
}

// The shared-access members: a borrow check, then the value.
template <class F>
PyObject* shared(PyObject* self, F&& f) {
    return guarded(
        [&]() -> PyObject* {
            TableData& d = data(self);
            Borrow borrow(d.flag, false);
            if (!borrow.ok()) return nullptr;
            return f(d).release();
        },
        static_cast<PyObject*>(nullptr));
}

std::string column_list(const TableData& d) {
    std::string out;
    for (size_t i = 0; i < d.table.names.size(); ++i) {
        if (i) out += ", ";
        out += d.table.names[i] + ":" + d.table.columns[i].dtype_name();
    }
    return out;
}

PyObject* t_repr(PyObject* self) {
    return shared(self, [](const TableData& d) {
        // A converted table's slots hold nothing worth listing.
        std::string text = "Table(" + std::to_string(d.table.n_rows) + " rows, " +
                           (d.converted ? std::string("converted") : "[" + column_list(d) + "]");
        if (d.table.bytes_covered) text += ", stopped at byte " + std::to_string(*d.table.bytes_covered);
        return str(text + ")");
    });
}

Py_ssize_t t_len(PyObject* self) {
    TableData& d = data(self);
    Borrow borrow(d.flag, false);
    if (!borrow.ok()) return -1;
    return static_cast<Py_ssize_t>(d.table.n_rows);
}

PyObject* t_names(PyObject* self, void*) {
    return shared(self, [](const TableData& d) {
        Ref list = Ref::steal(PyList_New(0));
        for (const auto& n : d.table.names) {
            Ref s = str(n);
            if (!list || !s || PyList_Append(list.get(), s.get()) < 0) return Ref();
        }
        return list;
    });
}

PyObject* t_dtypes(PyObject* self, void*) {
    return shared(self, [](const TableData& d) {
        Ref list = Ref::steal(PyList_New(0));
        for (size_t i = 0; list && i < d.table.names.size(); ++i) {
            Ref pair = Ref::steal(Py_BuildValue("(ss)", d.table.names[i].c_str(), d.table.columns[i].dtype_name()));
            if (!pair || PyList_Append(list.get(), pair.get()) < 0) return Ref();
        }
        return list;
    });
}

PyObject* t_n_rows(PyObject* self, void*) {
    return shared(self, [](const TableData& d) { return uinteger(d.table.n_rows); });
}

PyObject* t_bytes_covered(PyObject* self, void*) {
    return shared(self, [](const TableData& d) {
        return d.table.bytes_covered ? uinteger(*d.table.bytes_covered) : none();
    });
}

PyMethodDef t_methods[] = {
    {"column", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(t_column)), METH_VARARGS | METH_KEYWORDS,
     "column($self, name)\n--\n\nOne column as a numpy array or a list; the table is left intact."},
    {"to_dict", t_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\nEvery column under its name (one-shot: the table's columns are freed as they convert)."},
    {"to_pandas", t_to_pandas, METH_NOARGS, "to_pandas($self)\n--\n\nA pandas DataFrame of the table (one-shot)."},
    {"to_polars", t_to_polars, METH_NOARGS,
     "to_polars($self)\n--\n\nA polars DataFrame of the table, typed columns crossing as Arrow buffers (one-shot)."},
    {"to_arrow", t_to_arrow, METH_NOARGS,
     "to_arrow($self)\n--\n\nA pyarrow Table of the table, columns crossing as Arrow buffers (one-shot)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef t_getset[] = {
    {"names", t_names, nullptr, "The column names, in order.", nullptr},
    {"dtypes", t_dtypes, nullptr, "(name, dtype) per column, in order.", nullptr},
    {"n_rows", t_n_rows, nullptr, "The number of rows.", nullptr},
    {"bytes_covered", t_bytes_covered, nullptr,
     "Where a row limit stopped the scan, in bytes of the source; None when the source was read to the end.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot t_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<TableData>)},
    {Py_tp_repr, reinterpret_cast<void*>(t_repr)},
    {Py_tp_methods, t_methods},
    {Py_tp_getset, t_getset},
    {Py_sq_length, reinterpret_cast<void*>(t_len)},
    {Py_tp_doc, const_cast<char*>("A table extracted by table(), group_by() or table_batches(): typed columns that "
                                  "convert once to a dict, pandas, polars or pyarrow.")},
    {0, nullptr},
};

PyType_Spec t_spec = {
    "jorvane.Table", static_cast<int>(sizeof(Boxed<TableData>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, t_slots,
};

Ref run_table(PyObject* source, const std::string& rows, PyObject* columns, const std::string& on_multi,
              std::optional<uint64_t> limit, const std::optional<std::string>& mode_name, bool use_float,
              PyObject* dtypes) {
    std::optional<table::TableSpec> spec = parse_table_spec(rows, columns, on_multi, limit, dtypes);
    if (!spec) return {};
    const run::SplitFacts facts = table::table_split_facts();
    std::optional<OneSource> one = open_table_source(source, mode_name, nullptr, facts, "table()");
    if (!one) return {};
    SignalCheck signals;
    std::optional<Result<table::Table, JorvaneError>> extracted;
    {
        NoGil released;
        extracted.emplace([&]() -> Result<table::Table, JorvaneError> {
            auto stream = table::TableStream::make(std::move(*spec), one->mode, std::move(one->source), UINT64_MAX,
                                                   table::TableSplitOptions{one->walkers});
            if (!stream) return make_err(std::move(stream.error()));
            auto ready = stream->advance(&signals);
            if (!ready) return make_err(std::move(ready.error()));
            return stream->emit();
        }());
    }
    if (!*extracted) return Ref::steal(signals.raise(std::move(extracted->error())));
    return make_table(std::move(extracted->value()), use_float);
}

PyObject* table_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded(
        [&]() -> PyObject* {
            static const char* const names[] = {"source", "rows", "columns", "on_multi", "limit", "mode",
                                                "use_float", "dtypes", nullptr};
            PyObject *source = nullptr, *rows = nullptr, *columns = nullptr, *on_multi = nullptr, *limit = Py_None,
                     *mode = Py_None, *use_float = Py_False, *dtypes = Py_None;
            if (!bind_args(args, kwargs, "OOO|$OOOOO:table", names, &source, &rows, &columns, &on_multi, &limit, &mode,
                           &use_float, &dtypes))
                return nullptr;
            std::string rows_text, on_multi_text = "error";
            std::optional<uint64_t> limit_value;
            std::optional<std::string> mode_name;
            bool floats = false;
            PyObject* dtype_dict = nullptr;
            if (!required_str_argument(rows, "rows", rows_text) ||
                (on_multi && !required_str_argument(on_multi, "on_multi", on_multi_text)) ||
                !u64_argument(limit, "limit", limit_value) || !str_argument(mode, "mode", mode_name) ||
                !bool_argument(use_float, "use_float", floats) || !dict_argument(dtypes, "dtypes", dtype_dict))
                return nullptr;
            return run_table(source, rows_text, columns, on_multi_text, limit_value, mode_name, floats, dtype_dict)
                .release();
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef table_def = {
    "table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_fn)), METH_VARARGS | METH_KEYWORDS,
    "table(source, rows, columns, *, on_multi=\"error\", limit=None, mode=None, use_float=False, dtypes=None)\n--\n\n"
    "Extract a typed table from one source: one row per match of `rows`, one column per {name: path} (paths "
    "relative to the row)."};

}  // namespace

PyObject* table_type() {
    static PyObject* cell = nullptr;
    return cached_type(cell, [] { return type_from_spec(&t_spec); });
}

Ref make_table(table::Table t, bool use_float) {
    PyObject* type = table_type();
    if (!type) return {};
    TableData d;
    d.table = std::move(t);
    d.use_float = use_float;
    return box<TableData>(type, std::move(d));
}

PyMethodDef* table_function() { return &table_def; }

}  // namespace jorvane::py
