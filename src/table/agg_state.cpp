// Sums keep two parts per group: integers stored as 64-bit integers add up
// exactly in a 128-bit integer, every other number in a double. The column's
// type is settled only at the end: it stays an exact Int64 while no group met
// anything but such integers, and becomes Float64 for every group as soon as
// one did, provided each group's exact part converts to a double without
// loss. Min and max follow IEEE 754 minNum/maxNum (a NaN operand is
// ignored).
#include "table/agg_state.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "table/declared.h"
#include "table/inference.h"
#include "util/text.h"

namespace jorvane::table {
namespace {

using engine::Value;

constexpr __int128 kI128Max = static_cast<__int128>(~static_cast<unsigned __int128>(0) >> 1);
constexpr __int128 kI128Min = -kI128Max - 1;

std::string i128_text(__int128 v) {
    const bool negative = v < 0;
    unsigned __int128 m = negative ? static_cast<unsigned __int128>(0) - static_cast<unsigned __int128>(v)
                                   : static_cast<unsigned __int128>(v);
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    } while (m != 0);
    return negative ? "-" + digits : digits;
}

// The double nearest to `v`, and whether it converts back to `v` exactly
// (the way back saturates at the 128-bit range).
std::pair<double, bool> i128_to_f64(__int128 v) {
    const double d = static_cast<double>(v);
    __int128 back;
    if (d >= 0x1p127)
        back = kI128Max;
    else if (d < -0x1p127)
        back = kI128Min;
    else
        back = static_cast<__int128>(d);
    return {d, back == v};
}

Column int64_column(const std::vector<uint64_t>& counts) {
    Int64Column col;
    col.values.reserve(counts.size());
    for (uint64_t c : counts) col.values.push_back(static_cast<int64_t>(c));
    return Column::of<Column::Kind::Int64>(std::move(col));
}

Column float_column(const std::vector<std::optional<double>>& values) {
    bool any_missing = false;
    for (const auto& v : values) any_missing |= !v;
    NullableBuilder<double> b(values.size(), any_missing);
    for (const auto& v : values) {
        if (v)
            b.push(*v);
        else
            b.push_missing(std::numeric_limits<double>::quiet_NaN());
    }
    return Column::of<Column::Kind::Float>(std::move(b).finish());
}

}  // namespace

AggStates::AggStates(std::string name, GroupOp op, bool piece, size_t parts)
    : name_(std::move(name)), op_(op), piece_(piece && (op == GroupOp::Sum || op == GroupOp::Mean)) {
    switch (op) {
        case GroupOp::Count: states_ = Counts{}; break;
        case GroupOp::Sum: states_ = Sums{}; break;
        case GroupOp::Min:
        case GroupOp::Max: states_ = Extremes{}; break;
        case GroupOp::Mean: states_ = Means{}; break;
        case GroupOp::CountUnique: {
            const size_t n = std::max<size_t>(parts, 1);
            states_ = Distinct{std::vector<DistinctPairs>(n), std::vector<std::vector<uint64_t>>(n)};
            break;
        }
        case GroupOp::First:
        case GroupOp::Last: states_ = Kept{}; break;
    }
}

void AggStates::add_group() {
    ++groups_;
    std::visit(
        [](auto& s) {
            if constexpr (requires { s.groups; }) s.groups.emplace_back();
        },
        states_);
}

void AggStates::expect(uint64_t values) {
    if (Distinct* d = std::get_if<Distinct>(&states_))
        for (DistinctPairs& p : d->parts) p.reserve(static_cast<size_t>(values / d->parts.size()) + 1);
}

void AggStates::count_part(size_t part) {
    Distinct& d = std::get<Distinct>(states_);
    d.counted[part].assign(groups_, 0);
    d.parts[part].count_into(d.counted[part]);
}

JorvaneError AggStates::not_a_number(const Value& value) const {
    return JorvaneError::shape("group_by aggregate " + debug_quote(name_) + " (" + group_op_name(op_) +
                               ") expects numbers, but the path produced " + kind_word(value));
}

