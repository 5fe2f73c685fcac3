// Numeric columns without missing rows (Int64), and Float and Float32
// columns (missing rows are NaN), cross to numpy as one bytearray that
// numpy views; without numpy they fall back to lists. Every other kind is a
// list built one row at a time, None for a missing row. Only a numpy that is
// not installed leaves the numeric kinds to lists: any other failure of the
// array (numpy's import interrupted or broken) is raised.
#include "python/column_py.h"

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/lazy_imports.h"
#include "python/value_convert.h"

namespace jorvane::py {
namespace {

Ref import_attr(const char* module, const char* name) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod) return {};
    return Ref::steal(PyObject_GetAttrString(mod.get(), name));
}

// After an array that could not be made: whether the list form stands in
// for it, numpy not being installed (its exception is then cleared).
bool lists_without_numpy() {
    if (!not_installed("numpy")) return false;
    PyErr_Clear();
    return true;
}

// The cyclic collector held off while a column of containers is made: every
// new list would count towards its next pass, and each pass walks all the
// objects made so far, so a column of a million lists would cost many
// passes; none of these objects can be part of a cycle. Nested pauses
// leave it to the outermost.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }

private:
    bool was_enabled_;
};

// A list of one object per row from make(row), None for missing rows.
template <class Valid, class Make>
Ref list_of(uint64_t rows, Valid valid, Make make) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows)));
    if (!list) return {};
    for (uint64_t r = 0; r < rows; ++r) {
        Ref item = valid(r) ? make(r) : none();
        if (!item || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(r), item.release()) < 0) return {};
    }
    return list;
}

// The str objects of one column's strings. A column of a few distinct short
// strings (currencies, tags, states) is the common case: each text is made
// once and the rows that hold it share the object, which saves making and
// keeping a million equal objects. Long strings make an object each, and so
// does every string once the column turns out to be mostly distinct. The
// texts stay in the column while its objects are made.
class StrObjects {
public:
    Ref make(std::string_view s) {
        if (s.size() > kLongest || !sharing_) return str(s);
        ++looked_;
        const size_t h = std::hash<std::string_view>{}(s);
        size_t at = h & (kSlots - 1);
        for (; slots_[at].object; at = (at + 1) & (kSlots - 1))
            if (slots_[at].hash == h && slots_[at].text == s) return Ref::borrow(slots_[at].object.get());
        Ref made = str(s);
        if (!made) return {};
        // A table three quarters full, or mostly misses after a trial: the
        // column is not one of a few strings.
        if (++misses_ * 4 > kSlots * 3 || (looked_ > kTrial && misses_ * 2 > looked_)) {
            sharing_ = false;
            return made;
        }
        slots_[at] = Slot{h, s, made};
        return made;
    }

private:
    static constexpr size_t kLongest = 64;
    static constexpr size_t kSlots = 4096;
    static constexpr size_t kTrial = 8192;
    struct Slot {
        size_t hash = 0;
        std::string_view text;
        Ref object;
    };
    std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
    size_t misses_ = 0;
    size_t looked_ = 0;
    bool sharing_ = true;
};

template <class T>
Ref floats_to_py(const table::Nullable<T>& c, const char* dtype) {
    if (Ref array = numeric_array_of(c.values, dtype)) return array;
    if (!lists_without_numpy()) return {};
    return list_of(c.size(), [&](uint64_t r) { return c.valid(r); },
                   [&](uint64_t r) { return floating(static_cast<double>(c.values[r])); });
}

std::string int128_text(__int128 v) {
    const bool negative = v < 0;
    unsigned __int128 m = negative ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    } while (m != 0);
    if (negative) digits.insert(digits.begin(), '-');
    return digits;
}

