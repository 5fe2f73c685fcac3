// Lookup of a result row or column by index or by label, and the rendering
// of label lists in messages.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/py.h"

namespace jorvane::py {

// The position `key` names among `labels` (`what` is "source" or "query"):
// absent gives 0, a non-negative int is returned unchecked, a negative one
// counts from the end, a str must equal exactly one label. nullopt with
// TypeError, IndexError, KeyError or ValueError set otherwise.
std::optional<size_t> lookup(PyObject* key, const std::vector<std::string>& labels, std::string_view what);

// At most the first three labels, quoted, in brackets; more are counted as
// "… +N". "[]" for none.
std::string label_list(const std::vector<std::string>& labels);

}  // namespace jorvane::py