Result<void, JorvaneError> AggStates::fold(size_t group, std::optional<Value>& cell) {
    if (op_ == GroupOp::Count) {
        ++std::get<Counts>(states_).groups[group];
        return {};
    }
    if (!cell || cell->is_null()) return {};
    Value& v = *cell;
    switch (op_) {
        case GroupOp::Count: break;
        case GroupOp::Sum: {
            SumState& s = std::get<Sums>(states_).groups[group];
            s.seen = true;
            if (v.is_number() && v.as_number().is_int()) {
                // Saturates rather than wraps; reaching the 128-bit range
                // takes more than 2^64 rows.
                if (__builtin_add_overflow(s.exact, static_cast<__int128>(v.as_number().int_value()), &s.exact))
                    s.exact = v.as_number().int_value() < 0 ? kI128Min : kI128Max;
                return {};
            }
            const std::optional<double> d = as_f64(v);
            if (!d) return make_err(not_a_number(v));
            if (piece_) {
                float_groups_.push_back(static_cast<uint32_t>(group));
                float_log_.add(*d);
            } else {
                s.floating += *d;
            }
            s.saw_float = true;
            return {};
        }
        case GroupOp::Min:
        case GroupOp::Max: {
            const std::optional<double> d = as_f64(v);
            if (!d) return make_err(not_a_number(v));
            std::optional<double>& s = std::get<Extremes>(states_).groups[group];
            // fmin and fmax are minNum and maxNum: a NaN operand is ignored.
            s = !s ? *d : op_ == GroupOp::Min ? std::fmin(*s, *d) : std::fmax(*s, *d);
            return {};
        }
        case GroupOp::Mean: {
            const std::optional<double> d = as_f64(v);
            if (!d) return make_err(not_a_number(v));
            MeanState& s = std::get<Means>(states_).groups[group];
            if (piece_) {
                float_groups_.push_back(static_cast<uint32_t>(group));
                float_log_.add(*d);
            } else {
                s.sum += *d;
            }
            ++s.count;
            return {};
        }
        case GroupOp::CountUnique: {
            std::vector<DistinctPairs>& parts = std::get<Distinct>(states_).parts;
            const DistinctKey key = distinct_key(v);
            parts[distinct_part(key.hash, parts.size())].insert(group, key, std::move(v));
            return {};
        }
        case GroupOp::First: {
            std::optional<Value>& s = std::get<Kept>(states_).groups[group];
            if (!s) s = std::move(v);
            return {};
        }
        case GroupOp::Last: std::get<Kept>(states_).groups[group] = std::move(v); return {};
    }
    return {};
}

template <class Add>
void AggStates::replay(Add&& add) const {
    size_t i = 0;
    float_log_.for_each([&](double x) { add(float_groups_[i++], x); });
}

void AggStates::absorb(AggStates& piece, const std::vector<size_t>& into) {
    switch (op_) {
        case GroupOp::Count: {
            std::vector<uint64_t>& s = std::get<Counts>(states_).groups;
            const std::vector<uint64_t>& p = std::get<Counts>(piece.states_).groups;
            for (size_t g = 0; g < p.size(); ++g) s[into[g]] += p[g];
            return;
        }
        case GroupOp::Sum: {
            std::vector<SumState>& s = std::get<Sums>(states_).groups;
            const std::vector<SumState>& p = std::get<Sums>(piece.states_).groups;
            for (size_t g = 0; g < p.size(); ++g) {
                if (!p[g].seen) continue;
                SumState& into_state = s[into[g]];
                into_state.seen = true;
                // Saturates as fold does; out of reach in practice.
                if (__builtin_add_overflow(into_state.exact, p[g].exact, &into_state.exact))
                    into_state.exact = p[g].exact < 0 ? kI128Min : kI128Max;
                into_state.saw_float = into_state.saw_float || p[g].saw_float;
            }
            // Each group's numbers are added in the order the piece took
            // them, onto what the group held before the piece.
            piece.replay([&](size_t g, double x) { s[into[g]].floating += x; });
            return;
        }
        case GroupOp::Min:
        case GroupOp::Max: {
            std::vector<std::optional<double>>& s = std::get<Extremes>(states_).groups;
            const std::vector<std::optional<double>>& p = std::get<Extremes>(piece.states_).groups;
            // minNum and maxNum are associative, so the piece's extreme
            // stands for its numbers.
            for (size_t g = 0; g < p.size(); ++g) {
                std::optional<double>& e = s[into[g]];
                if (p[g]) e = !e ? *p[g] : op_ == GroupOp::Min ? std::fmin(*e, *p[g]) : std::fmax(*e, *p[g]);
            }
            return;
        }
        case GroupOp::Mean: {
            std::vector<MeanState>& s = std::get<Means>(states_).groups;
            const std::vector<MeanState>& p = std::get<Means>(piece.states_).groups;
            for (size_t g = 0; g < p.size(); ++g) s[into[g]].count += p[g].count;
            piece.replay([&](size_t g, double x) { s[into[g]].sum += x; });
            return;
        }
        case GroupOp::CountUnique: return;
        case GroupOp::First:
        case GroupOp::Last: {
            std::vector<std::optional<Value>>& s = std::get<Kept>(states_).groups;
            std::vector<std::optional<Value>>& p = std::get<Kept>(piece.states_).groups;
            for (size_t g = 0; g < p.size(); ++g)
                if (p[g] && (op_ == GroupOp::Last || !s[into[g]])) s[into[g]] = std::move(p[g]);
            return;
        }
    }
}

