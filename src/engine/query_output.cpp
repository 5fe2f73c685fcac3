// The derived answers of a query output (count, count_unique, mode, exists)
// and the modal entries of a value-count list.
#include "engine/query_output.h"

namespace jorvane::engine {

std::vector<ValueCount> modal_entries(const std::vector<ValueCount>& entries) {
    return modal_of(entries, [](const ValueCount& e) -> const ValueCount& { return e; });
}

std::optional<uint64_t> QueryOutput::count_answer() const {
    if (count) return count;
    if (values_count) return values_count;
    if (value_counts) {
        uint64_t total = 0;
        for (const auto& e : *value_counts) total += e.count;
        return total;
    }
    return std::nullopt;
}

std::optional<uint64_t> QueryOutput::count_unique_answer() const {
    if (count_unique) return count_unique;
    if (distinct_count) return distinct_count;
    if (value_counts) return value_counts->size();
    return std::nullopt;
}

std::optional<std::vector<ValueCount>> QueryOutput::mode() const {
    if (mode_list) return *mode_list;
    if (value_counts && !value_counts->empty()) return modal_entries(*value_counts);
    return std::nullopt;
}

uint8_t QueryOutput::exists() const {
    if (exists_flag == kExistsFalse || exists_flag == kExistsTrue) return exists_flag;
    auto answer = [](bool b) { return b ? kExistsTrue : kExistsFalse; };
    if (auto n = count_answer()) return answer(*n != 0);
    // value_counts, the last fallback of both counts, answered above.
    if (auto n = count_unique_answer()) return answer(*n != 0);
    if (mode_list && !mode_list->empty()) return kExistsTrue;
    if (types) return answer(!types->empty());
    if (min || max) return kExistsTrue;
    if (mean || agg_skipped != 0) return kExistsTrue;
    return kExistsUndetermined;
}

}  // namespace jorvane::engine
