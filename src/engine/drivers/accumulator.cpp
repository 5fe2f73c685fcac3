// Folding matches into accumulators, combining the accumulators of
// consecutive parts of a source, and reading the results back.
//
// A match arrives as raw bytes (atoms, strings) or as a captured Value
// (containers). MatchCache computes what the value-keeping kinds need only on
// first use and only once per match: the hash of the value the match denotes,
// the decoded text of a string with escapes, and comparisons against stored
// values, all without building a Value. A Value is built only for an entry
// that is stored for the first time or an item that is streamed.
//
// A number atom is read once (number::read_json): the same pass checks the
// JSON number grammar, which is asked before anything is folded when some
// kind reads the match (Accumulator::reads), and classifies the number that
// hashing, comparing and building then share; other atoms and strings are
// read for a strict reader's refusal the same way. Every match a kind reads
// is checked, built or not, so whether a scan fails never depends on which
// values were already stored or on whether the caller takes the streamed
// values. The kinds that never build a value then read the raw bytes.
#include "engine/drivers/accumulator.h"

#include <cmath>
#include <utility>

#include "util/panic.h"
#include "util/text.h"

namespace jorvane::engine {

void fold_output(QueryOutput& out, AccumulatorResult r) {
    using K = AccumulatorKind;
    switch (r.kind) {
        case K::Count: out.count = r.number; break;
        case K::Exists: out.exists_flag = r.number != 0 ? kExistsTrue : kExistsFalse; break;
        case K::Min: out.min = r.numeric; break;
        case K::Max: out.max = r.numeric; break;
        case K::Sum: out.sum = r.numeric; break;
        case K::Mean: out.mean = r.numeric; break;
        case K::Product: out.product = r.numeric; break;
        case K::Mode: out.mode_list = std::move(r.entries); break;
        case K::Values:
        case K::KeyedValues: out.values_count = r.number; break;
        case K::ValuesUnique: out.distinct_count = r.number; break;
        case K::CountUnique: out.count_unique = r.number; break;
        case K::ValueCounts: out.value_counts = std::move(r.entries); break;
        case K::Types: out.types = r.types; break;
    }
    if (kind_info(r.kind).numeric) out.agg_skipped = std::max(out.agg_skipped, r.number);
}

namespace accumulator {

// What the value-keeping kinds need of one match, computed on first use.
class MatchCache {
public:
    explicit MatchCache(const Match& m) : m_(m) {}

    const Match& match() const { return m_; }

    // What keeps a kind that reads values from taking this match: a scalar
    // a strict reader refuses, or a container holding one.
    std::optional<MalformedValue> malformed() {
        switch (m_.kind) {
            case Match::Atom: {
                if (!is_number_atom()) return scalar_fault(false, m_.bytes, m_.offset);
                const NumberReading& n = number();
                if (!n.malformed) return std::nullopt;
                return MalformedValue{*n.malformed, m_.offset + n.malformed_at};
            }
            case Match::String:
                if (!escaped()) [[likely]]
                    return std::nullopt;
                return scalar_fault(true, m_.bytes, m_.offset);
            case Match::Container: return m_.malformed ? std::optional<MalformedValue>(*m_.malformed) : std::nullopt;
        }
        return std::nullopt;
    }

    uint64_t hash() {
        if (!hashed_) {
            ValueHasher h;
            switch (m_.kind) {
                case Match::Atom:
                    if (is_number_atom()) {
                        value::hash_number_into(h, number().view);
                    } else {
                        value::hash_atom_into(h, m_.bytes);
                    }
                    break;
                case Match::String: value::hash_string_into(h, text()); break;
                case Match::Container: container().hash_into(h); break;
            }
            hash_ = h.finish();
            hashed_ = true;
        }
        return hash_;
    }

    bool equals(const Value& v) {
        switch (m_.kind) {
            case Match::Atom:
                return is_number_atom() ? value::number_equals(v, number().view) : value::atom_equals(v, m_.bytes);
            case Match::String: return v.is_string() && v.as_string() == text();
            case Match::Container: return v == container();
        }
        return false;
    }

    // The number the numeric kinds fold: a number atom from its reading
    // (an integer converted, without parsing its text again), anything else
    // as match_number reads it.
    std::optional<double> as_number() {
        if (m_.kind != Match::Atom || !is_number_atom()) return match_number(m_);
        const NumberReading& n = number();
        if (n.malformed) return std::nullopt;
        if (n.view.kind != NumberView::Kind::Int) return number::parse_f64(n.view.text);
        // -0 reads as the integer 0 but folds as the float it spells.
        if (n.view.int_value == 0 && m_.bytes[0] == '-') return -0.0;
        return static_cast<double>(n.view.int_value);
    }

