// TableSpec: a table request: the row anchor, the columns to extract from
// each row, what a column matching several times in one row yields, a row
// limit and declared column types.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "table/dtype.h"

namespace jorvane::table {

// What a row with several matches in one column yields.
enum class OnMulti : uint8_t { Error = 0, First = 1, Last = 2, List = 3 };

struct TableSpec {
    // The row anchor's query; empty anchors on the root (each top-level value is a row).
    std::string rows;
    // (name, path) in request order; the path is relative to the row.
    std::vector<std::pair<std::string, std::string>> columns;
    OnMulti on_multi = OnMulti::Error;
    // The most rows over the whole scan; never 0.
    std::optional<uint64_t> limit;
    // Declared types by column name.
    std::unordered_map<std::string, Declared> declared;

    explicit TableSpec(std::string rows_query = {}) : rows(std::move(rows_query)) {}
    // Appends a column and gives the request back.
    TableSpec column(std::string name, std::string path) && {
        columns.emplace_back(std::move(name), std::move(path));
        return std::move(*this);
    }
};

}  // namespace jorvane::table
