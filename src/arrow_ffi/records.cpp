// Every record built here keeps what it points at in a storage object of
// its own (private_data): the buffers and the pointer array listing them,
// the boxed children and the pointer array listing those, the name and a
// format built at run time. Releasing a record releases its children that
// are still set (a consumer may have moved some out, clearing theirs),
// frees the storage in one go and clears the record's callback, so a
// second release finds nothing to do.
#include "arrow_ffi/records.h"

#include <array>
#include <atomic>
#include <optional>

#include "util/panic.h"

namespace jorvane::arrow_ffi {
namespace {

std::atomic<uint64_t> exported_arrays{0};
std::atomic<uint64_t> released_arrays{0};

// The address exported for an empty buffer: consumers may read a null
// pointer as a missing buffer, so a zero-length one points here instead.
alignas(64) constexpr uint8_t kEmptyBuffer[64] = {};

struct ArrayStorage {
    std::vector<Buffer> owned;
    std::array<const void*, 3> buffers{};
    std::vector<std::unique_ptr<ArrowArray>> children;
    std::vector<ArrowArray*> child_pointers;
};

struct SchemaStorage {
    std::string name;
    std::optional<std::string> format;  // set when built at run time
    std::vector<std::unique_ptr<ArrowSchema>> children;
    std::vector<ArrowSchema*> child_pointers;
};

// The shared release steps of both record kinds; true when storage was freed.
template <class Record, class Storage>
bool release_record(Record* record) noexcept {
    if (!record) return false;
    if (!record->private_data) {
        record->release = nullptr;
        return false;
    }
    std::unique_ptr<Storage> storage(static_cast<Storage*>(record->private_data));
    for (auto& child : storage->children)
        if (child->release) child->release(child.get());
    storage.reset();
    record->private_data = nullptr;
    return true;
}

OwnedSchema schema_from(SchemaStorage storage_in, const char* static_format, std::vector<OwnedSchema> children,
                        std::string_view name) {
    auto storage = std::make_unique<SchemaStorage>(std::move(storage_in));
    storage->name = name.find('\0') == std::string_view::npos ? std::string(name) : std::string();
    storage->children.reserve(children.size());
    for (auto& child : children) {
        auto boxed = std::make_unique<ArrowSchema>();
        *boxed = child.take();
        storage->children.push_back(std::move(boxed));
    }
    for (auto& child : storage->children) storage->child_pointers.push_back(child.get());

    ArrowSchema record{};
    record.format = storage->format ? storage->format->c_str() : static_format;
    record.name = storage->name.c_str();
    record.metadata = nullptr;
    record.flags = ARROW_FLAG_NULLABLE;
    record.n_children = static_cast<int64_t>(storage->children.size());
    record.children = storage->child_pointers.empty() ? nullptr : storage->child_pointers.data();
    record.dictionary = nullptr;
    record.release = release_schema;
    record.private_data = storage.release();
    return OwnedSchema(record);
}

}  // namespace

ExportCounters export_counters() {
    ExportCounters out;
    out.exported = exported_arrays.load(std::memory_order_relaxed);
    out.released = released_arrays.load(std::memory_order_relaxed);
    return out;
}

void release_array(ArrowArray* array) noexcept {
    if (release_record<ArrowArray, ArrayStorage>(array)) released_arrays.fetch_add(1, std::memory_order_relaxed);
    if (array) array->release = nullptr;
}

void release_schema(ArrowSchema* schema) noexcept {
    release_record<ArrowSchema, SchemaStorage>(schema);
    if (schema) schema->release = nullptr;
}

void ReleaseAndFree::operator()(ArrowSchema* schema) const noexcept {
    std::unique_ptr<ArrowSchema> owned(schema);
    if (owned && owned->release) owned->release(owned.get());
}

void ReleaseAndFree::operator()(ArrowArray* array) const noexcept {
    std::unique_ptr<ArrowArray> owned(array);
    if (owned && owned->release) owned->release(owned.get());
}

const void* Buffer::data() const {
    if (!holder_) return nullptr;
    const void* p = holder_->data();
    return p ? p : kEmptyBuffer;
}

OwnedArray array_build(ArrayParts parts) {
    if (parts.buffers.size() > 3) panic("an Arrow array record was given more than 3 buffers");
    auto storage = std::make_unique<ArrayStorage>();
    storage->owned = std::move(parts.buffers);
    for (size_t i = 0; i < storage->owned.size() && i < storage->buffers.size(); ++i)
        storage->buffers[i] = storage->owned[i].data();
    storage->children.reserve(parts.children.size());
    for (auto& child : parts.children) {
        auto boxed = std::make_unique<ArrowArray>();
        *boxed = child.take();
        storage->children.push_back(std::move(boxed));
    }
    for (auto& child : storage->children) storage->child_pointers.push_back(child.get());

    ArrowArray record{};
    record.length = parts.length;
    record.null_count = parts.null_count;
    record.offset = 0;
    record.n_buffers = static_cast<int64_t>(storage->owned.size());
    record.n_children = static_cast<int64_t>(storage->children.size());
    record.buffers = storage->buffers.data();
    record.children = storage->child_pointers.empty() ? nullptr : storage->child_pointers.data();
    record.dictionary = nullptr;
    record.release = release_array;
    record.private_data = storage.release();
    exported_arrays.fetch_add(1, std::memory_order_relaxed);
    return OwnedArray(record);
}

OwnedSchema schema_build(const char* format, std::string_view name, std::vector<OwnedSchema> children) {
    return schema_from(SchemaStorage{}, format, std::move(children), name);
}

OwnedSchema schema_build(std::string format, std::string_view name, std::vector<OwnedSchema> children) {
    SchemaStorage storage;
    storage.format = std::move(format);
    return schema_from(std::move(storage), nullptr, std::move(children), name);
}

}  // namespace jorvane::arrow_ffi
