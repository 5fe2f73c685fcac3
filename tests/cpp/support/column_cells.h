// A column's cells from JSON texts (nullptr = a missing cell).
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "engine/values/value.h"
#include "support/value_literals.h"
#include "table/column.h"

namespace jorvane::table::testing {

inline engine::Value json(std::string_view text) { return engine::testing::JsonText(text).parse(); }

inline ColumnCells cells(std::vector<const char*> texts) {
    ColumnCells out;
    for (const char* t : texts) {
        if (t == nullptr) {
            out.emplace_back();
        } else {
            out.emplace_back(json(t));
        }
    }
    return out;
}

}  // namespace jorvane::table::testing
