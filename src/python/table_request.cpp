// The columns argument is a {name: path} dict (or subclass), or a sequence
// of paths (not a bare string), each path naming its own column. A dtype text ending in "?"
// declares a column that accepts explicit nulls; the refusal messages name
// the text as given and, for a few well-known names, say why they are not
// supported.
#include "python/table_request.h"

#include <utility>

#include "util/text.h"

namespace jorvane::py {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trim_end(std::string_view s) {
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// A str argument's text; the binding layer's TypeError otherwise.
bool str_item(PyObject* o, std::string& out) {
    if (!PyUnicode_Check(o)) {
        raise(PyExc_TypeError, "'" + type_name(o) + "' object cannot be converted to 'str'");
        return false;
    }
    return as_utf8(o, out);
}

std::string dtype_refusal(const std::string& text, const std::string& column) {
    std::string base(trim_end(text.size() && text.back() == '?' ? std::string_view(text).substr(0, text.size() - 1)
                                                                : std::string_view(text)));
    const std::string head = "dtype " + debug_quote(text) + " for column " + debug_quote(column) + ": ";
    if (base == "half" || base == "float16")
        return head +
               "float16 is deliberately not supported: JSON numbers are parsed at full precision, and half-float "
               "support is patchy across pandas and parquet \u2014 declare \"float32\"";
    if (base == "uint8" || base == "uint16" || base == "uint32" || base == "uint64")
        return head +
               "unsigned integer widths are not supported yet; declare the next wider signed type, or "
               "\"decimal(20,0)\" for the full uint64 range";
    if (base == "bytes" || base == "binary" || base == "large_binary")
        return head +
               "binary columns are deliberately not supported: JSON has no binary values, only encoded strings "
               "\u2014 keep the base64/hex string as \"str\" (fixed 16-byte ids are covered by \"uuid\")";
    if (base == "category" || base == "dictionary" || base == "categorical")
        return head +
               "dictionary/categorical encoding is deliberately not supported as a column type: it is a storage "
               "optimization, and the parquet writer already applies dictionary encoding on disk \u2014 declare the "
               "logical type (\"str\") instead";
    return "unknown dtype " + debug_quote(text) + " for column " + debug_quote(column) +
           "; expected \"int64\", \"int32\", \"int16\", \"int8\", \"float64\", \"float32\", \"bool\", \"str\", "
           "\"timestamp\", \"uuid\", or \"decimal(precision,scale)\" \u2014 any with a trailing \"?\" to accept "
           "explicit nulls (\"int32?\")";
}

bool read_columns(PyObject* columns, table::TableSpec& spec) {
    if (PyDict_Check(columns)) {
        Ref items = Ref::steal(PyDict_Items(columns));
        if (!items) return false;
        const Py_ssize_t n = PyList_Size(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* kv = PyList_GetItem(items.get(), i);
            std::string name, path;
            if (!str_item(PyTuple_GetItem(kv, 0), name) || !str_item(PyTuple_GetItem(kv, 1), path)) return false;
            spec = std::move(spec).column(std::move(name), std::move(path));
        }
        return true;
    }
    const bool sequence = PySequence_Check(columns) && !PyUnicode_Check(columns);
    Ref seq = sequence ? Ref::steal(PySequence_Fast(columns, "")) : Ref();
    std::vector<std::string> paths;
    bool ok = static_cast<bool>(seq);
    for (Py_ssize_t i = 0; ok && i < PySequence_Size(seq.get()); ++i) {
        Ref item = Ref::steal(PySequence_GetItem(seq.get(), i));
        std::string path;
        ok = item && PyUnicode_Check(item.get()) && as_utf8(item.get(), path);
        paths.push_back(std::move(path));
    }
    if (!ok) {
        PyErr_Clear();
        raise(PyExc_ValueError, "columns must be a {name: path} dict or a list of paths");
        return false;
    }
    for (auto& p : paths) spec = std::move(spec).column(p, p);
    return true;
}

bool read_dtypes(PyObject* dtypes, table::TableSpec& spec) {
    Ref items = Ref::steal(PyDict_Items(dtypes));
    if (!items) return false;
    const Py_ssize_t n = PyList_Size(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* kv = PyList_GetItem(items.get(), i);
        std::string name, text;
        if (!str_item(PyTuple_GetItem(kv, 0), name) || !str_item(PyTuple_GetItem(kv, 1), text)) return false;
        const bool nullable = !text.empty() && text.back() == '?';
        const std::string_view base = nullable ? trim_end(std::string_view(text).substr(0, text.size() - 1)) : text;
        const std::optional<table::DType> dtype = table::DType::parse(base);
        if (!dtype) {
            raise(PyExc_ValueError, dtype_refusal(text, name));
            return false;
        }
        spec.declared[name] = table::Declared{*dtype, nullable};
    }
    return true;
}

}  // namespace

std::optional<table::OnMulti> parse_on_multi(std::string_view text) {
    if (text == "error") return table::OnMulti::Error;
    if (text == "first") return table::OnMulti::First;
    if (text == "last") return table::OnMulti::Last;
    if (text == "list") return table::OnMulti::List;
    raise(PyExc_ValueError, "on_multi must be \"error\", \"first\", \"last\" or \"list\", not " + debug_quote(text));
    return std::nullopt;
}

std::optional<table::TableSpec> parse_table_spec(const std::string& rows, PyObject* columns, std::string_view on_multi,
                                                 std::optional<uint64_t> limit, PyObject* dtypes) {
    if (limit && *limit == 0) {
        raise(PyExc_ValueError, "limit must be at least 1 (omit it for no limit)");
        return std::nullopt;
    }
    table::TableSpec spec(rows);
    const std::optional<table::OnMulti> multi = parse_on_multi(on_multi);
    if (!multi) return std::nullopt;
    spec.on_multi = *multi;
    spec.limit = limit;
    if (!read_columns(columns, spec)) return std::nullopt;
    if (dtypes && !read_dtypes(dtypes, spec)) return std::nullopt;
    return spec;
}

}  // namespace jorvane::py
