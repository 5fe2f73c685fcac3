// jorvane_testhooks: a test-only extension module that exposes the source
// handling of the bindings (classification, resolution, opening and reading)
// to pytest before the public entry points that use it exist. It is
// built beside the package for in-tree runs and never installed.
#include <algorithm>
#include <csignal>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "python/carried_py_err.h"
#include "python/open_resolved.h"
#include "python/py.h"
#include "python/py_class.h"
#include "python/resolve_sources.h"
#include "python/source_items.h"
#include "python/source_spec.h"
#include "util/text.h"

namespace jorvane::py {
namespace {

Ref options_dict(const SourceOptions& o) {
    Ref interval = o.progress_interval ? uinteger(*o.progress_interval) : none();
    Ref name = o.name ? str(*o.name) : none();
    Ref comp = o.compression == Compression::Unset ? none() : str(compression_name(o.compression));
    return Ref::steal(Py_BuildValue("{sOsOsOsO}", "progress", o.progress ? o.progress.get() : Py_None,
                                    "progress_interval", interval.get(), "name", name.get(), "compression",
                                    comp.get()));
}

Ref bytes_object(const std::vector<uint8_t>& b) {
    return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size())));
}

Ref resolved_dict(const ResolvedItem& r, const SourceOptions& o, const std::string* label) {
    static const char* const kinds[] = {"file", "bytes", "reader"};
    Ref d = Ref::steal(PyDict_New());
    Ref opts = options_dict(o);
    if (!d || !opts) return {};
    auto set = [&](const char* k, Ref v) { return v && PyDict_SetItemString(d.get(), k, v.get()) == 0; };
    bool ok = set("kind", str(kinds[static_cast<int>(r.kind)])) && set("options", opts);
    if (label) ok = ok && set("label", str(*label));
    switch (r.kind) {
        case ResolvedItem::Kind::File:
            ok = ok && set("path", str(r.path_text)) && set("raw", bytes(r.path));
            break;
        case ResolvedItem::Kind::Bytes: ok = ok && set("bytes", bytes_object(r.bytes)); break;
        case ResolvedItem::Kind::Reader:
            ok = ok && set("reader", r.reader) && set("keep_open", boolean(r.keep_open));
            break;
    }
    return ok ? d : Ref();
}

bool classify_any(PyObject* source, std::vector<ClassifiedItem>& out) {
    if (PyDict_Check(source)) return parse_source_dict(source, out);
    return parse_source_items(source, out);
}

// resolve(source, labeled=True) -> [dict]
PyObject* hook_resolve(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded(
        [&]() -> PyObject* {
            static const char* const names[] = {"source", "labeled", nullptr};
            PyObject* source = nullptr;
            int labeled = 1;
            if (!bind_args(args, kwargs, "O|p:resolve", names, &source, &labeled)) return nullptr;
            std::vector<ClassifiedItem> items;
            if (!classify_any(source, items)) return nullptr;
            Ref list = Ref::steal(PyList_New(0));
            if (labeled) {
                LabeledSources out;
                if (!resolve_labeled_sources(std::move(items), out)) return nullptr;
                for (size_t i = 0; i < out.items.size(); ++i) {
                    Ref d = resolved_dict(out.items[i], out.options[i], &out.labels[i]);
                    if (!d || PyList_Append(list.get(), d.get()) < 0) return nullptr;
                }
            } else {
                std::vector<ResolvedSource> out;
                if (!resolve_source_items(std::move(items), out)) return nullptr;
                for (const ResolvedSource& r : out) {
                    Ref d = resolved_dict(r.item, r.options, nullptr);
                    if (!d || PyList_Append(list.get(), d.get()) < 0) return nullptr;
                }
            }
            return list.release();
        },
        static_cast<PyObject*>(nullptr));
}

// Reads `src` to its end (or `abandon_after` chunks, then abandons twice)
// with the interpreter lock released, on this thread or a new one. When
// given, `between(i)` is called with the lock taken after the i-th buffer is
// handed out and before its bytes are read; a buffer the source then reports
// lost ends the reading with that read failure.
struct ReadOutcome {
    std::vector<std::vector<uint8_t>> chunks;
    std::optional<IoError> error;
};

ReadOutcome drain(Source& src, long abandon_after, bool on_thread, PyObject* between = nullptr) {
    ReadOutcome out;
    auto body = [&]() noexcept {
        try {
            for (;;) {
                if (abandon_after >= 0 && static_cast<long>(out.chunks.size()) == abandon_after) {
                    src.abandon();
                    src.abandon();
                    return;
                }
                auto c = src.next_buffer();
                if (!c) {
                    out.error = std::move(c).error();
                    return;
                }
                if (!*c) return;
                if (between) {
                    Gil gil;
                    Ref index = Ref::steal(PyLong_FromSize_t(out.chunks.size()));
                    Ref r = Ref::steal(index ? PyObject_CallFunctionObjArgs(between, index.get(), nullptr) : nullptr);
                    if (!r) {
                        PyErr_Clear();
                        out.error = IoError::custom(IoErrorKind::Other, "between() raised");
                        return;
                    }
                }
                out.chunks.emplace_back((*c)->begin(), (*c)->end());
                if (auto lost = src.lost_buffer()) {
                    out.error = std::move(*lost);
                    return;
                }
            }
        } catch (...) {
            out.error = IoError::custom(IoErrorKind::Other, "panic while reading");
        }
    };
    NoGil nogil;
    if (on_thread) {
        std::thread t(body);
        t.join();
    } else {
        body();
    }
    return out;
}

