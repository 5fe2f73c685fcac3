// ArrowColumn holds one exported pair of records until a consumer asks for
// them through the Arrow PyCapsule protocol. The records then move into two
// capsules whose destructors release whatever the consumer did not take
// (an importing consumer clears the record's callback and releases it
// itself later); the object is left empty for good. A pair nobody asked
// for is released with the object.
#include "python/arrow_column.h"

#include <optional>
#include <string>
#include <utility>

#include "arrow_ffi/export_column.h"
#include "python/borrow.h"
#include "python/py_class.h"

namespace jorvane::py {
namespace {

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kArrayCapsule = "arrow_array";

struct ArrowColumnData {
    std::optional<arrow_ffi::Exported> pair;  // absent once handed to a consumer
    BorrowFlag flag;
};

// A capsule's record goes back into a box, which releases it unless the
// consumer took it, and frees it.
void schema_capsule_destructor(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, kSchemaCapsule)) return;
    arrow_ffi::Box<ArrowSchema> owned(static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule)));
}

void array_capsule_destructor(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, kArrayCapsule)) return;
    arrow_ffi::Box<ArrowArray> owned(static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, kArrayCapsule)));
}

// A capsule that takes `box` when it can be made; the box stays put otherwise.
template <class Record>
bool capsule_for(arrow_ffi::Box<Record>& box, const char* name, PyCapsule_Destructor destructor, Ref& out) {
    out = Ref::steal(PyCapsule_New(box.get(), name, destructor));
    if (!out) return false;
    (void)box.release();
    return true;
}

PyObject* ac_arrow_c_array(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded(
        [&]() -> PyObject* {
            static const char* const names[] = {"requested_schema", nullptr};
            PyObject* requested = Py_None;  // each column kind has one layout: ignored
            if (!bind_args(args, kwargs, "|O:__arrow_c_array__", names, &requested)) return nullptr;
            ArrowColumnData& d = unbox<ArrowColumnData>(self);
            Borrow borrow(d.flag, true);
            if (!borrow.ok()) return nullptr;
            std::optional<arrow_ffi::Exported> pair = std::move(d.pair);
            d.pair.reset();
            if (!pair) return raise(PyExc_RuntimeError, "this column has already been handed to a consumer");
            Ref schema, array;
            const bool held = arrow_ffi::hand_over(
                std::move(*pair),
                [&](arrow_ffi::Box<ArrowSchema>& b) { return capsule_for(b, kSchemaCapsule, schema_capsule_destructor, schema); },
                [&](arrow_ffi::Box<ArrowArray>& b) { return capsule_for(b, kArrayCapsule, array_capsule_destructor, array); });
            if (!held) return nullptr;
            return PyTuple_Pack(2, schema.get(), array.get());
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef ac_methods[] = {
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ac_arrow_c_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\n"
     "The column as (schema capsule, array capsule), once; requested_schema is ignored."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ac_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<ArrowColumnData>)},
    {Py_tp_methods, ac_methods},
    {Py_tp_doc, const_cast<char*>("One exported table column, taken once by an Arrow consumer through the Arrow "
                                  "PyCapsule protocol.")},
    {0, nullptr},
};

PyType_Spec ac_spec = {
    "jorvane.ArrowColumn", static_cast<int>(sizeof(Boxed<ArrowColumnData>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, ac_slots,
};

PyObject* arrow_column_type() {
    static PyObject* cell = nullptr;
    return cached_type(cell, [] { return type_from_spec(&ac_spec); });
}

PyObject* export_counters_fn(PyObject*, PyObject*) {
    return guarded(
        [&]() -> PyObject* {
            const arrow_ffi::ExportCounters c = arrow_ffi::export_counters();
            Ref exported = uinteger(c.exported);
            Ref released = exported ? uinteger(c.released) : Ref();
            if (!released) return nullptr;
            return PyTuple_Pack(2, exported.get(), released.get());
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef export_counters_def = {
    "_arrow_export_counters", export_counters_fn, METH_NOARGS,
    "_arrow_export_counters()\n--\n\n"
    "(exported, released): Arrow arrays built by this process and arrays released; equal once every export is "
    "freed."};

std::nullptr_t raise_refusal(const arrow_ffi::Refusal& refusal, std::string_view refusal_suffix) {
    return raise(PyExc_ValueError, refusal.message + std::string(refusal_suffix));
}

}  // namespace

Ref make_arrow_column(arrow_ffi::Exported pair) {
    ArrowColumnData d;
    d.pair.emplace(std::move(pair));
    PyObject* type = arrow_column_type();
    if (!type) return {};
    return box<ArrowColumnData>(type, std::move(d));
}

Ref arrow_column_of(std::string_view name, table::Column column, std::string_view refusal_suffix) {
    auto exported = arrow_ffi::export_column(name, std::move(column));
    if (!exported) return Ref::steal(raise_refusal(exported.error(), refusal_suffix));
    return make_arrow_column(std::move(exported.value()));
}

bool check_exportable(std::string_view name, const table::Column& column, std::string_view refusal_suffix) {
    const std::optional<arrow_ffi::Refusal> refused = arrow_ffi::export_refusal(name, column);
    if (refused) raise_refusal(*refused, refusal_suffix);
    return !refused;
}

Ref pyarrow_array_of(PyObject* pyarrow, std::string_view name, table::Column column, std::string_view refusal_suffix) {
    Ref wrapped = arrow_column_of(name, std::move(column), refusal_suffix);
    Ref array_fn = wrapped ? Ref::steal(PyObject_GetAttrString(pyarrow, "array")) : Ref();
    if (!array_fn) return {};
    return Ref::steal(PyObject_CallFunctionObjArgs(array_fn.get(), wrapped.get(), nullptr));
}

PyMethodDef* arrow_export_counters_function() { return &export_counters_def; }

}  // namespace jorvane::py