    Value make_value() {
        switch (m_.kind) {
            case Match::Atom:
                return is_number_atom() ? Value::number(JsonNumber::from_view(number().view))
                                        : value::from_atom(m_.bytes);
            case Match::String: return Value::string(std::string(text()));
            case Match::Container: return container();
        }
        return Value();
    }

private:
    // Whether a string match holds a backslash (looked for once).
    bool escaped() {
        if (escaped_ < 0) escaped_ = value::has_backslash(m_.bytes);
        return escaped_ != 0;
    }

    // The decoded text of a string match (its raw bytes when they need no decoding).
    std::string_view text() {
        if (!text_ready_) {
            if (!escaped() && is_valid_utf8(m_.bytes)) {
                text_ = m_.bytes;
            } else {
                decoded_ = value::decode_json_string(m_.bytes);
                text_ = decoded_;
            }
            text_ready_ = true;
        }
        return text_;
    }

    const Value& container() const {
        static const Value null_value;
        return m_.value ? *m_.value : null_value;
    }

    bool is_number_atom() const { return atom_json_type(m_.bytes) == JsonType::Number; }

    // The reading of a number atom.
    const NumberReading& number() {
        if (!number_ready_) {
            number_ = number::read_json(m_.bytes);
            number_ready_ = true;
        }
        return number_;
    }

