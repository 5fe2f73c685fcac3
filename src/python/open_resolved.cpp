#include "python/open_resolved.h"

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "python/py_reader_source.h"
#include "run/input_facts.h"
#include "run/run_policy.h"
#include "source/compression.h"
#include "source/open_file.h"
#include "util/text.h"

namespace jorvane::py {
namespace {

std::unique_ptr<Source> cannot_open(const std::string& path_text, const IoError& e) {
    raise(PyExc_ValueError, "cannot open " + debug_quote(path_text) + ": " + e.to_string());
    return nullptr;
}

std::unique_ptr<Source> zstd_failure(const IoError& e) {
    raise(PyExc_ValueError, "zstd decoder: " + e.to_string());
    return nullptr;
}

std::unique_ptr<Source> open_bytes(std::vector<uint8_t>&& data, size_t buffer_len, Compression compression) {
    auto source = open_bytes_source(std::move(data), buffer_len, compression);
    if (!source) return zstd_failure(source.error());
    return std::move(*source);
}

std::unique_ptr<Source> open_reader(Ref obj, bool keep_open, size_t buffer_len, Compression compression) {
    if (!is_compressed(compression)) return std::make_unique<PyReadSource>(std::move(obj), keep_open);
    // The decoder fills its MiB input buffer before decoding any of it, as it
    // does over bytes and files: the object sees read(1048576), then reads of
    // what the buffer still lacks while its answers fall short.
    auto decoder = make_decoder(compression, std::make_unique<PyReadAdapter>(obj, keep_open));
    if (!decoder) return zstd_failure(decoder.error());
    return std::make_unique<DecodedReaderSource>(std::move(*decoder), buffer_len, std::move(obj), keep_open);
}

// The device and inode of what `item` reads, when it is a file: a path by
// stat (links followed), a file-like object by fstat of its fileno() when it
// has a working one. Nothing for bytes and for objects without a descriptor.
std::optional<std::pair<dev_t, ino_t>> file_identity(const ResolvedItem& item) {
    struct stat st {};
    if (item.kind == ResolvedItem::Kind::File) {
        if (::stat(item.path.c_str(), &st) != 0) return std::nullopt;
        return std::make_pair(st.st_dev, st.st_ino);
    }
    if (item.kind != ResolvedItem::Kind::Reader || !item.reader) return std::nullopt;
    const std::optional<int> fd = descriptor_of(item.reader.get());
    if (!fd || ::fstat(*fd, &st) != 0) return std::nullopt;
    return std::make_pair(st.st_dev, st.st_ino);
}

// False with ValueError set when `output` exists and is one of the files
// the sources read. An output that cannot be looked up is not one of them.
bool check_output_apart(const std::vector<ResolvedSource>& resolved, const std::string& output) {
    struct stat st {};
    if (::stat(output.c_str(), &st) != 0) return true;
    for (const ResolvedSource& one : resolved) {
        const auto identity = file_identity(one.item);
        if (!identity || identity->first != st.st_dev || identity->second != st.st_ino) continue;
        const std::string input = one.item.kind == ResolvedItem::Kind::File ? debug_quote(one.item.path_text)
                                                                             : std::string("(a file object)");
        raise(PyExc_ValueError, "output path " + debug_quote(output) + " names the same file as the source " + input +
                                    "; writing it would destroy the input before it is read");
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<Source> open_source(const std::string& path, const std::string& path_text, bool prefetch,
                                    size_t buffer_len, Compression compression) {
    auto source = open_file_source(path, prefetch, buffer_len, compression);
    if (!source) return cannot_open(path_text, source.error());
    return std::move(*source);
}

std::unique_ptr<Source> open_resolved(ResolvedItem&& item, bool prefetch, size_t buffer_len, Compression compression) {
    ResolvedItem taken = std::move(item);
    switch (taken.kind) {
        case ResolvedItem::Kind::File:
            return open_source(taken.path, taken.path_text, prefetch, buffer_len, compression);
        case ResolvedItem::Kind::Bytes:
            return open_bytes(std::move(taken.bytes), buffer_len, compression);
        case ResolvedItem::Kind::Reader:
            return open_reader(std::move(taken.reader), taken.keep_open, buffer_len, compression);
    }
    return nullptr;
}

std::optional<OneSource> open_one_source(const std::optional<std::string>& mode,
                                         const std::function<std::unique_ptr<Source>(size_t buffer_len)>& open) {
    const std::optional<engine::ScanMode> chosen = run::ThreadBudget(std::nullopt).mode(mode, 1, nullptr);
    if (!chosen) {
        raise(PyExc_ValueError, run::unknown_mode_message(*mode));
        return std::nullopt;
    }
    std::unique_ptr<Source> source = open(run::buffer_len_for(*chosen));
    if (!source) return std::nullopt;
    return OneSource{*chosen, std::move(source)};
}

namespace {

// The one source of a table-shaped consumer, resolved and checked (see
// open_table_source). Nothing with an exception set.
std::optional<ResolvedSource> resolve_table_source(PyObject* source, const std::string* output,
                                                   std::string_view caller) {
    std::vector<ClassifiedItem> classified;
    if (!parse_source_items(source, classified)) return std::nullopt;
    std::vector<ResolvedSource> resolved;
    if (!resolve_source_items(std::move(classified), resolved)) return std::nullopt;
    if (output && !check_output_apart(resolved, *output)) return std::nullopt;
    if (resolved.size() != 1) {
        raise(PyExc_ValueError, std::string(caller) + " takes a single source, got " + std::to_string(resolved.size()) +
                                    " (rows from different sources would have no defined order)");
        return std::nullopt;
    }
    ResolvedSource& one = resolved.front();
    if (!reject_query_only_options(one.options.name, one.options.progress.get(), caller)) return std::nullopt;
    return std::move(one);
}

}  // namespace

void add_input_facts(const ResolvedItem& item, Compression compression, run::SplitFacts& facts) {
    switch (item.kind) {
        case ResolvedItem::Kind::File: facts = run::file_input_facts(item.path, compression, std::move(facts)); break;
        case ResolvedItem::Kind::Bytes: facts = run::bytes_input_facts(compression, std::move(facts)); break;
        case ResolvedItem::Kind::Reader: break;  // read through Python: never cut into ranges
    }
}

std::optional<OneSource> open_table_source(PyObject* source, const std::optional<std::string>& mode,
                                           const std::string* output, const run::SplitFacts& split,
                                           std::string_view caller) {
    const run::ThreadBudget budget(std::nullopt);
    if (!budget.mode(mode, 1, nullptr)) {
        raise(PyExc_ValueError, run::unknown_mode_message(*mode));
        return std::nullopt;
    }
    std::optional<ResolvedSource> one = resolve_table_source(source, output, caller);
    if (!one) return std::nullopt;
    const bool by_policy = !mode || *mode == "auto";
    run::SplitFacts facts = split;
    add_input_facts(one->item, one->options.compression, facts);
    const engine::ScanMode chosen = *budget.mode(mode, 1, by_policy ? &facts : nullptr);
    const bool python_reads = one->item.kind == ResolvedItem::Kind::Reader;
    std::unique_ptr<Source> opened =
        open_resolved(std::move(one->item), false, run::buffer_len_for(chosen), one->options.compression);
    if (!opened) return std::nullopt;
    return OneSource{chosen, std::move(opened), by_policy ? budget.walkers(chosen) : 1, python_reads};
}

}  // namespace jorvane::py
