/* A call boundary that callgrind can count on its own: bench/instructions.py runs each measured
 * workload as marked_call(fn), under `--toggle-collect=tolmek_bench_marked_call --dump-after=...`,
 * so that each dump holds that one call's instructions and nothing of start-up or set-up.
 *
 * Built by scripts/bench.sh with the interpreter's own headers; not part of tolmek. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* Not static and never inlined: callgrind finds it by this name. */
__attribute__((noinline, visibility("default"))) PyObject *tolmek_bench_marked_call(PyObject *fn) {
    return PyObject_CallNoArgs(fn);
}

static PyObject *marked_call(PyObject *module, PyObject *fn) {
    (void)module;
    return tolmek_bench_marked_call(fn);
}

static PyMethodDef methods[] = {{"marked_call", marked_call, METH_O, NULL}, {NULL, NULL, 0, NULL}};
static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_mark", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__mark(void) { return PyModule_Create(&module_def); }