    const Match& m_;
    bool hashed_ = false;
    bool text_ready_ = false;
    bool number_ready_ = false;
    int8_t escaped_ = -1;  // unknown until asked
    NumberReading number_;
    uint64_t hash_ = 0;
    std::string_view text_;
    std::string decoded_;
};

std::optional<MalformedValue> match_fault_slow(const Match& m) {
    switch (m.kind) {
        case Match::Atom: return scalar_fault(false, m.bytes, m.offset);
        case Match::String: return scalar_fault(true, m.bytes, m.offset);
        case Match::Container: return m.malformed ? std::optional<MalformedValue>(*m.malformed) : std::nullopt;
    }
    return std::nullopt;
}

JsonType match_type(const Match& m) {
    switch (m.kind) {
        case Match::Atom: return atom_json_type(m.bytes);
        case Match::String: return JsonType::String;
        case Match::Container: return m.is_object ? JsonType::Object : JsonType::Array;
    }
    return JsonType::Null;
}

std::optional<double> match_number(const Match& m) {
    switch (m.kind) {
        case Match::Atom: {
            if (m.bytes.empty()) return std::nullopt;
            unsigned char c = static_cast<unsigned char>(m.bytes[0]);
            if (c != '-' && !(c >= '0' && c <= '9')) return std::nullopt;
            return number::parse_f64(m.bytes);
        }
        case Match::String:
            if (!is_valid_utf8(m.bytes)) return std::nullopt;
            return value::coerce_numeric_str(m.bytes);
        case Match::Container: return std::nullopt;
    }
    return std::nullopt;
}

void Accumulator::reset() {
    flag_ = false;
    count_ = 0;
    folded_ = 0;
    running_ = kind_ == AccumulatorKind::Product ? 1.0 : 0.0;
    log_.clear();
    table_.clear();
    types_.clear();
}

void Accumulator::fold_number(double x) {
    switch (kind_) {
        case AccumulatorKind::Min:
            running_ = flag_ ? std::fmin(running_, x) : x;
            flag_ = true;
            break;
        case AccumulatorKind::Max:
            running_ = flag_ ? std::fmax(running_, x) : x;
            flag_ = true;
            break;
        case AccumulatorKind::Sum:
            running_ += x;
            if (logs_) log_.add(x);
            break;
        case AccumulatorKind::Mean:
            running_ += x;
            ++folded_;
            if (logs_) log_.add(x);
            break;
        case AccumulatorKind::Product:
            running_ *= x;
            if (logs_) log_.add(x);
            break;
        default: break;
    }
}

std::optional<MalformedValue> Accumulator::fold(const Match& m, std::optional<std::string_view> key,
                                                 bool stream_items, ItemQueue& queue) {
    MatchCache cache(m);
    if (reads(key.has_value())) {
        if (auto why = cache.malformed()) return why;
    }
    fold(cache, key, stream_items, queue);
    return std::nullopt;
}

// The kinds that never build the value; false for the others.
inline bool Accumulator::fold_without_value(const Match& m) {
    using K = AccumulatorKind;
    switch (kind_) {
        case K::Count: ++count_; return true;
        case K::Exists: flag_ = true; return true;
        case K::Types: types_.insert(match_type(m)); return true;
        case K::Min:
        case K::Max:
        case K::Sum:
        case K::Mean:
        case K::Product:
            if (auto x = match_number(m)) {
                fold_number(*x);
            } else {
                ++count_;
            }
            return true;
        default: return false;
    }
}

void Accumulator::fold_plain(const Match& m) {
    if (fold_without_value(m)) return;
    // The kinds that keep values take the whole fold.
    ItemQueue none;
    (void)fold(m, std::nullopt, false, none);
}

void Accumulator::fold(MatchCache& mc, std::optional<std::string_view> key, bool stream_items, ItemQueue& queue) {
    using K = AccumulatorKind;
    if (info().numeric) {
        if (auto x = mc.as_number()) {
            fold_number(*x);
        } else {
            ++count_;
        }
        return;
    }
    if (fold_without_value(mc.match())) return;
    switch (kind_) {
        case K::Values:
            ++count_;
            if (stream_items) queue.push_back(AccumulatorItem{mc.make_value(), std::nullopt});
            break;
        case K::KeyedValues:
            if (!key) break;
            ++count_;
            if (stream_items) queue.push_back(AccumulatorItem{mc.make_value(), value::decode_json_string(*key)});
            break;
        case K::CountUnique:
            table_.find_or_insert(
                mc.hash(), [&](const Value& v) { return mc.equals(v); }, [&] { return mc.make_value(); });
            break;
        case K::ValueCounts:
        case K::Mode: {
            auto found = table_.find_or_insert(
                mc.hash(), [&](const Value& v) { return mc.equals(v); }, [&] { return mc.make_value(); });
            found.first->value += 1;
            break;
        }
        case K::ValuesUnique: {
            auto found = table_.find_or_insert(
                mc.hash(), [&](const Value& v) { return mc.equals(v); }, [&] { return mc.make_value(); });
            if (found.second) {
                ++count_;
                if (stream_items) queue.push_back(AccumulatorItem{found.first->key, std::nullopt});
            }
            break;
        }
        default: break;
    }
}

namespace {

// Moves the entries of `from` into `into`, in their order: an entry `into`
// already holds adds the other's count to its own, a new one is appended
// (and copied to `fresh`, when given). Returns the number of new entries.
// Both tables hold the hashes every engine computes alike, so none is
// hashed again.
uint64_t absorb(ValueTable& into, ValueTable& from, std::vector<Value>* fresh) {
    if (into.empty()) {
        // The first part: its table is the whole of what is known.
        std::swap(into, from);
        if (fresh)
            for (const auto& e : into.entries()) fresh->push_back(e.key);
        return into.size();
    }
    uint64_t added = 0;
    for (auto& e : from.take_entries()) {
        auto found = into.find_or_insert(
            e.hash, [&](const Value& v) { return v == e.key; }, [&] { return std::move(e.key); });
        found.first->value += e.value;
        if (!found.second) continue;
        ++added;
        if (fresh) fresh->push_back(found.first->key);
    }
    return added;
}

}  // namespace

// No default: a kind without its case here fails the build, rather than
// answering wrongly only where a file was large enough to be cut.
void Accumulator::combine(Accumulator& later, std::vector<Value>* fresh) {
    using K = AccumulatorKind;
    if (later.kind_ != kind_) panic("combining accumulators of different kinds");
    switch (kind_) {
        case K::Count:
        case K::Values:
        case K::KeyedValues: count_ += later.count_; break;
        case K::Exists: flag_ = flag_ || later.flag_; break;
        case K::Types:
            for (const JsonType t : later.types_) types_.insert(t);
            break;
        case K::CountUnique:
        case K::ValueCounts:
        case K::Mode: (void)absorb(table_, later.table_, nullptr); break;
        case K::ValuesUnique: count_ += absorb(table_, later.table_, fresh); break;
        case K::Min:
        case K::Max:
            // The step a match takes keeps one of two equal figures (zeros
            // of either sign) by their order, so folding a part's figure
            // settles a tie as folding that part's numbers one by one would.
            if (later.flag_) fold_number(later.running_);
            count_ += later.count_;
            break;
        case K::Sum:
        case K::Mean:
        case K::Product:
            if (!later.logs_) panic("combining a running figure that kept no contributions");
            running_ = kind_ == K::Product ? later.log_.multiply_onto(running_) : later.log_.add_onto(running_);
            folded_ += later.folded_;
            count_ += later.count_;
            break;
    }
}

AccumulatorResult Accumulator::result(bool take) const {
    using K = AccumulatorKind;
    AccumulatorResult r;
    r.kind = kind_;
    switch (kind_) {
        case K::Count:
        case K::Values:
        case K::KeyedValues:
        case K::ValuesUnique: r.number = count_; break;
        case K::Exists: r.number = flag_ ? 1 : 0; break;
        case K::CountUnique: r.number = table_.size(); break;
        case K::Min:
        case K::Max:
            r.number = count_;
            if (flag_) r.numeric = running_;
            break;
        case K::Sum:
        case K::Product:
            r.number = count_;
            r.numeric = running_;
            break;
        case K::Mean:
            r.number = count_;
            if (folded_ != 0) r.numeric = running_ / static_cast<double>(folded_);
            break;
        case K::Mode:
            r.entries = modal_of(table_.entries(), [](const ValueTable::Entry& e) {
                struct Ref {
                    const Value& value;
                    uint64_t count;
                };
                return Ref{e.key, e.value};
            });
            break;
        case K::ValueCounts:
            if (!take) {
                r.entries.reserve(table_.size());
                for (const auto& e : table_.entries()) r.entries.push_back(ValueCount{e.key, e.value});
            }
            break;
        case K::Types: r.types = types_; break;
    }
    return r;
}

AccumulatorResult Accumulator::take_result() {
    AccumulatorResult r = result(true);
    if (kind_ == AccumulatorKind::ValueCounts) {
        auto entries = table_.take_entries();
        r.entries.reserve(entries.size());
        for (auto& e : entries) r.entries.push_back(ValueCount{std::move(e.key), e.value});
    } else if (kind_ == AccumulatorKind::Types) {
        types_.clear();
    }
    return r;
}

AccumulatorResult Accumulator::snapshot_result() const { return result(false); }

uint64_t apply_limits(uint64_t mask, uint64_t done_mask, uint64_t limited_mask,
                      std::span<const std::optional<uint64_t>> limits, std::span<uint64_t> counters,
                      uint64_t* reached) {
    mask &= ~done_mask;
    uint64_t limited = mask & limited_mask;
    uint64_t full = 0;
    while (limited != 0) {
        const unsigned i = static_cast<unsigned>(__builtin_ctzll(limited));
        limited &= limited - 1;
        const std::optional<uint64_t>& limit = limits[i];
        if (limit && counters[i] >= *limit) {
            mask &= ~(uint64_t{1} << i);
        } else if (++counters[i] == limit) {
            full |= uint64_t{1} << i;
        }
    }
    if (reached) *reached = full;
    return mask;
}

std::optional<MalformedValue> fold_match(std::span<Accumulator> accumulators, std::span<const uint64_t> label_masks,
                                          std::span<ItemQueue> queues, uint64_t mask, uint64_t read_mask,
                                          const Match& m, std::optional<std::string_view> key, bool stream_items) {
    if (mask == 0) return std::nullopt;
    // One cache for every accumulator: the match is read, hashed and decoded
    // at most once, and only when a kind that reads values asks.
    MatchCache cache(m);
    if ((mask & read_mask) != 0) {
        if (auto why = cache.malformed()) return why;
    }
    for (size_t j = 0; j < accumulators.size(); ++j) {
        if ((label_masks[j] & mask) != 0) accumulators[j].fold(cache, key, stream_items, queues[j]);
    }
    return std::nullopt;
}

std::optional<MalformedValue> fold_match_into(std::span<Accumulator> accumulators, std::span<ItemQueue> queues,
                                               std::span<const uint32_t> which, bool reads, const Match& m,
                                               bool stream_items) {
    MatchCache cache(m);
    if (reads) {
        if (auto why = cache.malformed()) return why;
    }
    for (const uint32_t j : which) accumulators[j].fold(cache, std::nullopt, stream_items, queues[j]);
    return std::nullopt;
}

}  // namespace accumulator

std::vector<accumulator::Accumulator> initialize_accumulators(std::span<const AccumulatorKind> kinds) {
    std::vector<accumulator::Accumulator> out;
    if (kinds.empty()) return out;
    if (kinds.size() == 1) {
        out.push_back(accumulator::Accumulator::of_kind(kinds[0]));
        return out;
    }
    uint32_t present = 0;
    for (AccumulatorKind m : kinds) present |= 1u << static_cast<unsigned>(m);
    auto has = [&](AccumulatorKind m) { return (present >> static_cast<unsigned>(m)) & 1u; };
    auto drop = [&](AccumulatorKind m) { present &= ~(1u << static_cast<unsigned>(m)); };
    // ValueCounts answers Mode and CountUnique too. It does not replace
    // ValuesUnique: that one streams its distinct values to the caller.
    if (has(AccumulatorKind::ValueCounts)) {
        drop(AccumulatorKind::Mode);
        drop(AccumulatorKind::CountUnique);
    }
    if (has(AccumulatorKind::ValuesUnique)) drop(AccumulatorKind::CountUnique);
    if (has(AccumulatorKind::Values)) {
        drop(AccumulatorKind::Count);
        drop(AccumulatorKind::Exists);
    }
    if (has(AccumulatorKind::Count)) drop(AccumulatorKind::Exists);
    // Survivors in request order, each once.
    for (AccumulatorKind m : kinds) {
        if (has(m)) {
            out.push_back(accumulator::Accumulator::of_kind(m));
            drop(m);
        }
    }
    return out;
}

}  // namespace jorvane::engine