void AggStates::absorb_part(size_t part, AggStates& piece, const std::vector<size_t>& into) {
    std::get<Distinct>(states_).parts[part].absorb(std::move(std::get<Distinct>(piece.states_).parts[part]), into);
}

size_t AggStates::bytes() const {
    size_t n = float_groups_.capacity() * sizeof(uint32_t) + float_log_.bytes();
    std::visit(
        [&](const auto& s) {
            if constexpr (requires { s.groups; }) n += s.groups.capacity() * sizeof(s.groups[0]);
        },
        states_);
    if (const Kept* k = std::get_if<Kept>(&states_))
        for (const auto& v : k->groups) n += v ? value_heap_bytes(*v) : 0;
    if (const Distinct* d = std::get_if<Distinct>(&states_))
        for (const DistinctPairs& p : d->parts) n += p.bytes();
    return n;
}

Result<Column, JorvaneError> AggStates::finish_sum(std::vector<SumState> groups) const {
    bool floating = false;
    for (const SumState& s : groups) floating |= s.saw_float;
    if (floating) {
        std::vector<std::optional<double>> out;
        out.reserve(groups.size());
        for (const SumState& s : groups) {
            if (!s.seen) {
                out.emplace_back();
                continue;
            }
            const auto [exact, lossless] = i128_to_f64(s.exact);
            if (!lossless)
                return make_err(JorvaneError::shape(
                    "group_by aggregate " + debug_quote(name_) +
                    " (sum): a float elsewhere in the column forces float64, but one group's exact integer sum (" +
                    i128_text(s.exact) + ") is not representable in float64"));
            out.emplace_back(s.floating + exact);
        }
        return float_column(out);
    }
    bool any_missing = false;
    for (const SumState& s : groups) any_missing |= !s.seen;
    NullableBuilder<int64_t> b(groups.size(), any_missing);
    for (const SumState& s : groups) {
        if (!s.seen) {
            b.push_missing(0);
            continue;
        }
        if (s.exact > std::numeric_limits<int64_t>::max() || s.exact < std::numeric_limits<int64_t>::min())
            return make_err(JorvaneError::shape("group_by aggregate " + debug_quote(name_) +
                                                " (sum) overflows int64 in one group \u2014 an exact integer sum "
                                                "cannot represent it"));
        b.push(static_cast<int64_t>(s.exact));
    }
    return Column::of<Column::Kind::Int64>(std::move(b).finish());
}

Result<Column, JorvaneError> AggStates::finish() && {
    switch (op_) {
        case GroupOp::Count: return int64_column(std::get<Counts>(states_).groups);
        case GroupOp::Sum: return finish_sum(std::move(std::get<Sums>(states_).groups));
        case GroupOp::Min:
        case GroupOp::Max: return float_column(std::get<Extremes>(states_).groups);
        case GroupOp::Mean: {
            std::vector<std::optional<double>> out;
            for (const MeanState& s : std::get<Means>(states_).groups)
                out.push_back(s.count ? std::optional<double>(s.sum / static_cast<double>(s.count)) : std::nullopt);
            return float_column(out);
        }
        case GroupOp::CountUnique: {
            const Distinct& d = std::get<Distinct>(states_);
            std::vector<uint64_t> counts(groups_);
            for (size_t p = 0; p < d.parts.size(); ++p) {
                if (d.counted[p].size() != groups_) {
                    d.parts[p].count_into(counts);
                    continue;
                }
                for (size_t g = 0; g < groups_; ++g) counts[g] += d.counted[p][g];
            }
            return int64_column(counts);
        }
        case GroupOp::First:
        case GroupOp::Last: return narrow_cells(std::move(std::get<Kept>(states_).groups));
    }
    return Column{};
}

}  // namespace jorvane::table
