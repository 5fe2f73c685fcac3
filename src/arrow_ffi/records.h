// Arrow C data records that own their memory: what an exported schema or
// array record is built from, the release callbacks stored in every record,
// the two process-wide counters of built and released arrays, and the
// owners that see to it that a record is released exactly once, whoever
// ends up holding it (this module, a consumer, a capsule being dropped).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrow_ffi/c_data.h"

namespace jorvane::arrow_ffi {

// Arrays built so far and arrays whose storage was freed, each read once
// with a relaxed load (exported first): a pair of readings, not a snapshot.
struct ExportCounters {
    uint64_t exported = 0;
    uint64_t released = 0;
};
ExportCounters export_counters();

// The release callbacks of every record built here. A null record is left
// alone; a record already released only gets its callback cleared. Children
// still holding a callback are released first, in order; the array one
// counts each array whose storage it frees.
void release_array(ArrowArray* array) noexcept;
void release_schema(ArrowSchema* schema) noexcept;

// One record owned by its holder and released when the holder dies, unless
// it was moved on. Moving a record copies it and clears the source's
// release callback, which is how the C data interface hands records over.
template <class Record>
class Owned {
public:
    Owned() = default;
    explicit Owned(Record record) : record_(record) {}
    Owned(Owned&& other) noexcept : record_(other.record_) { other.record_.release = nullptr; }
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset();
            record_ = other.record_;
            other.record_.release = nullptr;
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    Record* get() { return &record_; }
    const Record* get() const { return &record_; }
    Record* operator->() { return &record_; }
    const Record* operator->() const { return &record_; }
    // Hands the record over: its release is the caller's business from now on.
    Record take() {
        Record out = record_;
        record_.release = nullptr;
        return out;
    }
    void reset() {
        if (record_.release) record_.release(&record_);
    }

private:
    Record record_{};
};
using OwnedSchema = Owned<ArrowSchema>;
using OwnedArray = Owned<ArrowArray>;

// A schema record and the array record it describes, as one export.
struct Exported {
    OwnedSchema schema;
    OwnedArray array;
};

// A record on the heap whose address can be handed out (a capsule's
// pointer): releases the record if its callback is still set, then frees it.
struct ReleaseAndFree {
    void operator()(ArrowSchema* schema) const noexcept;
    void operator()(ArrowArray* array) const noexcept;
};
template <class Record>
using Box = std::unique_ptr<Record, ReleaseAndFree>;

template <class Record>
Box<Record> box(Owned<Record> owned) {
    auto heap = std::make_unique<Record>();  // allocated before the record leaves its owner
    *heap = owned.take();
    return Box<Record>(heap.release());
}

// Moves the two records of `pair` into boxes and offers them to
// `hold_schema`, then to `hold_array`. A holder that keeps its box moves it
// out and returns true; one that fails returns false and leaves the box
// where it is, to be released here. So every record is released exactly
// once: later by whoever holds it, or here when nobody took it. False when
// a holder failed (the array is then never offered if the schema failed).
template <class HoldSchema, class HoldArray>
bool hand_over(Exported pair, HoldSchema&& hold_schema, HoldArray&& hold_array) {
    Box<ArrowSchema> schema = box(std::move(pair.schema));
    Box<ArrowArray> array = box(std::move(pair.array));
    if (!hold_schema(schema)) return false;
    return hold_array(array);
}

// One buffer of an array record: absent (exported as a null pointer), or a
// vector whose storage is exported as it is, without a copy. An empty
// vector still exports a valid address.
class Buffer {
public:
    Buffer() = default;
    template <class T>
    static Buffer of(std::vector<T> values) {
        Buffer b;
        b.holder_ = std::make_unique<VectorHolder<T>>(std::move(values));
        return b;
    }
    const void* data() const;

private:
    struct Holder {
        virtual ~Holder() = default;
        virtual const void* data() const noexcept = 0;
    };
    template <class T>
    struct VectorHolder final : Holder {
        explicit VectorHolder(std::vector<T> v) : values(std::move(v)) {}
        const void* data() const noexcept override { return values.empty() ? nullptr : values.data(); }
        std::vector<T> values;
    };
    std::unique_ptr<Holder> holder_;
};

// What an array record is made of: the row count, the null count, the
// buffers in the layout's order (validity first where the type has one) and
// the child arrays, all moved into the record's storage.
struct ArrayParts {
    int64_t length = 0;
    int64_t null_count = 0;
    std::vector<Buffer> buffers;  // at most 3
    std::vector<OwnedArray> children;
};

// Builds an array record owning `parts` and counts it as exported. Never fails.
OwnedArray array_build(ArrayParts parts);

// Builds a schema record: `format` static or owned, `name` copied (a name
// holding a NUL byte becomes the empty name), nullable, owning `children`.
// Never fails.
OwnedSchema schema_build(const char* format, std::string_view name, std::vector<OwnedSchema> children = {});
OwnedSchema schema_build(std::string format, std::string_view name, std::vector<OwnedSchema> children = {});

}  // namespace jorvane::arrow_ffi
