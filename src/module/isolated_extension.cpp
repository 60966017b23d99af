// The Python entry: the module object and its one callable, which converts the arguments to
// UTF-8 and runs the coefficient generation on the calling thread.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "common/internal_error.h"
#include "driver/run_driver.h"

namespace {

// Runs the driver; anything thrown inside it is an internal error, so nothing escapes into
// the interpreter.
int run_guarded(const char* const* argv, uint64_t threads) noexcept {
    try {
        return run_gencoeffs(argv, threads);
    } catch (...) {
        internal_error();
    }
}

PyObject* gencoeffs(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"json_file", "hdf5_file", "frequency_file", "file_out",
                                     "subpixel_scheme", "threads", nullptr};
    PyObject* paths[4] = {};
    int subpixel_scheme = 0;
    int threads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOi|$i:gencoeffs", const_cast<char**>(keywords), &paths[0],
                                     &paths[1], &paths[2], &paths[3], &subpixel_scheme, &threads))
        return nullptr;

    const char* utf8[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (!PyUnicode_Check(paths[i])) {
            PyErr_Format(PyExc_TypeError, "Argument '%s' must be a string.", keywords[i]);
            return nullptr;
        }
        Py_ssize_t size = 0;
        utf8[i] = PyUnicode_AsUTF8AndSize(paths[i], &size);
        if (!utf8[i]) return nullptr;
        // The driver reads NUL-terminated paths: an embedded NUL would silently cut the path.
        if (std::strlen(utf8[i]) != static_cast<std::size_t>(size)) {
            PyErr_Format(PyExc_ValueError, "Argument '%s' must not contain a null character.", keywords[i]);
            return nullptr;
        }
    }

    if (threads < 0) {
        PyErr_SetString(PyExc_ValueError, "Argument 'threads' must be 0 (all cores) or a positive count.");
        return nullptr;
    }
    // 0 asks for every core this process may run on.
    const uint64_t thread_count = threads == 0 ? static_cast<uint64_t>(std::max(1, omp_get_num_procs()))
                                               : static_cast<uint64_t>(threads);

    const std::string scheme_text = std::to_string(subpixel_scheme);
    const char* argv[6] = {"gencoeffs", utf8[0], utf8[1], utf8[2], utf8[3], scheme_text.c_str()};
    if (run_guarded(argv, thread_count) != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Error generating permittivity distribution.");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"_gencoeffs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gencoeffs)), METH_VARARGS | METH_KEYWORDS,
     "Run local subpixel gencoeffs."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "orbelle_extras._isolated_extension",
    "Subprocess-only feature extension for Orbelle extras.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__isolated_extension() { return PyModule_Create2(&module_definition, 1013); }
