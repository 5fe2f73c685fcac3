#include "python/batch_stream.h"

#include <memory>
#include <utility>

#include "python/exceptions.h"
#include "python/open_resolved.h"
#include "table/batch_read_ahead.h"

namespace jorvane::py {

bool check_batch_rows(uint64_t batch_rows) {
    if (batch_rows != 0) return true;
    raise(PyExc_ValueError, "batch_rows must be at least 1");
    return false;
}

std::optional<table::TableStream> open_batch_stream(PyObject* source, table::TableSpec spec,
                                                    const std::optional<std::string>& mode_name, uint64_t batch_rows,
                                                    std::string_view caller, const std::string* output,
                                                    bool* python_reads) {
    const run::SplitFacts facts = table::table_split_facts();
    std::optional<OneSource> one = open_table_source(source, mode_name, output, facts, caller);
    if (!one) return std::nullopt;
    if (python_reads) *python_reads = one->python_reads;
    auto stream = table::TableStream::make(std::move(spec), one->mode, std::move(one->source), batch_rows,
                                           table::TableSplitOptions{one->walkers, 0, true});
    if (!stream) {
        raise_jorvane_err(std::move(stream.error()));
        return std::nullopt;
    }
    return std::optional<table::TableStream>(std::move(stream.value()));
}

Result<std::optional<table::Table>, JorvaneError> next_batch(table::TableStream& stream, run::Interrupt* interrupt) {
    NoGil released;
    return table::read_batch(stream, interrupt);
}

}  // namespace jorvane::py
