// describe(): a structural profile of one source, scanned with an engine
// that carries no query, only a describer, or in ranges by several such
// engines (run/split_describe.h). The interpreter lock is released for the
// scan and taken back between buffers (between ranges) to check for
// signals. The Description keeps the profile as the describer left it and
// spells paths out only when they are shown.
#include "python/describe.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "engine/describer.h"
#include "engine/engine.h"
#include "python/exceptions.h"
#include "python/open_resolved.h"
#include "python/py_class.h"
#include "run/scan_source.h"
#include "run/split_describe.h"
#include "util/text.h"

namespace jorvane::py {
namespace {

constexpr size_t kReprRows = 40;

struct DescriptionData {
    engine::Describer profile;
    uint64_t bytes_scanned = 0;
};

const DescriptionData& data(PyObject* self) { return unbox<DescriptionData>(self); }

// A path's types as (name, count), larger counts first, ties by name.
std::vector<std::pair<const char*, uint64_t>> sorted_types(const engine::PathStats& s) {
    std::vector<std::pair<const char*, uint64_t>> out;
    for (int t = 0; t < engine::kJsonTypeCount; ++t)
        if (s.types[t] != 0) out.emplace_back(engine::json_type_name(static_cast<engine::JsonType>(t)), s.types[t]);
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
        if (a.second != b.second) return a.second > b.second;
        return std::string_view(a.first) < std::string_view(b.first);
    });
    return out;
}

// Signals, looked at before the scan and after every buffer (every range).
class EveryBufferSignals final : public run::Interrupt {
public:
    bool requested() override {
        Gil gil;
        if (PyErr_CheckSignals() == 0) return false;
        raised = take_error();
        return true;
    }
    Ref raised;
};

