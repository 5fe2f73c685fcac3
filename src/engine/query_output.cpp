// The derived answers of a query output (mode, exists) and the modal
// entries of a value-count list.
#include "engine/query_output.h"

namespace jorvane::engine {

std::vector<ValueCount> modal_entries(const std::vector<ValueCount>& entries) {
    return modal_of(entries, [](const ValueCount& e) -> const ValueCount& { return e; });
}

std::optional<std::vector<ValueCount>> QueryOutput::mode() const {
    if (mode_list) return *mode_list;
    if (value_counts && !value_counts->empty()) return modal_entries(*value_counts);
    return std::nullopt;
}

uint8_t QueryOutput::exists() const {
    if (exists_flag == kExistsFalse || exists_flag == kExistsTrue) return exists_flag;
    auto answer = [](bool b) { return b ? kExistsTrue : kExistsFalse; };
    if (count) return answer(*count != 0);
    if (values_count) return answer(*values_count != 0);
    if (value_counts) {
        uint64_t total = 0;
        for (const auto& e : *value_counts) total += e.count;
        return answer(total != 0);
    }
    if (count_unique) return answer(*count_unique != 0);
    if (distinct_count) return answer(*distinct_count != 0);
    if (mode_list && !mode_list->empty()) return kExistsTrue;
    if (types) return answer(!types->empty());
    if (min || max) return kExistsTrue;
    if (mean || agg_skipped != 0) return kExistsTrue;
    return kExistsUndetermined;
}

}  // namespace jorvane::engine
