// Argument matching and its TypeError messages.
#include "binding/args.hpp"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "binding/error.hpp"

namespace tolmek::binding {

namespace {

/// "Cls.fn()" or "fn()".
std::string full_name(const FunctionDescription& fn) {
    std::string name;
    if (fn.class_name != nullptr) {
        name += fn.class_name;
        name += '.';
    }
    name += fn.function_name;
    name += "()";
    return name;
}

/// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) out += " and ";
            else out += i + 1 == names.size() ? ", and " : ", ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

[[noreturn]] void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message.c_str()); }

[[noreturn]] void raise_too_many(const FunctionDescription& fn, std::size_t given) {
    std::size_t n = fn.positional.size();
    std::string message = full_name(fn) + " takes ";
    if (fn.required_positional == n) message += std::to_string(n);
    else message += "from " + std::to_string(fn.required_positional) + " to " + std::to_string(n);
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    raise_type_error(message);
}

[[noreturn]] void raise_missing(const FunctionDescription& fn, const char* kind,
                                const std::vector<std::string_view>& names) {
    raise_type_error(full_name(fn) + " missing " + std::to_string(names.size()) + " required " + kind +
                     (names.size() == 1 ? " argument: " : " arguments: ") + quoted_list(names));
}

/// The part of matching shared by both conventions: positional arguments are already in
/// place; `for_each_keyword(visit)` calls visit(name, value) in the call's order.
template <class ForEachKeyword>
void match(const FunctionDescription& fn, std::size_t given, std::span<PyObject*> slots,
           ForEachKeyword&& for_each_keyword) {
    const std::size_t n = fn.positional.size();

    // 3. Keywords, in call order.
    std::vector<std::string_view> positional_only_named;
    for_each_keyword([&](PyObject* key, PyObject* value) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
        if (utf8 == nullptr) PyErr_Clear();  // an unreadable name names no parameter
        std::string_view name = utf8 ? std::string_view(utf8, static_cast<std::size_t>(size)) : std::string_view();
        auto fill = [&](std::size_t slot, const char* parameter) {
            if (slots[slot] != nullptr)
                raise_type_error(full_name(fn) + " got multiple values for argument '" + parameter + "'");
            slots[slot] = value;
        };
        if (utf8 != nullptr) {
            for (std::size_t i = 0; i < fn.keyword_only.size(); ++i) {
                if (name == fn.keyword_only[i].name) return fill(n + i, fn.keyword_only[i].name);
            }
            for (std::size_t i = 0; i < n; ++i) {
                if (name != fn.positional[i]) continue;
                if (i < fn.positional_only) positional_only_named.push_back(fn.positional[i]);
                else fill(i, fn.positional[i]);
                return;
            }
        }
        raise(PyExc_TypeError, Ref::steal(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                                               full_name(fn).c_str(), key)));
    });

    // 4. Positional-only parameters passed by keyword.
    if (!positional_only_named.empty())
        raise_type_error(full_name(fn) + " got some positional-only arguments passed as keyword arguments: " +
                         quoted_list(positional_only_named));

    // 5. Missing required positional parameters.
    if (given < fn.required_positional) {
        std::vector<std::string_view> missing;
        for (std::size_t i = given; i < fn.required_positional; ++i)
            if (slots[i] == nullptr) missing.push_back(fn.positional[i]);
        if (!missing.empty()) raise_missing(fn, "positional", missing);
    }

    // 6. Missing required keyword-only parameters.
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < fn.keyword_only.size(); ++i)
        if (fn.keyword_only[i].required && slots[n + i] == nullptr) missing.push_back(fn.keyword_only[i].name);
    if (!missing.empty()) raise_missing(fn, "keyword", missing);
}

/// 1-2. Positional arguments into the first slots, refusing too many.
void place_positional(const FunctionDescription& fn, PyObject* const* args, std::size_t given,
                      std::span<PyObject*> slots) {
    if (given > fn.positional.size()) raise_too_many(fn, given);
    for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];
}

}  // namespace

void match_arguments(const FunctionDescription& fn, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
    auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    place_positional(fn, &PyTuple_GET_ITEM(args, 0), given, slots);
    match(fn, given, slots, [&](auto&& visit) {
        if (kwargs == nullptr) return;
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) visit(key, value);
    });
}

void match_arguments(const FunctionDescription& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> slots) {
    auto given = static_cast<std::size_t>(nargs);
    place_positional(fn, args, given, slots);
    match(fn, given, slots, [&](auto&& visit) {
        if (kwnames == nullptr) return;
        Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) visit(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
    });
}

}  // namespace tolmek::binding
