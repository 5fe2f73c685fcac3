#include "python/source_spec.h"

#include <string>
#include <vector>

#include "python/py_class.h"
#include "util/text.h"

namespace jorvane::py {
namespace {

PyObject*& type_cell() {
    static PyObject* cell = nullptr;
    return cell;
}

PyObject* spec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded(
        [&]() -> PyObject* {
            static const char* const names[] = {"obj", "progress", "progress_interval", "name", "compression",
                                                nullptr};
            PyObject *obj = nullptr, *progress = nullptr, *interval = nullptr, *name = nullptr,
                     *compression = nullptr;
            if (!bind_args(args, kwargs, "O|$OOOO:Source", names, &obj, &progress, &interval, &name, &compression))
                return nullptr;
            PySourceSpec spec;
            std::optional<std::string> codec;
            if (!u64_argument(interval, "progress_interval", spec.progress_interval) ||
                !str_argument(name, "name", spec.name) || !str_argument(compression, "compression", codec))
                return nullptr;

            if (as_source_spec(obj)) {
                return raise(PyExc_ValueError, "Source cannot wrap another Source; pass the underlying source once");
            }
            if (spec.progress_interval) {
                if (!given(progress))
                    return raise(PyExc_ValueError, "progress_interval= only makes sense with a progress= callback");
                if (*spec.progress_interval == 0) return raise(PyExc_ValueError, "progress_interval must be at least 1");
            }
            if (codec) {
                auto c = parse_compression(*codec);
                if (!c) {
                    return raise(PyExc_ValueError,
                                 "compression must be \"gzip\", \"zstd\", or \"none\", got " + debug_quote(*codec));
                }
                spec.compression = *c;
            }
            spec.obj = Ref::borrow(obj);
            if (given(progress)) spec.progress = Ref::borrow(progress);
            return box<PySourceSpec>(reinterpret_cast<PyObject*>(type), std::move(spec)).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* spec_repr(PyObject* self) {
    return guarded(
        [&]() -> PyObject* {
            const PySourceSpec& s = unbox<PySourceSpec>(self);
            std::vector<std::string> parts;
            if (s.progress) parts.emplace_back("progress=...");
            if (s.progress_interval) parts.push_back("progress_interval=" + std::to_string(*s.progress_interval));
            if (s.name) parts.push_back("name=" + debug_quote(*s.name));
            if (s.compression != Compression::Unset)
                parts.push_back(std::string("compression=") + debug_quote(compression_name(s.compression)));
            std::string inner;
            Ref r = Ref::steal(PyObject_Repr(s.obj.get()));
            if (!r || !as_utf8(r.get(), inner)) {
                PyErr_Clear();
                inner = "<source>";
            }
            std::string text = "Source(" + inner;
            for (const std::string& p : parts) text += ", " + p;
            text += ")";
            return str(text).release();
        },
        static_cast<PyObject*>(nullptr));
}

// The wrapped object and the callback may refer back to the wrapper, so the
// type takes part in cycle collection.
int spec_traverse(PyObject* self, visitproc visit, void* arg) {
    const PySourceSpec& s = unbox<PySourceSpec>(self);
    Py_VISIT(s.obj.get());
    Py_VISIT(s.progress.get());
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return 0;
}

int spec_clear(PyObject* self) {
    PySourceSpec& s = unbox<PySourceSpec>(self);
    Ref obj = std::move(s.obj);
    Ref progress = std::move(s.progress);
    s.obj = Ref::borrow(Py_None);
    return 0;
}

PyType_Slot spec_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(spec_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(spec_clear)},
    {Py_tp_new, reinterpret_cast<void*>(spec_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_gc_dealloc<PySourceSpec>)},
    {Py_tp_repr, reinterpret_cast<void*>(spec_repr)},
    {Py_tp_doc, const_cast<char*>(
                    "Source(obj, *, progress=None, progress_interval=None, name=None, compression=None)\n--\n\n"
                    "Declarative per-source configuration. Wraps any accepted source form (a path or glob, "
                    "JSON text as str or bytes, a URL, a file-like object) and attaches options that belong "
                    "to that source rather than to the run: a progress callback with its interval in bytes, "
                    "a name that labels the source's results, and the compression codec (\"gzip\", \"zstd\" "
                    "or \"none\"; by default a file's extension decides). Accepted anywhere a bare source is.")},
    {0, nullptr},
};

PyType_Spec spec_spec = {
    "jorvane.Source", static_cast<int>(sizeof(Boxed<PySourceSpec>)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    spec_slots,
};

}  // namespace

PyObject* source_spec_type() {
    return cached_type(type_cell(), [] { return type_from_spec(&spec_spec); });
}

bool adopt_source_spec_type(PyObject* type) {
    PyObject*& cell = type_cell();
    if (cell) return false;
    Py_INCREF(type);
    cell = type;
    return true;
}

const PySourceSpec* as_source_spec(PyObject* o) {
    PyObject* type = type_cell();
    if (!type || !o) return nullptr;  // no Source object can exist before its type
    if (!PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(type))) return nullptr;
    return &unbox<PySourceSpec>(o);
}

}  // namespace jorvane::py
