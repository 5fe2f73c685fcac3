#include "python/kernel_info.h"

#include "classification_kernel/kernel.h"

namespace jorvane::py {
namespace {

PyObject* active_kernel(PyObject*, PyObject*) {
    return guarded([] { return str(classification_kernel::kernel_name(classification_kernel::active_kernel())).release(); },
                   static_cast<PyObject*>(nullptr));
}

PyMethodDef def = {
    "_active_kernel", active_kernel, METH_NOARGS,
    "_active_kernel()\n--\n\nThe stage-1 classification kernel in use: \"avx512\", \"avx2\", \"neon\" or \"scalar\".",
};

}  // namespace

PyMethodDef* active_kernel_def() { return &def; }

}  // namespace jorvane::py
