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
#include "spec/simulation_spec.h"

namespace {

// Runs the driver; anything thrown inside it is an internal error, so nothing escapes into
// the interpreter.
int run_guarded(const char* const* argv, uint64_t threads, std::string& load_cause) noexcept {
    try {
        return run_gencoeffs(argv, threads, &load_cause);
    } catch (...) {
        internal_error();
    }
}

// The UTF-8 text of a path argument: a str without embedded NUL. Sets the Python error and
// returns null otherwise.
const char* path_argument(PyObject* value, const char* name) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "Argument '%s' must be a string.", name);
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (!text) return nullptr;
    // The driver reads NUL-terminated paths: an embedded NUL would silently cut the path.
    if (std::strlen(text) != static_cast<std::size_t>(size)) {
        PyErr_Format(PyExc_ValueError, "Argument '%s' must not contain a null character.", name);
        return nullptr;
    }
    return text;
}

// Raises RuntimeError with the message, the cause of the failed load attached as a note.
PyObject* raise_with_cause(const char* message, const std::string& cause) {
    PyObject* error = PyObject_CallFunction(PyExc_RuntimeError, "s", message);
    if (!error) return nullptr;
    if (!cause.empty()) {
        PyObject* noted = PyObject_CallMethod(error, "add_note", "s", cause.c_str());
        if (!noted) {
            Py_DECREF(error);
            return nullptr;
        }
        Py_DECREF(noted);
    }
    PyErr_SetObject(PyExc_RuntimeError, error);
    Py_DECREF(error);
    return nullptr;
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
    for (int i = 0; i < 4; ++i)
        if (!(utf8[i] = path_argument(paths[i], keywords[i]))) return nullptr;

    if (threads < 0) {
        PyErr_SetString(PyExc_ValueError, "Argument 'threads' must be 0 (all cores) or a positive count.");
        return nullptr;
    }
    // 0 asks for every core this process may run on.
    const uint64_t thread_count = threads == 0 ? static_cast<uint64_t>(std::max(1, omp_get_num_procs()))
                                               : static_cast<uint64_t>(threads);

    const std::string scheme_text = std::to_string(subpixel_scheme);
    const char* argv[6] = {"gencoeffs", utf8[0], utf8[1], utf8[2], utf8[3], scheme_text.c_str()};
    std::string load_cause;
    if (run_guarded(argv, thread_count, load_cause) != 0)
        return raise_with_cause("Error generating permittivity distribution.", load_cause);
    Py_RETURN_NONE;
}

// Loads the specification (with the gridded media of hdf5_file unless it is None) without
// computing anything; returns a summary of what was loaded.
PyObject* check_specification(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"json_file", "hdf5_file", nullptr};
    PyObject* json_file = nullptr;
    PyObject* hdf5_file = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:check_specification", const_cast<char**>(keywords),
                                     &json_file, &hdf5_file))
        return nullptr;
    const char* json_path = path_argument(json_file, "json_file");
    if (!json_path) return nullptr;
    const char* hdf5_path = nullptr;
    if (hdf5_file != Py_None && !(hdf5_path = path_argument(hdf5_file, "hdf5_file"))) return nullptr;

    SimulationSpec spec;
    std::string cause;
    int loaded = -1;
    try {
        loaded = load_simulation_spec(spec, json_path, hdf5_path, &cause);
    } catch (...) {
        internal_error();
    }
    if (loaded != 0) return raise_with_cause("Error loading simulation specification JSON file.", cause);
    long gridded = 0;
    for (const auto& medium : spec.media) gridded += medium->kinds[0] == ComponentKind::Custom ? 1 : 0;
    return Py_BuildValue("{s:n,s:l,s:n,s:O,s:O}", "media", static_cast<Py_ssize_t>(spec.media.size()), "gridded_media",
                         gridded, "structures", static_cast<Py_ssize_t>(spec.structures.size()), "conformal_metal",
                         spec.has_conformal_metal ? Py_True : Py_False, "pmc", spec.has_pmc ? Py_True : Py_False);
}

PyMethodDef methods[] = {
    {"_gencoeffs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gencoeffs)), METH_VARARGS | METH_KEYWORDS,
     "Run local subpixel gencoeffs."},
    {"_check_specification",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_specification)), METH_VARARGS | METH_KEYWORDS,
     "Load a simulation specification without computing; return a summary of it."},
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
