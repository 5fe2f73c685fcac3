#include "python/numeric_buffer.h"

#include <climits>
#include <string>

#include "python/py_class.h"

namespace jorvane::py {
namespace {

PyObject* nb_repr(PyObject* self) {
    return guarded(
        [&]() -> PyObject* {
            const auto& d = unbox<NumericBufferData>(self);
            return str("NumericBuffer(len=" + std::to_string(d.len) + ", skipped=" + std::to_string(d.skipped) + ")")
                .release();
        },
        static_cast<PyObject*>(nullptr));
}

Py_ssize_t nb_len(PyObject* self) {
    const auto& d = unbox<NumericBufferData>(self);
    if (d.len > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        raise(PyExc_OverflowError, "length does not fit in a signed machine word");
        return -1;
    }
    return static_cast<Py_ssize_t>(d.len);
}

PyObject* nb_get_buffer(PyObject* self, void*) { return Ref(unbox<NumericBufferData>(self).buffer).release(); }

PyObject* nb_get_skipped(PyObject* self, void*) {
    return uinteger(unbox<NumericBufferData>(self).skipped).release();
}

PyGetSetDef nb_getset[] = {
    {"buffer", nb_get_buffer, nullptr,
     "The values as consecutive native-endian 8-byte floats (wrap with numpy.frombuffer(b.buffer)).", nullptr},
    {"skipped", nb_get_skipped, nullptr, "How many matched values were not numeric and were left out.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot nb_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<NumericBufferData>)},
    {Py_tp_repr, reinterpret_cast<void*>(nb_repr)},
    {Py_sq_length, reinterpret_cast<void*>(nb_len)},
    {Py_tp_getset, nb_getset},
    {Py_tp_doc, const_cast<char*>("The numeric values of a Values(into=..., numeric=True) binding: `buffer` holds "
                                  "them as native-endian doubles, `skipped` counts the non-numeric matches.")},
    {0, nullptr},
};

PyType_Spec nb_spec = {
    "jorvane.NumericBuffer", static_cast<int>(sizeof(Boxed<NumericBufferData>)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, nb_slots,
};

}  // namespace

PyObject* numeric_buffer_type() {
    static PyObject* cell = nullptr;
    return cached_type(cell, [] { return type_from_spec(&nb_spec); });
}

Ref make_numeric_buffer(const std::vector<double>& values, uint64_t skipped) {
    PyObject* type = numeric_buffer_type();
    if (!type) return {};
    Ref data = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                    static_cast<Py_ssize_t>(values.size() * sizeof(double))));
    if (!data) return {};
    return box<NumericBufferData>(type, NumericBufferData{std::move(data), skipped, values.size()});
}

}  // namespace jorvane::py
