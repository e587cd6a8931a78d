// tessarin._native: the package's own extension (see tessarin/_native.pyi).
#include <nanobind/nanobind.h>

#include "binding/_native/errors.h"
#include "binding/_native/native_index.h"

#ifndef TESSARIN_VERSION
#define TESSARIN_VERSION "0+unknown"
#endif

namespace nb = nanobind;

NB_MODULE(_native, module) {
  using namespace tessarin::native;
  module.attr("__version__") = TESSARIN_VERSION;
  module.def("set_corrupt_index_error", &set_corrupt_index_error, nb::arg("cls"),
             "Sets the exception raised for a damaged index.");
  nb::class_<NativeIndex> cls = bind_native_index(module);
  bind_queries(cls);
}
