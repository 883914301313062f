/* Floors for the benchmarks: the least a C extension can do for the same calls.
 *
 *   Keep(url, headers, method, body=None)  a type whose construction only keeps references
 *   Copy(url, headers, method, body=None)  a type that copies every text's storage, as it is,
 *                                          into one block of its own: no checks, no encoding
 *   copy(s)                                a new str of the same size and kind, one memcpy
 *
 * Built by scripts/bench.sh with the interpreter's own headers; not part of tolmek. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stddef.h>
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

/* Copy: the least an object owning its texts does; headers is a list of (str, str) tuples. */
typedef struct {
    PyObject_VAR_HEAD
    PyObject *method;
    char data[1];
} Copy;

static void copy_dealloc(PyObject *self) {
    Py_XDECREF(((Copy *)self)->method);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

static size_t text_size(PyObject *s) { return (size_t)PyUnicode_GET_LENGTH(s) * PyUnicode_KIND(s); }

static char *put_text(char *at, PyObject *s) {
    size_t n = text_size(s);
    memcpy(at, PyUnicode_DATA(s), n);
    return at + n;
}

static PyObject *copy_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (kwnames != NULL || n < 3 || n > 4 || !PyUnicode_Check(args[0]) || !PyList_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "Copy(url: str, headers: list, method, body=None), positional only");
        return NULL;
    }
    PyObject *body = n == 4 && args[3] != Py_None ? args[3] : NULL;
    if (body != NULL && !PyUnicode_Check(body)) {
        PyErr_SetString(PyExc_TypeError, "body must be a str or None");
        return NULL;
    }
    Py_ssize_t count = PyList_GET_SIZE(args[1]);
    size_t size = text_size(args[0]) + (body ? text_size(body) : 0);
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *pair = PyList_GET_ITEM(args[1], i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(pair, 0)) ||
            !PyUnicode_Check(PyTuple_GET_ITEM(pair, 1))) {
            PyErr_SetString(PyExc_TypeError, "a header must be a (str, str) tuple");
            return NULL;
        }
        size += text_size(PyTuple_GET_ITEM(pair, 0)) + text_size(PyTuple_GET_ITEM(pair, 1));
    }
    Copy *c = (Copy *)((PyTypeObject *)type)->tp_alloc((PyTypeObject *)type, (Py_ssize_t)size);
    if (c == NULL) return NULL;
    char *at = put_text(c->data, args[0]);
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *pair = PyList_GET_ITEM(args[1], i);
        at = put_text(at, PyTuple_GET_ITEM(pair, 0));
        at = put_text(at, PyTuple_GET_ITEM(pair, 1));
    }
    if (body != NULL) put_text(at, body);
    c->method = Py_NewRef(args[2]);
    return (PyObject *)c;
}

static PyType_Slot copy_slots[] = {{Py_tp_dealloc, copy_dealloc}, {0, NULL}};
static PyType_Spec copy_spec = {"_floor.Copy", offsetof(Copy, data), 1, Py_TPFLAGS_DEFAULT, copy_slots};

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

/* Adds a type made from spec, called through vectorcall, to m under name; -1 on failure. */
static int add_type(PyObject *m, const char *name, PyType_Spec *spec, vectorcallfunc vectorcall) {
    PyObject *type = PyType_FromSpec(spec);
    if (type == NULL) return -1;
    ((PyTypeObject *)type)->tp_vectorcall = vectorcall;
    int added = PyModule_AddObjectRef(m, name, type);
    Py_DECREF(type);
    return added;
}

PyMODINIT_FUNC PyInit__floor(void) {
    PyObject *m = PyModule_Create(&module_def);
    if (m == NULL) return NULL;
    if (add_type(m, "Keep", &keep_spec, keep_vectorcall) < 0 || add_type(m, "Copy", &copy_spec, copy_vectorcall) < 0) {
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
