// Each batch of the table stream becomes a pyarrow record batch through the
// Arrow export (columns cross as buffers, never cell by cell) and goes to
// pyarrow's writer, which is opened with the first batch's schema. Column
// types are inferred batch by batch, so a later batch may disagree with the
// first: it is cast to the file's schema, and a cast pyarrow cannot make
// ends the run with a message pointing at dtypes=. The writer is closed
// only when every batch was written; a failed run drops it unclosed, so the
// rows already handed to it are left to pyarrow. A source without rows
// still gets a file, its schema built from the request.
//
// pyarrow opens (and truncates) the output when the writer is made, before
// it looks at the writer's options or the schema, so a Parquet compression
// it refuses, and a schema it refuses (a list column in CSV), are found
// first on trial writers in memory: an existing output file is never touched
// by a call that is refused.
#include "python/table_writers.h"

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/arrow_column.h"
#include "python/batch_stream.h"
#include "python/exceptions.h"
#include "python/lazy_imports.h"
#include "python/py_class.h"
#include "python/signal_check.h"
#include "python/table_request.h"
#include "table/batch_read_ahead.h"
#include "table/dtype.h"
#include "util/text.h"

namespace jorvane::py {
namespace {

constexpr const char* kBatchRefusal = "; a chunked writer needs a single type per column \u2014 declare it via dtypes=";

// What tells the two file formats apart.
struct Format {
    const char* function;        // the Python function's name
    const char* label;           // the format's name in messages
    const char* module_name;     // pyarrow's writer module
    const char* import_refusal;  // the ImportError text when it is missing
    const char* opener;          // the writer class in that module
    const char* option_name;     // the keyword the writer is opened with
    const char* write_method;    // the writer's method that takes one batch
};

constexpr Format kParquet{"write_parquet", "Parquet", "pyarrow.parquet", "write_parquet() needs pyarrow installed",
                          "ParquetWriter", "compression", "write_batch"};
constexpr Format kCsv{"write_csv", "CSV", "pyarrow.csv", "write_csv() needs pyarrow installed",
                      "CSVWriter", "write_options", "write"};

// A column of the request: its name, its path and its declared type (for
// the schema of a file without rows).
struct PlannedColumn {
    std::string name;
    std::string path;
    std::optional<table::DType> dtype;
};

Ref call_attr(PyObject* owner, const char* name, PyObject* args = nullptr, PyObject* kwargs = nullptr) {
    Ref fn = Ref::steal(PyObject_GetAttrString(owner, name));
    if (!fn) return {};
    Ref no_args = args ? Ref() : Ref::steal(PyTuple_New(0));
    if (!args && !no_args) return {};
    return Ref::steal(PyObject_Call(fn.get(), args ? args : no_args.get(), kwargs));
}

// Whether pyarrow.types.`test`(type) holds; nothing with the exception set.
std::optional<bool> type_is(PyObject* pyarrow, const char* test, PyObject* type) {
    Ref types = Ref::steal(PyObject_GetAttrString(pyarrow, "types"));
    Ref args = types ? Ref::steal(PyTuple_Pack(1, type)) : Ref();
    Ref answer = args ? call_attr(types.get(), test, args.get()) : Ref();
    const int truth = answer ? PyObject_IsTrue(answer.get()) : -1;
    if (truth < 0) return std::nullopt;
    return truth == 1;
}

// A path that picks one element of what `path` matches, for the refusal of
// a list column: a last step over all elements becomes the first element.
std::string element_path(const std::string& path) {
    for (const char* all : {"[*]", "[:]"})
        if (path.ends_with(all)) return path.substr(0, path.size() - 3) + "[0]";
    return path + "[0]";
}

// Raises ValueError `message`, followed by pyarrow's reason, with pyarrow's
// exception `refusal` as its cause. Always false.
bool refuse(const Ref& refusal, const std::string& message) {
    std::string text;
    if (!str_of(refusal.get(), text)) return false;
    raise(PyExc_ValueError, message + " (" + type_name(refusal.get()) + ": " + text + ")");
    Ref raised = take_error();
    PyException_SetCause(raised.get(), Ref(refusal).release());
    restore_error(std::move(raised));
    return false;
}

// One run's fixed parts: the format, pyarrow and its writer module, the
// output path (a str), the value of the opening keyword and the columns.
struct Target {
    const Format& format;
    PyObject* pyarrow;
    PyObject* module;
    PyObject* path;
    PyObject* option;
    const std::vector<PlannedColumn>& columns;

