// The extension module: its definition and the execution step that registers
// every public name in a fixed order (each name is appended to __all__ before
// the attribute is set).
#include "python/accumulators.h"
#include "python/arrow_column.h"
#include "python/describe.h"
#include "python/items.h"
#include "python/table.h"
#include "python/kernel_info.h"
#include "python/numeric_buffer.h"
#include "python/query_result.h"
#include "python/py.h"
#include "python/query.h"
#include "python/py_class.h"
#include "python/source_spec.h"
#include "python/table_batches.h"
#include "python/table_writers.h"

namespace jorvane::py {
namespace {

constexpr const char* kVersion = "0.2.0";

int exec_module(PyObject* module) {
    return guarded(
        [&]() -> int {
            if (!PyModule_Check(module)) {
                raise(PyExc_TypeError, "the execution step needs a module object");
                return -1;
            }
            Ref version = str(kVersion);
            if (!version || !add_to_module(module, "__version__", version.get())) return -1;
            if (!add_type(module, "Query", query_type())) return -1;
            if (!add_type(module, "Source", source_spec_type())) return -1;
            if (!add_type(module, "QueryResult", query_result_type())) return -1;
            if (!add_type(module, "Accumulator", accumulator_type())) return -1;
            if (!add_type(module, "NumericBuffer", numeric_buffer_type())) return -1;
            if (!add_type(module, "Items", items_type())) return -1;
            for (PyMethodDef* def = items_functions(); def->ml_name; ++def) {
                if (!add_function(module, def)) return -1;
            }
            if (!add_type(module, "Table", table_type())) return -1;
            if (!add_function(module, table_function())) return -1;
            if (!add_function(module, table_batches_function())) return -1;
            if (!add_function(module, describe_function())) return -1;
            if (!add_function(module, write_parquet_function())) return -1;
            if (!add_function(module, write_csv_function())) return -1;
            if (!add_function(module, arrow_export_counters_function())) return -1;
            if (!add_function(module, active_kernel_def())) return -1;
            for (PyMethodDef* def = accumulator_constructors(); def->ml_name; ++def) {
                if (!add_function(module, def)) return -1;
            }
            return 0;
        },
        -1);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "jorvane",     // m_name
    nullptr,       // m_doc
    0,             // m_size
    nullptr,       // m_methods
    module_slots,  // m_slots
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace jorvane::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_jorvane(void) {
    return PyModuleDef_Init(&jorvane::py::module_def);
}
