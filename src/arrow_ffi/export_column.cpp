// Each column kind has exactly one Arrow layout. Fixed-width payloads
// (64-bit integers and timestamps, floats, uuids, decimals) and the
// validity bitmap move into the array storage as they are, since the
// column model already keeps them in Arrow's byte layout; list offsets move
// too. Only three kinds are converted, each into a buffer allocated once at
// its final size: booleans are bit-packed, strings are laid out as 64-bit
// offsets and one data buffer (their lengths summed first), and narrow
// integers are cut to their width. A list exports its child first under
// the name "item"; a child that cannot be exported refuses the list.
#include "arrow_ffi/export_column.h"

#include <array>
#include <initializer_list>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "util/text.h"

namespace jorvane::arrow_ffi {
namespace {

using table::Bitmap;
using table::Column;
using K = table::Column::Kind;

// Buffer 0 of every layout but the null type, and the array's null count.
struct Validity {
    Buffer buffer;
    int64_t null_count = 0;
};

Validity validity_of(std::optional<Bitmap>& bitmap) {
    Validity v;
    if (bitmap) {
        v.null_count = static_cast<int64_t>(bitmap->null_count);
        v.buffer = Buffer::of(std::move(bitmap->bytes));
    }
    return v;
}

Exported pair(OwnedSchema schema, OwnedArray array) {
    Exported out;
    out.schema = std::move(schema);
    out.array = std::move(array);
    return out;
}

// A layout of `rows` rows: the validity bitmap moved in as buffer 0, then
// `buffers`.
template <class Format>
Exported with_validity(Format format, std::string_view name, size_t rows, std::optional<Bitmap>& bitmap,
                       std::initializer_list<Buffer*> buffers) {
    Validity validity = validity_of(bitmap);
    ArrayParts parts;
    parts.length = static_cast<int64_t>(rows);
    parts.null_count = validity.null_count;
    parts.buffers.push_back(std::move(validity.buffer));
    for (Buffer* b : buffers) parts.buffers.push_back(std::move(*b));
    return pair(schema_build(std::move(format), name), array_build(std::move(parts)));
}

// A layout of validity and one value buffer, both moved in.
template <class T, class Format>
Exported moved_values(Format format, std::string_view name, table::Nullable<T> column) {
    const size_t rows = column.values.size();
    Buffer values = Buffer::of(std::move(column.values));
    return with_validity(std::move(format), name, rows, column.validity, {&values});
}

Exported export_bool(std::string_view name, table::BoolColumn column) {
    const size_t rows = column.values.size();
    std::vector<uint8_t> bits((rows + 7) / 8, 0);
    for (size_t i = 0; i < rows; ++i)
        if (column.values[i]) bits[i >> 3] = static_cast<uint8_t>(bits[i >> 3] | (1u << (i & 7)));
    column.values = {};
    Buffer values = Buffer::of(std::move(bits));
    return with_validity("b", name, rows, column.validity, {&values});
}

Exported export_str(std::string_view name, table::StrColumn column) {
    const size_t rows = column.values.size();
    size_t total = 0;
    for (const auto& s : column.values) total += s.size();
    std::vector<uint8_t> data;
    data.reserve(total);
    std::vector<int64_t> offsets;
    offsets.reserve(rows + 1);
    offsets.push_back(0);
    for (auto& s : column.values) {
        data.insert(data.end(), s.begin(), s.end());
        offsets.push_back(static_cast<int64_t>(data.size()));
        std::string().swap(s);  // each string's memory goes as soon as it is copied
    }
    column.values = {};
    Buffer offset_buffer = Buffer::of(std::move(offsets));
    Buffer data_buffer = Buffer::of(std::move(data));
    return with_validity("U", name, rows, column.validity, {&offset_buffer, &data_buffer});
}

template <class Narrow>
Buffer narrowed(const std::vector<int64_t>& values) {
    std::vector<Narrow> out(values.size());
    for (size_t i = 0; i < values.size(); ++i) out[i] = static_cast<Narrow>(values[i]);
    return Buffer::of(std::move(out));
}

Exported export_intn(std::string_view name, table::IntNColumn column) {
    static constexpr std::array<const char*, 3> kFormats{"c", "s", "i"};
    const uint8_t width = column.width < 3 ? column.width : 2;
    const size_t rows = column.data.values.size();
    Buffer values = width == 0   ? narrowed<int8_t>(column.data.values)
                    : width == 1 ? narrowed<int16_t>(column.data.values)
                                 : narrowed<int32_t>(column.data.values);
    column.data.values = {};
    return with_validity(kFormats[width], name, rows, column.data.validity, {&values});
}

Exported export_decimal(std::string_view name, table::DecimalColumn column) {
    std::string format = "d:" + std::to_string(column.precision) + "," + std::to_string(column.scale);
    return moved_values(std::move(format), name, std::move(column.data));
}

Result<Exported, Refusal> export_list(std::string_view name, table::ListColumn column) {
    Column child = column.child ? std::move(*column.child) : Column{};
    column.child.reset();
    auto exported_child = export_column("item", std::move(child));
    if (!exported_child) return make_err(std::move(exported_child.error()));
    // A list of no rows may come without offsets; Arrow wants the leading 0.
    if (column.offsets.empty()) column.offsets.push_back(0);
    const auto rows = static_cast<int64_t>(column.offsets.size() - 1);
    Validity validity = validity_of(column.validity);
    ArrayParts parts;
    parts.length = rows;
    parts.null_count = validity.null_count;
    parts.buffers.push_back(std::move(validity.buffer));
    parts.buffers.push_back(Buffer::of(std::move(column.offsets)));
    parts.children.push_back(std::move(exported_child->array));
    std::vector<OwnedSchema> child_schema;
    child_schema.push_back(std::move(exported_child->schema));
    return pair(schema_build("+L", name, std::move(child_schema)), array_build(std::move(parts)));
}

// Why a Mixed column cannot be exported; nothing for one that can (every
// cell absent: the null type).
std::optional<Refusal> mixed_refusal(std::string_view name, const table::MixedColumn& cells) {
    bool any = false, all_objects = true, all_arrays = true;
    for (const auto& cell : cells) {
        if (!cell) continue;
        any = true;
        all_objects = all_objects && cell->is_object();
        all_arrays = all_arrays && cell->is_array();
    }
    if (!any) return std::nullopt;
    const std::string quoted = debug_quote(name);
    const std::string bare(name);
    if (all_objects)
        return Refusal{"column " + quoted +
                       " holds JSON objects; struct columns are deliberately not supported \u2014 extract the "
                       "fields you need as their own columns (e.g. \"" +
                       bare + ".field\"), or take the rows via to_dict()"};
    if (all_arrays)
        return Refusal{"column " + quoted +
                       " holds arrays with no single element type (nested or mixed-element lists); only one "
                       "level of like-typed list is supported \u2014 flatten with a deeper path (e.g. \"" +
                       bare + "[*]\"), or take the rows via to_dict()"};
    return Refusal{"column " + quoted +
                   " holds mixed types and has no single Arrow type; convert with to_dict()/to_polars(), or "
                   "declare a dtype to narrow the data"};
}

Result<Exported, Refusal> export_mixed(std::string_view name, table::MixedColumn cells) {
    if (std::optional<Refusal> refused = mixed_refusal(name, cells)) return make_err(std::move(*refused));
    ArrayParts parts;
    parts.length = static_cast<int64_t>(cells.size());
    parts.null_count = parts.length;
    return pair(schema_build("n", name), array_build(std::move(parts)));
}

}  // namespace

std::optional<Refusal> export_refusal(std::string_view name, const Column& column) {
    if (column.kind() == K::Mixed) return mixed_refusal(name, column.as<K::Mixed>());
    if (column.kind() == K::List) {
        const auto& child = column.as<K::List>().child;
        return child ? export_refusal("item", *child) : std::nullopt;
    }
    return std::nullopt;
}

Exported export_fixed(const char* format, std::string_view name, table::Nullable<int64_t> column) {
    return moved_values(format, name, std::move(column));
}

Result<Exported, Refusal> export_column(std::string_view name, Column column) {
    switch (column.kind()) {
        case K::Int64: return export_fixed("l", name, std::move(column.as<K::Int64>()));
        case K::Timestamp: return export_fixed("tsu:UTC", name, std::move(column.as<K::Timestamp>()));
        case K::Float: return moved_values("g", name, std::move(column.as<K::Float>()));
        case K::Float32: return moved_values("f", name, std::move(column.as<K::Float32>()));
        case K::Uuid: return moved_values("w:16", name, std::move(column.as<K::Uuid>()));
        case K::Bool: return export_bool(name, std::move(column.as<K::Bool>()));
        case K::Str: return export_str(name, std::move(column.as<K::Str>()));
        case K::IntN: return export_intn(name, std::move(column.as<K::IntN>()));
        case K::Decimal: return export_decimal(name, std::move(column.as<K::Decimal>()));
        case K::List: return export_list(name, std::move(column.as<K::List>()));
        case K::Mixed: return export_mixed(name, std::move(column.as<K::Mixed>()));
    }
    return export_mixed(name, {});
}

}  // namespace jorvane::arrow_ffi