Ref chunk_list(const ReadOutcome& got) {
    Ref list = Ref::steal(PyList_New(0));
    for (const auto& ch : got.chunks) {
        Ref b = bytes_object(ch);
        if (!b || PyList_Append(list.get(), b.get()) < 0) return {};
    }
    return list;
}

// Raises the read error: a carried KeyboardInterrupt or SystemExit as itself,
// anything else as RuntimeError with the error's text.
PyObject* raise_read_error(const IoError& e) {
    if (const auto* carried = e.find_payload<CarriedPyErr>()) {
        Ref exc = carried->exception();
        if (PyErr_GivenExceptionMatches(exc.get(), PyExc_KeyboardInterrupt) ||
            PyErr_GivenExceptionMatches(exc.get(), PyExc_SystemExit)) {
            restore_error(std::move(exc));
            return nullptr;
        }
    }
    return raise(PyExc_RuntimeError, e.to_string());
}

// Reads `src` (consumed) as drain() does and drops it without the lock (it
// may hold Python objects, or a reader thread to join): the chunks, or the
// read error raised.
Ref read_all(std::unique_ptr<Source> src, long abandon_after = -1, bool on_thread = false,
             PyObject* between = nullptr) {
    ReadOutcome got = drain(*src, abandon_after, on_thread, between);
    {
        NoGil nogil;
        src.reset();
    }
    if (got.error) {
        raise_read_error(*got.error);
        return {};
    }
    return chunk_list(got);
}

// read(source, *, compression=None, prefetch=False, buffer_len=1048576,
//      thread=False, abandon_after=-1, between=None) -> [[chunk bytes] per source]
PyObject* hook_read(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded(
        [&]() -> PyObject* {
            static const char* const names[] = {"source", "compression", "prefetch", "buffer_len", "thread",
                                                "abandon_after", "between", nullptr};
            PyObject *source = nullptr, *comp = nullptr, *between = nullptr;
            int prefetch = 0, thread = 0;
            Py_ssize_t buffer_len = 1048576;
            long abandon_after = -1;
            if (!bind_args(args, kwargs, "O|$OpnpLO:read", names, &source, &comp, &prefetch, &buffer_len, &thread,
                           &abandon_after, &between))
                return nullptr;
            if (!given(between)) between = nullptr;
            std::optional<Compression> override_c;
            if (given(comp)) {
                std::string text;
                if (!as_utf8(comp, text)) return nullptr;
                override_c = parse_compression(text);
                if (!override_c) return raise(PyExc_ValueError, "bad compression");
            }
            std::vector<ClassifiedItem> items;
            if (!classify_any(source, items)) return nullptr;
            std::vector<ResolvedSource> resolved;
            if (!resolve_source_items(std::move(items), resolved)) return nullptr;
            Ref result = Ref::steal(PyList_New(0));
            for (ResolvedSource& r : resolved) {
                Compression c = override_c ? *override_c : r.options.compression;
                std::unique_ptr<Source> src =
                    open_resolved(std::move(r.item), prefetch != 0, static_cast<size_t>(buffer_len), c);
                if (!src) return nullptr;
                Ref chunks = read_all(std::move(src), abandon_after, thread != 0, between);
                if (!chunks || PyList_Append(result.get(), chunks.get()) < 0) return nullptr;
            }
            return result.release();
        },
        static_cast<PyObject*>(nullptr));
}

// single_table_source(source, pipelined=False) -> [chunk bytes]: the source a
// table-shaped consumer opens
PyObject* hook_single(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded(
        [&]() -> PyObject* {
            static const char* const names[] = {"source", "pipelined", nullptr};
            PyObject* source = nullptr;
            int pipelined = 0;
            if (!bind_args(args, kwargs, "O|p:single_table_source", names, &source, &pipelined)) return nullptr;
            std::optional<OneSource> one =
                open_table_source(source, std::string(pipelined != 0 ? "pipelined" : "batched"), nullptr,
                                  run::SplitFacts{}, "table()");
            if (!one) return nullptr;
            return read_all(std::move(one->source)).release();
        },
        static_cast<PyObject*>(nullptr));
}