    // The writer over the output with `schema`, once a trial in memory has
    // found that pyarrow takes the schema.
    Ref open(PyObject* schema) const {
        if (!accepts(schema)) return {};
        return open_at(path, schema);
    }

    // The writer over `where` (a path or an output stream).
    Ref open_at(PyObject* where, PyObject* schema) const {
        Ref opener = Ref::steal(PyObject_GetAttrString(module, format.opener));
        Ref args = opener ? Ref::steal(PyTuple_Pack(2, where, schema)) : Ref();
        Ref kwargs = args ? Ref::steal(PyDict_New()) : Ref();
        if (!kwargs || PyDict_SetItemString(kwargs.get(), format.option_name, option) < 0) return {};
        return Ref::steal(PyObject_Call(opener.get(), args.get(), kwargs.get()));
    }

    // A writer with `schema` made and closed over a buffer in memory: true
    // when pyarrow takes the schema, else false with its exception set.
    bool trial(PyObject* schema) const {
        Ref memory = call_attr(pyarrow, "BufferOutputStream");
        Ref writer = memory ? open_at(memory.get(), schema) : Ref();
        return writer && call_attr(writer.get(), "close");
    }

    // Whether pyarrow's writer takes `schema`. A refusal is ValueError naming
    // the first column refused on its own (the whole schema when none is);
    // an exception that is no refusal (an interrupt) is raised as it is.
    bool accepts(PyObject* schema) const {
        if (trial(schema)) return true;
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        Ref refusal = take_error();
        const Py_ssize_t n = PyObject_Length(schema);
        if (n < 0) return false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref index = Ref::steal(Py_BuildValue("(n)", i));
            Ref field = index ? call_attr(schema, "field", index.get()) : Ref();
            Ref fields = field ? Ref::steal(Py_BuildValue("([O])", field.get())) : Ref();
            Ref alone = fields ? call_attr(pyarrow, "schema", fields.get()) : Ref();
            if (!alone) return false;
            if (trial(alone.get())) continue;
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
            return refuse_column(field.get(), take_error());
        }
        return refuse(refusal, std::string("the table's schema is refused by pyarrow's ") + format.label + " writer");
    }