Ref timestamps_to_py(const table::TimestampColumn& c) {
    Ref datetime = Ref::steal(PyImport_ImportModule("datetime"));
    if (!datetime) return {};
    Ref tz = Ref::steal(PyObject_GetAttrString(datetime.get(), "timezone"));
    Ref utc = tz ? Ref::steal(PyObject_GetAttrString(tz.get(), "utc")) : Ref();
    Ref dt_class = Ref::steal(PyObject_GetAttrString(datetime.get(), "datetime"));
    Ref delta = Ref::steal(PyObject_GetAttrString(datetime.get(), "timedelta"));
    if (!utc || !dt_class || !delta) return {};
    Ref args = Ref::steal(Py_BuildValue("(iii)", 1970, 1, 1));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!args || !kwargs || PyDict_SetItemString(kwargs.get(), "tzinfo", utc.get()) < 0) return {};
    Ref epoch = Ref::steal(PyObject_Call(dt_class.get(), args.get(), kwargs.get()));
    Ref add = epoch ? Ref::steal(PyObject_GetAttrString(epoch.get(), "__add__")) : Ref();
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!add || !empty) return {};
    return list_of(c.size(), [&](uint64_t r) { return c.valid(r); }, [&](uint64_t r) -> Ref {
        Ref kw = Ref::steal(PyDict_New());
        Ref us = integer(c.values[r]);
        if (!kw || !us || PyDict_SetItemString(kw.get(), "microseconds", us.get()) < 0) return {};
        Ref d = Ref::steal(PyObject_Call(delta.get(), empty.get(), kw.get()));
        if (!d) return {};
        return Ref::steal(PyObject_CallFunctionObjArgs(add.get(), d.get(), nullptr));
    });
}

Ref uuids_to_py(const table::UuidColumn& c) {
    Ref uuid_class = import_attr("uuid", "UUID");
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!uuid_class || !empty) return {};
    return list_of(c.size(), [&](uint64_t r) { return c.valid(r); }, [&](uint64_t r) -> Ref {
        Ref kw = Ref::steal(PyDict_New());
        Ref b = bytes(std::string_view(reinterpret_cast<const char*>(c.values[r].data()), 16));
        if (!kw || !b || PyDict_SetItemString(kw.get(), "bytes", b.get()) < 0) return {};
        return Ref::steal(PyObject_Call(uuid_class.get(), empty.get(), kw.get()));
    });
}

Ref decimals_to_py(const table::DecimalColumn& c) {
    Ref decimal = decimal_ctor();
    if (!decimal) return {};
    const auto& d = c.data;
    // From the digits and the exponent as text, which decimal.Decimal reads
    // exactly whatever its context's precision (arithmetic would round to it).
    return list_of(d.size(), [&](uint64_t r) { return d.valid(r); }, [&](uint64_t r) -> Ref {
        Ref text = str(int128_text(d.values[r]) + "E-" + std::to_string(c.scale));
        if (!text) return {};
        return Ref::steal(PyObject_CallFunctionObjArgs(decimal.get(), text.get(), nullptr));
    });
}

// The lists of a column of lists of strings taken whole: the str objects of
// all its strings are made first (shared as StrObjects shares them), then
// its texts are freed, and only then are the lists made, so that the texts
// (32 bytes a string or more) and the lists never coexist in full.
Ref taken_string_lists(table::ListColumn& c) {
    const CollectorPause pause;
    const uint64_t rows = c.offsets.size() < 2 ? 0 : c.offsets.size() - 1;
    std::vector<Ref> made;
    {
        const auto& texts = c.child->as<table::Column::Kind::Str>();
        made.reserve(texts.size());
        StrObjects objects;
        for (size_t i = 0; i < texts.size(); ++i) {
            made.push_back(texts.valid(i) ? objects.make(texts.values[i]) : none());
            if (!made.back()) return {};
        }
    }
    c.child.reset();
    auto valid = [&](uint64_t r) { return !c.validity || c.validity->valid(r); };
    return list_of(rows, valid, [&](uint64_t r) {
        const auto begin = static_cast<uint64_t>(c.offsets[r]);
        return list_of(static_cast<uint64_t>(c.offsets[r + 1]) - begin, [](uint64_t) { return true; },
                       [&](uint64_t i) { return std::move(made[begin + i]); });
    });
}

