// Calling a function object: binding the arguments to the parameters, with Python's checks and
// messages, then running its body (a plain one here, a coroutine's by making the coroutine).
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "internal.hpp"
#include "pyrt/call.hpp"
#include "pyrt/compat.hpp"

namespace pyrt {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as Python lists missing arguments.
std::string quoted_list(const FunctionSpec& spec, const bool* missing) {
  std::string names[max_params];
  std::size_t count = 0;
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    if (missing[i]) names[count++] = std::string("'") + spec.params[i].name + "'";
  }
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) text += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
    text += names[i];
  }
  return text;
}

[[noreturn]] void too_many_positional(FunctionObject* function, Py_ssize_t given) {
  std::size_t expected = function->f.spec->params.size();
  PyErr_Format(PyExc_TypeError, "%U() takes %zu positional argument%s but %zd %s given",
               function->f.qualname.get(), expected, expected == 1 ? "" : "s", given,
               given == 1 ? "was" : "were");
  throw_error();
}

// The "Did you mean" hint Python adds for an unknown keyword: a parameter name close to it.
Ref keyword_suggestion(FunctionObject* function, PyObject* keyword) {
  Ref names = require(PySequence_List(function->f.param_names.get()));
  return compat::keyword_suggestion(names, Borrowed(keyword));
}

[[noreturn]] void unexpected_keyword(FunctionObject* function, PyObject* keyword) {
  if (Ref suggestion = keyword_suggestion(function, keyword)) {
    PyErr_Format(PyExc_TypeError,
                 "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                 function->f.qualname.get(), keyword, suggestion.get());
  } else {
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                 function->f.qualname.get(), keyword);
  }
  throw_error();
}

// Binds vectorcall arguments to the parameters, in order, with Python's errors in Python's order:
// keyword problems first, then surplus positional arguments, then missing ones.
void bind_arguments(FunctionObject* function, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwnames, PyObject** bound) {
  const FunctionSpec& spec = *function->f.spec;
  std::size_t count = spec.params.size();
  Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
  auto filled = std::min(static_cast<std::size_t>(positional), count);
  for (std::size_t i = 0; i < count; ++i) bound[i] = i < filled ? args[i] : nullptr;
  if (kwnames != nullptr) {
    Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", function->f.qualname.get());
        throw_error();
      }
      std::size_t index = count;
      for (std::size_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(function->f.param_names.get(), i);
        if (name == key || PyUnicode_Equal(name, key) == 1) {
          index = i;
          break;
        }
      }
      if (index == count) unexpected_keyword(function, key);
      if (bound[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                     function->f.qualname.get(), key);
        throw_error();
      }
      bound[index] = args[positional + k];
    }
  }
  if (std::cmp_greater(positional, count)) too_many_positional(function, positional);
  bool missing[max_params] = {};
  std::size_t missing_count = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (bound[i] == nullptr) {
      missing[i] = true;
      ++missing_count;
    }
  }
  if (missing_count > 0) {
    PyErr_Format(PyExc_TypeError, "%U() missing %zu required positional argument%s: %s",
                 function->f.qualname.get(), missing_count, missing_count == 1 ? "" : "s",
                 quoted_list(spec, missing).c_str());
    throw_error();
  }
  for (std::size_t i = 0; i < count; ++i) {
    PyTypeObject* expected = spec.params[i].exact_type;
    if (expected != nullptr && Py_TYPE(bound[i]) != expected) {
      PyErr_Format(PyExc_TypeError,
                   "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                   spec.params[i].name, expected->tp_name, Py_TYPE(bound[i])->tp_name);
      // The check is the function's own (unlike Python's binding errors): it gets its entry, at
      // the function's declaration.
      PyError error = PyError::fetch();
      add_function_entry(error, function, &error);
      throw error;
    }
  }
}

}  // namespace

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) noexcept {
  return boundary(
      [&]() -> PyObject* {
        FunctionObject* function = as_function(callable);
        auto count = static_cast<Py_ssize_t>(function->f.spec->params.size());
        // The common call passes every parameter by position: its arguments are used in place,
        // unless some need a type check.
        PyObject* const* bound = args;
        PyObject* bound_storage[max_params];
        if (kwnames != nullptr || PyVectorcall_NARGS(nargsf) != count || function->f.checks_types) {
          bind_arguments(function, args, nargsf, kwnames, bound_storage);
          bound = bound_storage;
        }
        if (function->f.spec->coroutine != nullptr) {
          return make_coroutine(function, bound, count).release();
        }
        Borrowed views[max_params];
        for (Py_ssize_t i = 0; i < count; ++i) views[i] = Borrowed(bound[i]);
        PlainScope plain(function);
        Ref result;
        try {
          result = function->f.spec->plain(views);
        } catch (PyError& error) {
          add_function_entry(error, function, &plain);
          throw;
        }
        return result ? result.release() : Py_NewRef(Py_None);
      },
      static_cast<PyObject*>(nullptr));
}

}  // namespace pyrt