    // The refusal of one column: a list column in CSV says how to write it
    // instead; any other names its type.
    bool refuse_column(PyObject* field, Ref refusal) const {
        Ref name_object = Ref::steal(PyObject_GetAttrString(field, "name"));
        Ref type = name_object ? Ref::steal(PyObject_GetAttrString(field, "type")) : Ref();
        std::string name, type_text;
        if (!type || !str_of(name_object.get(), name) || !str_of(type.get(), type_text)) return false;
        if (&format == &kCsv) {
            const std::optional<bool> list = type_is(pyarrow, "is_list", type.get());
            const std::optional<bool> large = list ? type_is(pyarrow, "is_large_list", type.get()) : std::nullopt;
            if (!large) return false;
            if (*list || *large) {
                std::string path = name;
                for (const PlannedColumn& c : columns)
                    if (c.name == name) path = c.path;
                return refuse(refusal, "column " + debug_quote(name) +
                                           " holds lists, which CSV cannot hold: take one element with a path "
                                           "such as " +
                                           debug_quote(element_path(path)) + ", or write Parquet");
            }
        }
        return refuse(refusal, "column " + debug_quote(name) + " of type " + type_text + " is refused by pyarrow's " +
                                   format.label + " writer");
    }
};

// The pyarrow type a file without rows declares for a column.
Ref pyarrow_type(PyObject* pyarrow, const std::optional<table::DType>& dtype) {
    using D = table::DType::Kind;
    if (!dtype) return call_attr(pyarrow, "large_string");
    switch (dtype->kind) {
        case D::Int64: return call_attr(pyarrow, "int64");
        case D::Float64: return call_attr(pyarrow, "float64");
        case D::Bool: return call_attr(pyarrow, "bool_");
        case D::Str: return call_attr(pyarrow, "large_string");
        case D::Timestamp: {
            Ref args = Ref::steal(Py_BuildValue("(s)", "us"));
            Ref kwargs = Ref::steal(Py_BuildValue("{ss}", "tz", "UTC"));
            if (!args || !kwargs) return {};
            return call_attr(pyarrow, "timestamp", args.get(), kwargs.get());
        }
        case D::Uuid: {
            Ref args = Ref::steal(Py_BuildValue("(i)", 16));
            return args ? call_attr(pyarrow, "binary", args.get()) : Ref();
        }
        case D::IntN: return call_attr(pyarrow, dtype->width == 0 ? "int8" : dtype->width == 1 ? "int16" : "int32");
        case D::Float32: return call_attr(pyarrow, "float32");
        case D::Decimal: {
            Ref args = Ref::steal(Py_BuildValue("(ii)", int{dtype->precision}, int{dtype->scale}));
            return args ? call_attr(pyarrow, "decimal128", args.get()) : Ref();
        }
    }
    return call_attr(pyarrow, "large_string");
}

Ref empty_schema(PyObject* pyarrow, const std::vector<PlannedColumn>& columns) {
    Ref fields = Ref::steal(PyList_New(0));
    if (!fields) return {};
    for (const PlannedColumn& c : columns) {
        Ref type = pyarrow_type(pyarrow, c.dtype);
        Ref name = type ? str(c.name) : Ref();
        Ref args = name ? Ref::steal(PyTuple_Pack(2, name.get(), type.get())) : Ref();
        Ref field = args ? call_attr(pyarrow, "field", args.get()) : Ref();
        if (!field || PyList_Append(fields.get(), field.get()) < 0) return {};
    }
    Ref args = Ref::steal(PyTuple_Pack(1, fields.get()));
    return args ? call_attr(pyarrow, "schema", args.get()) : Ref();
}

// One batch of rows as a record batch, its columns exported one by one (each
// freed from the table as it goes).
Ref record_batch_of(PyObject* pyarrow, table::Table rows) {
    Ref names = Ref::steal(PyList_New(0));
    Ref arrays = Ref::steal(PyList_New(0));
    if (!names || !arrays) return {};
    for (const std::string& n : rows.names) {
        Ref name = str(n);
        if (!name || PyList_Append(names.get(), name.get()) < 0) return {};
    }
    for (size_t i = 0; i < rows.columns.size() && i < rows.names.size(); ++i) {
        Ref array = pyarrow_array_of(pyarrow, rows.names[i], std::exchange(rows.columns[i], table::Column{}),
                                     kBatchRefusal);
        if (!array || PyList_Append(arrays.get(), array.get()) < 0) return {};
    }
    Ref batch_class = Ref::steal(PyObject_GetAttrString(pyarrow, "RecordBatch"));
    Ref args = batch_class ? Ref::steal(PyTuple_Pack(1, arrays.get())) : Ref();
    Ref kwargs = args ? Ref::steal(PyDict_New()) : Ref();
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "names", names.get()) < 0) return {};
    return call_attr(batch_class.get(), "from_arrays", args.get(), kwargs.get());
}

