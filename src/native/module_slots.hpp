// What every extension module of orin.field declares about itself.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.hpp"

namespace orin {

// The kernels keep NumPy's C-API table and the collection its types in
// process-wide statics, so each serves the main interpreter only; the base
// module, of no use without the collection, and the compiled scene, of no
// use without the geometries, follow them.  The slot below
// refuses other interpreters from 3.12 on, but is not enforced for legacy
// ones and does not exist on 3.11: every exec function calls this first.
inline void refuse_subinterpreters(const char* module_name) {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        raise_format(PyExc_ImportError, "%s does not support sub-interpreters", module_name);
    }
}

// The slot list of every module: their exec function, one interpreter
// (see above), and the interpreter lock, which the free-threaded build would
// otherwise assume the modules do without.
template <int (*Exec)(PyObject*)>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

}  // namespace orin
