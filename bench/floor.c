/* Floors for the benchmarks: the least a C extension can do for the same calls.
 *
 *   Keep(url, headers, method, body=None)  a type whose construction only keeps references
 *   copy(s)                                a new str of the same size and kind, one memcpy
 *
 * Built by scripts/bench.sh with the interpreter's own headers; not part of tolmek. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

typedef struct {
    PyObject_HEAD
    PyObject *url, *headers, *method, *body;
} Keep;

static void keep_dealloc(PyObject *self) {
    Keep *k = (Keep *)self;
    Py_XDECREF(k->url);
    Py_XDECREF(k->headers);
    Py_XDECREF(k->method);
    Py_XDECREF(k->body);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

static PyObject *keep_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (kwnames != NULL || n < 3 || n > 4) {
        PyErr_SetString(PyExc_TypeError, "Keep(url, headers, method, body=None), positional only");
        return NULL;
    }
    Keep *k = (Keep *)((PyTypeObject *)type)->tp_alloc((PyTypeObject *)type, 0);
    if (k == NULL) return NULL;
    k->url = Py_NewRef(args[0]);
    k->headers = Py_NewRef(args[1]);
    k->method = Py_NewRef(args[2]);
    k->body = Py_NewRef(n == 4 ? args[3] : Py_None);
    return (PyObject *)k;
}

static PyType_Slot keep_slots[] = {{Py_tp_dealloc, keep_dealloc}, {0, NULL}};
static PyType_Spec keep_spec = {"_floor.Keep", sizeof(Keep), 0, Py_TPFLAGS_DEFAULT, keep_slots};

static PyObject *copy(PyObject *module, PyObject *s) {
    (void)module;
    if (!PyUnicode_Check(s)) {
        PyErr_SetString(PyExc_TypeError, "copy() takes a str");
        return NULL;
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    PyObject *out = PyUnicode_New(n, PyUnicode_MAX_CHAR_VALUE(s));
    if (out == NULL) return NULL;
    memcpy(PyUnicode_DATA(out), PyUnicode_DATA(s), (size_t)n * PyUnicode_KIND(s));
    return out;
}

static PyMethodDef methods[] = {{"copy", copy, METH_O, NULL}, {NULL, NULL, 0, NULL}};
static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_floor", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__floor(void) {
    PyObject *m = PyModule_Create(&module_def);
    if (m == NULL) return NULL;
    PyObject *type = PyType_FromSpec(&keep_spec);
    if (type == NULL) {
        Py_DECREF(m);
        return NULL;
    }
    ((PyTypeObject *)type)->tp_vectorcall = keep_vectorcall;
    if (PyModule_AddObject(m, "Keep", type) < 0) {
        Py_DECREF(type);
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