// A later batch in the file's schema: as it is when the schemas are equal,
// else cast; a failed cast is the ValueError that names dtypes=.
Ref conform(Ref batch, PyObject* schema, PyObject* first_schema) {
    Ref equal = Ref::steal(PyObject_RichCompare(schema, first_schema, Py_EQ));
    const int same = equal ? PyObject_IsTrue(equal.get()) : -1;
    if (same < 0) return {};
    if (same) return batch;
    Ref args = Ref::steal(PyTuple_Pack(1, first_schema));
    if (!args) return {};
    Ref cast = call_attr(batch.get(), "cast", args.get());
    if (cast) return cast;
    Ref exc = take_error();
    std::string text;
    if (!str_of(exc.get(), text)) return {};
    return Ref::steal(raise(PyExc_ValueError, "a later chunk's inferred schema is incompatible with the file's (" +
                                                  type_name(exc.get()) + ": " + text +
                                                  "); declare dtypes= to hold one schema across the whole stream"));
}

// How long the calling thread waits for a batch read ahead before it runs
// the pending signal handlers.
constexpr auto kSignalPeriod = std::chrono::milliseconds(50);

// The read-ahead of one run, joined on every way out. The reader may finish
// a buffer before it sees the stop, so the interpreter lock is released
// meanwhile.
class JoinedReadAhead {
public:
    explicit JoinedReadAhead(table::TableStream& stream) : ahead_(stream) {}
    ~JoinedReadAhead() {
        NoGil released;
        ahead_.stop();
    }
    JoinedReadAhead(const JoinedReadAhead&) = delete;
    JoinedReadAhead& operator=(const JoinedReadAhead&) = delete;

    bool started() const { return ahead_.started(); }

    // The next batch, waited for with the lock released; the signal
    // handlers run every kSignalPeriod of waiting. Nothing with the
    // exception set when a handler raised.
    std::optional<table::BatchRead> next() {
        for (;;) {
            std::optional<table::BatchRead> read;
            {
                NoGil released;
                read = ahead_.take(kSignalPeriod);
            }
            if (read) return read;
            if (PyErr_CheckSignals() < 0) return std::nullopt;
        }
    }

private:
    table::BatchReadAhead ahead_;
};

// The loop of both formats: read a batch of rows, make it a record batch,
// open the writer with the first record batch's schema or conform a later
// one to it, write it. Making and writing a record batch costs about as much
// as reading the rows, so with `read_ahead` the next batch is read on a
// thread of its own meanwhile (table/batch_read_ahead.h). A source that reads
// through a Python file-like object is read here instead, with the lock
// released: its read() must run where Ctrl-C can interrupt it, on this
// thread. So is any source when no thread can be started. Signals are
// checked before the first batch, while each batch is read or waited for and
// after each written batch. The rows written, or nothing with the exception
// set; the reader is joined either way, and the writer, once opened, is in
// `writer`.
std::optional<uint64_t> stream_batches_into(PyObject* pyarrow, table::TableStream& stream, bool read_ahead,
                                            const Target& target, Ref& writer) {
    if (PyErr_CheckSignals() < 0) return std::nullopt;
    uint64_t written = 0;
    Ref first_schema;
    SignalCheck signals;  // for batches read in place
    std::optional<JoinedReadAhead> ahead;
    if (read_ahead) ahead.emplace(stream);
    for (;;) {
        std::optional<table::BatchRead> read =
            ahead && ahead->started() ? ahead->next() : next_batch(stream, &signals);
        if (!read) return std::nullopt;
        if (!*read) {
            signals.raise(std::move(read->error()));
            return std::nullopt;
        }
        std::optional<table::Table>& rows_read = read->value();
        if (!rows_read) return written;
        const uint64_t rows = rows_read->n_rows;
        Ref batch = record_batch_of(pyarrow, std::move(*rows_read));
        read.reset();
        Ref schema = batch ? Ref::steal(PyObject_GetAttrString(batch.get(), "schema")) : Ref();
        if (!schema) return std::nullopt;
        if (!writer) {
            writer = target.open(schema.get());
            if (!writer) return std::nullopt;
            first_schema = schema;
        } else {
            batch = conform(std::move(batch), schema.get(), first_schema.get());
            if (!batch) return std::nullopt;
        }
        Ref args = Ref::steal(PyTuple_Pack(1, batch.get()));
        Ref done = args ? call_attr(writer.get(), target.format.write_method, args.get()) : Ref();
        if (!done) return std::nullopt;
        batch = Ref();
        written += rows;
        if (PyErr_CheckSignals() < 0) return std::nullopt;
    }
}

