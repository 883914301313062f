// Conversion failures that name types.
#include "binding/messages.hpp"

#include "binding/error.hpp"

namespace tolmek::binding {

void raise_cannot_convert(PyObject* obj, const char* target) {
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!qualname) {
        PyErr_Clear();
        qualname = Ref::steal(PyUnicode_FromString("<failed to extract type name>"));
    }
    raise(PyExc_TypeError,
          Ref::steal(qualname ? PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", qualname.get(), target)
                              : nullptr));
}

void raise_not_initialised(const char* class_name) {
    raise(PyExc_TypeError, Ref::steal(PyUnicode_FromFormat("'%s' object is not initialised", class_name)));
}

void raise_str_for_list() { raise(PyExc_TypeError, "a str cannot be taken as a list"); }

void raise_wrong_length(Py_ssize_t expected, Py_ssize_t actual) {
    raise(PyExc_ValueError,
          Ref::steal(PyUnicode_FromFormat("expected tuple of length %zd, but got tuple of length %zd", expected, actual)));
}

}  // namespace tolmek::binding