size_t char_count(std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

void pad_left(std::string& out, std::string_view s, size_t width) {
    out.append(s);
    for (size_t n = char_count(s); n < width; ++n) out.push_back(' ');
}

void pad_right(std::string& out, std::string_view s, size_t width) {
    for (size_t n = char_count(s); n < width; ++n) out.push_back(' ');
    out.append(s);
}

PyObject* d_repr(PyObject* self) {
    return guarded(
        [&]() -> PyObject* {
            const DescriptionData& d = data(self);
            const engine::Describer& p = d.profile;
            const size_t n = p.path_count();
            uint64_t longest = 0;
            for (size_t i = 0; i < n; ++i) longest = std::max(longest, p.path_length(i));
            const size_t width = static_cast<size_t>(std::clamp<uint64_t>(longest, 4, 48));
            char mb[64];
            std::snprintf(mb, sizeof mb, "%.1f", static_cast<double>(d.bytes_scanned) / 1000000.0);
            std::string out = "Description(" + std::to_string(n) + " paths, max_depth=" + std::to_string(p.max_depth()) +
                              ", " + mb + "MB scanned)\n";
            pad_left(out, "path", width);
            out += "  ";
            pad_right(out, "count", 9);
            out += "  ";
            pad_right(out, "distinct", 9);
            out += "  types\n";
            for (size_t i = 0; i < n && i < kReprRows; ++i) {
                const engine::PathStats& s = p.stats(i);
                pad_left(out, p.path_text(i), width);
                out += "  ";
                pad_right(out, std::to_string(s.count), 9);
                out += "  ";
                const size_t distinct = s.fingerprints.size();
                pad_right(out,
                          s.overflowed                      ? std::string("high")
                          : distinct == 0 && s.count != 0 ? std::string("\u2014")
                                                          : std::to_string(distinct),
                          9);
                out += "  ";
                bool first = true;
                for (const auto& [name, count] : sorted_types(s)) {
                    if (!first) out += ", ";
                    first = false;
                    out += name;
                    if (count != s.count) out += "\u00d7" + std::to_string(count);
                }
                out += "\n";
            }
            if (n > kReprRows) out += "\u2026 " + std::to_string(n - kReprRows) + " more paths (see .paths())\n";
            return str(out).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* d_paths(PyObject* self, PyObject*) {
    return guarded(
        [&]() -> PyObject* {
            const engine::Describer& p = data(self).profile;
            Ref dict = Ref::steal(PyDict_New());
            if (!dict) return nullptr;
            for (size_t i = 0; i < p.path_count(); ++i) {
                const engine::PathStats& s = p.stats(i);
                Ref entry = Ref::steal(PyDict_New());
                Ref types = Ref::steal(PyDict_New());
                Ref count = uinteger(s.count);
                Ref distinct = s.overflowed ? none() : uinteger(s.fingerprints.size());
                if (!entry || !types || !count || !distinct) return nullptr;
                for (const auto& [name, n] : sorted_types(s)) {
                    Ref v = uinteger(n);
                    if (!v || PyDict_SetItemString(types.get(), name, v.get()) < 0) return nullptr;
                }
                if (PyDict_SetItemString(entry.get(), "count", count.get()) < 0 ||
                    PyDict_SetItemString(entry.get(), "types", types.get()) < 0 ||
                    PyDict_SetItemString(entry.get(), "distinct", distinct.get()) < 0)
                    return nullptr;
                Ref key = str(p.path_text(i));
                if (!key || PyDict_SetItem(dict.get(), key.get(), entry.get()) < 0) return nullptr;
            }
            return dict.release();
        },
        static_cast<PyObject*>(nullptr));
}

Py_ssize_t d_len(PyObject* self) { return static_cast<Py_ssize_t>(data(self).profile.path_count()); }

PyObject* d_max_depth(PyObject* self, void*) { return uinteger(data(self).profile.max_depth()).release(); }
PyObject* d_bytes_scanned(PyObject* self, void*) { return uinteger(data(self).bytes_scanned).release(); }

PyMethodDef d_methods[] = {
    {"paths", d_paths, METH_NOARGS,
     "paths($self)\n--\n\nEvery path in first-seen order, mapped to {\"count\", \"types\", \"distinct\"}."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef d_getset[] = {
    {"max_depth", d_max_depth, nullptr, "The deepest container nesting met (a top-level container is 1).", nullptr},
    {"bytes_scanned", d_bytes_scanned, nullptr, "The bytes of every buffer the scan read.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot d_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<DescriptionData>)},
    {Py_tp_repr, reinterpret_cast<void*>(d_repr)},
    {Py_tp_methods, d_methods},
    {Py_tp_getset, d_getset},
    {Py_sq_length, reinterpret_cast<void*>(d_len)},
    {Py_tp_doc, const_cast<char*>("The structural profile of one source, as describe() returns it.")},
    {0, nullptr},
};

PyType_Spec d_spec = {
    "jorvane.Description", static_cast<int>(sizeof(Boxed<DescriptionData>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, d_slots,
};

PyObject* description_type() {
    static PyObject* cell = nullptr;
    return cached_type(cell, [] { return type_from_spec(&d_spec); });
}

Ref describe(PyObject* source, std::optional<uint64_t> limit_bytes, uint64_t distinct_cap,
             const std::optional<std::string>& mode_name) {
    const run::SplitFacts facts = run::profile_facts(limit_bytes);
    std::optional<OneSource> one = open_table_source(source, mode_name, nullptr, facts, "describe()");
    if (!one) return {};
    EveryBufferSignals signals;
    std::optional<Result<run::SourceProfile, JorvaneError>> profiled;
    {
        NoGil released;
        profiled =
            run::describe_one_source(*one->source, one->mode, distinct_cap, limit_bytes, &signals, one->walkers);
    }
    if (!profiled) {
        restore_error(std::move(signals.raised));
        return {};
    }
    if (!*profiled) return Ref::steal(raise_jorvane_err(std::move(profiled->error())));
    const Ref type = Ref::borrow(description_type());
    if (!type) return {};
    return box<DescriptionData>(type.get(),
                                DescriptionData{std::move((*profiled)->profile), (*profiled)->bytes_scanned});
}

PyObject* describe_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded(
        [&]() -> PyObject* {
            static const char* const names[] = {"source", "limit_bytes", "distinct_cap", "mode", nullptr};
            PyObject *source = nullptr, *limit = Py_None, *cap = nullptr, *mode = Py_None;
            if (!bind_args(args, kwargs, "O|$OOO:describe", names, &source, &limit, &cap, &mode)) return nullptr;
            std::optional<uint64_t> limit_bytes, distinct_cap;
            std::optional<std::string> mode_name;
            if (!u64_argument(limit, "limit_bytes", limit_bytes)) return nullptr;
            if (cap && !required_u64_argument(cap, "distinct_cap", distinct_cap)) return nullptr;
            if (!str_argument(mode, "mode", mode_name)) return nullptr;
            return describe(source, limit_bytes, distinct_cap.value_or(1000), mode_name).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef describe_def = {
    "describe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(describe_fn)), METH_VARARGS | METH_KEYWORDS,
    "describe(source, *, limit_bytes=None, distinct_cap=1000, mode=None)\n--\n\n"
    "Profile the structure of one source: every path, how often it occurs, with which JSON types and how many "
    "distinct scalar values; returns a Description."};

}  // namespace

PyMethodDef* describe_function() { return &describe_def; }

}  // namespace jorvane::py