// The trial of a Parquet compression: a writer with it over a buffer in
// memory writes one row of one column and is closed (some codecs are
// refused only when data is compressed). False with the exception set; a
// refusal by the writer is ValueError naming the option.
bool check_compression(PyObject* pyarrow, const Target& target, const std::string& compression) {
    Ref values = Ref::steal(Py_BuildValue("([i])", 1));
    Ref array = values ? call_attr(pyarrow, "array", values.get()) : Ref();
    Ref batch_class = array ? Ref::steal(PyObject_GetAttrString(pyarrow, "RecordBatch")) : Ref();
    Ref args = batch_class ? Ref::steal(Py_BuildValue("([O])", array.get())) : Ref();
    Ref kwargs = args ? Ref::steal(Py_BuildValue("{s[s]}", "names", "x")) : Ref();
    Ref batch = kwargs ? call_attr(batch_class.get(), "from_arrays", args.get(), kwargs.get()) : Ref();
    Ref schema = batch ? Ref::steal(PyObject_GetAttrString(batch.get(), "schema")) : Ref();
    Ref memory = schema ? call_attr(pyarrow, "BufferOutputStream") : Ref();
    if (!memory) return false;
    Ref writer = target.open_at(memory.get(), schema.get());
    Ref batch_args = writer ? Ref::steal(PyTuple_Pack(1, batch.get())) : Ref();
    Ref written = batch_args ? call_attr(writer.get(), target.format.write_method, batch_args.get()) : Ref();
    if (written && call_attr(writer.get(), "close")) return true;
    Ref exc = take_error();
    writer = Ref();  // released before the refusal is raised
    std::string text;
    if (!exc || !str_of(exc.get(), text)) return false;
    raise(PyExc_ValueError, "compression " + debug_quote(compression) + " is refused by pyarrow's Parquet writer (" +
                                type_name(exc.get()) + ": " + text + ")");
    return false;
}

