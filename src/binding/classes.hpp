// The module's three classes as the binding layer sees them.
#pragma once

#include <Python.h>

#include "binding/ref.hpp"
#include "binding/type_object.hpp"
#include "model/collection.hpp"
#include "model/http_method.hpp"
#include "model/request.hpp"

namespace tolmek::binding {

LazyType& http_method_type();
LazyType& tolmek_type();
LazyType& collection_type();

/// The method value of an HTTPMETHOD member; TypeError naming
/// "HTTPMETHOD" for anything else, an instance that the module did not make included.
model::HttpMethod to_http_method(PyObject* obj);

/// Appends a copy of a Tolmek's record, read under a shared borrow, to `collection`, with the
/// notes only the export needs; TypeError naming "Tolmek" for anything else, an instance that
/// the module did not make included. On failure the collection is unchanged.
void add_request_to(model::Collection& collection, PyObject* obj);

/// A new Tolmek object holding a copy of `record`.
Ref wrap_request(model::Record record);

}  // namespace tolmek::binding
