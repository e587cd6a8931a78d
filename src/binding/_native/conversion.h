// Conversions between Python objects and the core's values.
//
// Every function here runs with the interpreter lock held; a failed Python
// allocation throws nb::python_error.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "query/complete.h"
#include "query/node_info.h"
#include "query/pooling.h"
#include "query/prefix_search.h"
#include "query/suggest.h"

namespace tessarin::native {

// A str's characters as code points. Lone surrogates are kept: they match
// no indexed character, which never holds one.
std::u32string to_query(nanobind::handle text);

// The strs of a sequence; `what` names it in the TypeError for an item
// that is not a str.
std::vector<std::u32string> to_queries(nanobind::handle terms, const char* what);

// Lists of tuples, in the shapes of tessarin/_native.pyi.
nanobind::list to_python(const std::vector<Suggestion>& suggestions);
nanobind::list to_python(const std::vector<VideoScore>& videos);
// Each node's entry a tuple, or an instance of `record` unless it is None:
// a subclass of tuple whose instances are tuples and nothing more (a
// NamedTuple); TypeError when it is not one.
nanobind::list to_python(const NodeMatches& nodes, nanobind::handle record);
nanobind::list to_python(const std::vector<VideoCount>& videos);
nanobind::list to_python(const std::vector<PooledTerm>& pooled);
nanobind::list to_python(const std::vector<Completion>& completions);

}  // namespace tessarin::native