PyObject* write_entry(const Format& format, PyObject* args, PyObject* kwargs) {
    const bool csv = &format == &kCsv;
    static const char* const parquet_names[] = {"source",   "path",  "rows", "columns",     "dtypes", "batch_rows",
                                                "on_multi", "limit", "mode", "compression", nullptr};
    static const char* const csv_names[] = {"source",   "path",  "rows", "columns",        "dtypes", "batch_rows",
                                            "on_multi", "limit", "mode", "include_header", nullptr};
    PyObject *source = nullptr, *path = nullptr, *rows = nullptr, *columns = nullptr, *dtypes = Py_None,
             *batch_rows = nullptr, *on_multi = nullptr, *limit = Py_None, *mode = Py_None, *last = nullptr;
    if (!bind_args(args, kwargs, csv ? "OOOO|$OOOOOO:write_csv" : "OOOO|$OOOOOO:write_parquet",
                   csv ? csv_names : parquet_names, &source, &path, &rows, &columns, &dtypes, &batch_rows, &on_multi,
                   &limit, &mode, &last))
        return nullptr;
    std::string path_text, rows_text, on_multi_text = "error", compression = "zstd";
    PyObject* dtype_dict = nullptr;
    std::optional<uint64_t> batch_size = table::kDefaultBatchRows, limit_value;
    std::optional<std::string> mode_name;
    bool include_header = true;
    if (!path_argument(path, "path", path_text) || !required_str_argument(rows, "rows", rows_text) ||
        !dict_argument(dtypes, "dtypes", dtype_dict) ||
        (batch_rows && !required_u64_argument(batch_rows, "batch_rows", batch_size)) ||
        (on_multi && !required_str_argument(on_multi, "on_multi", on_multi_text)) ||
        !u64_argument(limit, "limit", limit_value) || !str_argument(mode, "mode", mode_name))
        return nullptr;
    if (last && (csv ? !bool_argument(last, "include_header", include_header)
                     : !required_str_argument(last, "compression", compression)))
        return nullptr;

    Ref module = import_or_refuse(format.module_name, format.import_refusal);
    if (!module) return nullptr;
    Ref pyarrow = Ref::steal(PyImport_ImportModule("pyarrow"));
    if (!pyarrow || !check_batch_rows(*batch_size)) return nullptr;

    std::optional<table::TableSpec> spec = parse_table_spec(rows_text, columns, on_multi_text, limit_value, dtype_dict);
    if (!spec) return nullptr;
    std::vector<PlannedColumn> planned;
    for (const auto& column : spec->columns) {
        auto declared = spec->declared.find(column.first);
        planned.push_back(PlannedColumn{column.first, column.second,
                                        declared == spec->declared.end()
                                            ? std::nullopt
                                            : std::optional<table::DType>(declared->second.dtype)});
    }
    bool python_reads = false;
    std::optional<table::TableStream> stream =
        open_batch_stream(source, std::move(*spec), mode_name, *batch_size, std::string(format.function) + "()",
                          &path_text, &python_reads);
    if (!stream) return nullptr;

    Ref option;
    if (csv) {
        Ref options_kwargs = Ref::steal(Py_BuildValue("{sO}", "include_header", include_header ? Py_True : Py_False));
        Ref no_args = Ref::steal(PyTuple_New(0));
        if (!options_kwargs || !no_args) return nullptr;
        option = call_attr(module.get(), "WriteOptions", no_args.get(), options_kwargs.get());
    } else {
        option = str(compression);
    }
    if (!option) return nullptr;
    // pyarrow is handed the path as text, whatever path object named it.
    Ref path_object = PyUnicode_Check(path) ? Ref::borrow(path) : str(path_text);
    if (!path_object) return nullptr;
    const Target target{format, pyarrow.get(), module.get(), path_object.get(), option.get(), planned};
    if (!csv && !check_compression(pyarrow.get(), target, compression)) return nullptr;

    Ref writer;
    std::optional<uint64_t> written = stream_batches_into(pyarrow.get(), *stream, !python_reads, target, writer);
    stream.reset();
    if (!written) {
        // Dropped, never closed: the exception stays the one raised.
        Ref exc = take_error();
        writer = Ref();
        restore_error(std::move(exc));
        return nullptr;
    }
    if (!writer) {
        Ref schema = empty_schema(pyarrow.get(), planned);
        writer = schema ? target.open(schema.get()) : Ref();
        if (!writer) return nullptr;
    }
    if (!call_attr(writer.get(), "close")) return nullptr;
    return uinteger(*written).release();
}

PyObject* write_parquet_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* { return write_entry(kParquet, args, kwargs); }, static_cast<PyObject*>(nullptr));
}

PyObject* write_csv_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* { return write_entry(kCsv, args, kwargs); }, static_cast<PyObject*>(nullptr));
}

PyMethodDef write_parquet_def = {
    "write_parquet", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_parquet_fn)),
    METH_VARARGS | METH_KEYWORDS,
    "write_parquet(source, path, rows, columns, *, dtypes=None, batch_rows=65536, on_multi=\"error\", limit=None, "
    "mode=None, compression=\"zstd\")\n--\n\n"
    "Write a typed table to a Parquet file batch by batch through pyarrow, in bounded memory; returns the number "
    "of rows written."};

PyMethodDef write_csv_def = {
    "write_csv", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_csv_fn)),
    METH_VARARGS | METH_KEYWORDS,
    "write_csv(source, path, rows, columns, *, dtypes=None, batch_rows=65536, on_multi=\"error\", limit=None, "
    "mode=None, include_header=True)\n--\n\n"
    "Write a typed table to a CSV file batch by batch through pyarrow, in bounded memory; returns the number of "
    "rows written."};

}  // namespace

PyMethodDef* write_parquet_function() { return &write_parquet_def; }
PyMethodDef* write_csv_function() { return &write_csv_def; }

}  // namespace jorvane::py