// open_path(raw_path) -> [chunk bytes]: opens a file item directly, as if
// resolution had found it.
PyObject* hook_open_path(PyObject*, PyObject* args) {
    return guarded(
        [&]() -> PyObject* {
            const char* data = nullptr;
            Py_ssize_t len = 0;
            if (!PyArg_ParseTuple(args, "y#:open_path", &data, &len)) return nullptr;
            ResolvedItem item;
            item.kind = ResolvedItem::Kind::File;
            item.path.assign(data, static_cast<size_t>(len));
            item.path_text = lossy_utf8(item.path);
            std::unique_ptr<Source> src = open_resolved(std::move(item), false, 1048576, Compression::Unset);
            if (!src) return nullptr;
            return read_all(std::move(src)).release();
        },
        static_cast<PyObject*>(nullptr));
}

// interrupting_reader(data, chunk, trips) -> a file-like whose read(n) hands
// out the next bytes of `data`, at most `chunk` of them, and trips SIGINT
// (PyErr_SetInterruptEx) on each read that starts at or past the next offset
// of the ascending list `trips`. No Python code runs in it, so the signal
// stays pending until whoever called read() looks for signals: the scan's
// refill is where it lands.
struct InterruptingReader {
    std::string data;
    size_t pos = 0;
    size_t chunk = 1;
    std::vector<size_t> trips;
    size_t next_trip = 0;
};

PyObject* reader_read(PyObject* self, PyObject* args) {
    Py_ssize_t asked = -1;
    if (!PyArg_ParseTuple(args, "|n:read", &asked)) return nullptr;
    InterruptingReader& r = unbox<InterruptingReader>(self);
    if (r.next_trip < r.trips.size() && r.pos >= r.trips[r.next_trip]) {
        ++r.next_trip;
        PyErr_SetInterruptEx(SIGINT);
    }
    size_t n = std::min(r.chunk, r.data.size() - r.pos);
    if (asked >= 0) n = std::min(n, static_cast<size_t>(asked));
    Ref out = bytes(std::string_view(r.data).substr(r.pos, n));
    if (out) r.pos += n;
    return out.release();
}

PyMethodDef reader_methods[] = {
    {"read", reader_read, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<InterruptingReader>)},
    {Py_tp_methods, reader_methods},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "jorvane_testhooks.InterruptingReader", static_cast<int>(sizeof(Boxed<InterruptingReader>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, reader_slots,
};

PyObject* hook_interrupting_reader(PyObject*, PyObject* args) {
    return guarded(
        [&]() -> PyObject* {
            const char* data = nullptr;
            Py_ssize_t len = 0, chunk = 0;
            PyObject* trips = nullptr;
            if (!PyArg_ParseTuple(args, "y#nO:interrupting_reader", &data, &len, &chunk, &trips)) return nullptr;
            if (chunk < 1) return raise(PyExc_ValueError, "chunk must be at least 1");
            InterruptingReader r;
            r.data.assign(data, static_cast<size_t>(len));
            r.chunk = static_cast<size_t>(chunk);
            Ref seq = Ref::steal(PySequence_Fast(trips, "trips must be a sequence of offsets"));
            if (!seq) return nullptr;
            for (Py_ssize_t i = 0; i < PySequence_Size(seq.get()); ++i) {
                Ref item = Ref::steal(PySequence_GetItem(seq.get(), i));
                const size_t offset = item ? PyLong_AsSize_t(item.get()) : static_cast<size_t>(-1);
                if (PyErr_Occurred()) return nullptr;
                r.trips.push_back(offset);
            }
            static PyObject* type = nullptr;
            if (!cached_type(type, [] { return type_from_spec(&reader_spec); })) return nullptr;
            return box<InterruptingReader>(type, std::move(r)).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef hook_methods[] = {
    {"interrupting_reader", hook_interrupting_reader, METH_VARARGS, nullptr},
    {"resolve", reinterpret_cast<PyCFunction>(hook_resolve), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"read", reinterpret_cast<PyCFunction>(hook_read), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"single_table_source", reinterpret_cast<PyCFunction>(hook_single), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"open_path", reinterpret_cast<PyCFunction>(hook_open_path), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int exec_hooks(PyObject* module) {
    return guarded(
        [&]() -> int {
            // Share the loaded extension's Source class so that its objects
            // are recognised by this copy of the code.
            Ref ext = Ref::steal(PyImport_ImportModule("jorvane.jorvane"));
            if (!ext) return -1;
            Ref source_type = Ref::steal(PyObject_GetAttrString(ext.get(), "Source"));
            if (!source_type) return -1;
            adopt_source_spec_type(source_type.get());
            return PyModule_AddFunctions(module, hook_methods);
        },
        -1);
}

PyModuleDef_Slot hook_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_hooks)},
    {0, nullptr},
};

PyModuleDef hook_def = {
    PyModuleDef_HEAD_INIT, "jorvane_testhooks", nullptr, 0, nullptr, hook_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace jorvane::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_jorvane_testhooks(void) {
    return PyModuleDef_Init(&jorvane::py::hook_def);
}