Ref list_column_to_py(const table::ListColumn& c, bool use_float) {
    const CollectorPause pause;
    const uint64_t rows = c.offsets.size() < 2 ? 0 : c.offsets.size() - 1;
    auto valid = [&](uint64_t r) { return !c.validity || c.validity->valid(r); };
    if (c.child->kind() == table::Column::Kind::Str) {
        // Lists of strings, the usual tags, are made row by row straight from
        // the strings, sharing their objects, without a list of them all.
        const auto& texts = c.child->as<table::Column::Kind::Str>();
        StrObjects objects;
        return list_of(rows, valid, [&](uint64_t r) {
            const auto begin = static_cast<uint64_t>(c.offsets[r]);
            const auto end = static_cast<uint64_t>(c.offsets[r + 1]);
            return list_of(end - begin, [&](uint64_t i) { return texts.valid(begin + i); },
                           [&](uint64_t i) { return objects.make(texts.values[begin + i]); });
        });
    }
    Ref child = column_to_py(*c.child, use_float);
    if (!child) return {};
    Ref tolist = Ref::steal(PyObject_GetAttrString(child.get(), "tolist"));
    if (tolist) {
        child = Ref::steal(PyObject_CallObject(tolist.get(), nullptr));
        if (!child) return {};
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
    } else {
        return {};
    }
    return list_of(rows, valid, [&](uint64_t r) {
        return Ref::steal(PyList_GetSlice(child.get(), static_cast<Py_ssize_t>(c.offsets[r]),
                                          static_cast<Py_ssize_t>(c.offsets[r + 1])));
    });
}

}  // namespace

Ref numeric_array(std::span<const uint8_t> data, const char* dtype) {
    Ref frombuffer = import_attr("numpy", "frombuffer");
    if (!frombuffer) return {};
    Ref buffer = Ref::steal(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                          static_cast<Py_ssize_t>(data.size())));
    Ref args = buffer ? Ref::steal(PyTuple_Pack(1, buffer.get())) : Ref();
    Ref kwargs = Ref::steal(PyDict_New());
    Ref type = str(dtype);
    if (!args || !kwargs || !type || PyDict_SetItemString(kwargs.get(), "dtype", type.get()) < 0) return {};
    return Ref::steal(PyObject_Call(frombuffer.get(), args.get(), kwargs.get()));
}

Ref nullable_to_list(const table::Nullable<int64_t>& c) {
    return list_of(c.size(), [&](uint64_t r) { return c.valid(r); }, [&](uint64_t r) { return integer(c.values[r]); });
}

Ref column_to_py(const table::Column& column, bool use_float) {
    using K = table::Column::Kind;
    switch (column.kind()) {
        case K::Int64: {
            const auto& c = column.as<K::Int64>();
            if (!c.validity) {
                if (Ref array = numeric_array_of(c.values, "int64")) return array;
                if (!lists_without_numpy()) return {};
            }
            return nullable_to_list(c);
        }
        case K::Float: return floats_to_py(column.as<K::Float>(), "float64");
        case K::Float32: return floats_to_py(column.as<K::Float32>(), "float32");
        case K::Bool: {
            const auto& c = column.as<K::Bool>();
            return list_of(c.size(), [&](uint64_t r) { return c.valid(r); },
                           [&](uint64_t r) { return boolean(c.values[r] != 0); });
        }
        case K::Str: {
            const auto& c = column.as<K::Str>();
            StrObjects objects;
            return list_of(c.size(), [&](uint64_t r) { return c.valid(r); },
                           [&](uint64_t r) { return objects.make(c.values[r]); });
        }
        case K::Timestamp: return timestamps_to_py(column.as<K::Timestamp>());
        case K::Uuid: return uuids_to_py(column.as<K::Uuid>());
        case K::IntN: return nullable_to_list(column.as<K::IntN>().data);
        case K::Decimal: return decimals_to_py(column.as<K::Decimal>());
        case K::List: return list_column_to_py(column.as<K::List>(), use_float);
        case K::Mixed: {
            const CollectorPause pause;
            const auto& c = column.as<K::Mixed>();
            return list_of(c.size(), [&](uint64_t r) { return c[r].has_value(); },
                           [&](uint64_t r) { return value_to_py(*c[r], use_float); });
        }
    }
    return none();
}

Ref column_to_py(table::Column&& column, bool use_float) {
    using K = table::Column::Kind;
    if (column.kind() == K::List && column.as<K::List>().child->kind() == K::Str)
        return taken_string_lists(column.as<K::List>());
    return column_to_py(std::as_const(column), use_float);
}

}  // namespace jorvane::py
