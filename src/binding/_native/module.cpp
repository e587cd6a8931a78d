// tessarin._native: the package's own extension (see tessarin/_native.pyi).
#include <nanobind/nanobind.h>

#include "binding/_native/errors.h"
#include "binding/_native/index_builder.h"
#include "binding/_native/native_index.h"
#include "query/pooling.h"

#ifndef TESSARIN_VERSION
#define TESSARIN_VERSION "0+unknown"
#endif

namespace nb = nanobind;

NB_MODULE(_native, module) {
  using namespace tessarin::native;
  // An index still referenced when the interpreter shuts down (held by a
  // cycle or a module that is never cleared) is not a leak worth a warning
  // on every exit of a service.
  nb::set_leak_warnings(false);
  module.attr("__version__") = TESSARIN_VERSION;
  module.attr("DEFAULT_MIN_SCORE") = tessarin::kDefaultMinScore;
  bind_error_kind(module);
  module.def("set_corrupt_index_error", &set_corrupt_index_error, nb::arg("cls"),
             "Sets the exception raised for a damaged index.");
  nb::class_<NativeIndex> cls = bind_native_index(module);
  bind_queries(cls);
  bind_index_builder(module);
}
