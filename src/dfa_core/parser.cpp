// Query tree building from the grammar's pairs, and the refusals of what the
// grammar accepts but the engine could never match: regex steps, field names
// holding characters a document key never shows unescaped, and array
// indices without room for the interval [i, i + 1).
#include "dfa_core/parser.h"

#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "dfa_core/syntax_error.h"
#include "dfa_core/utf8.h"
#include "util/json_escape.h"
#include "util/panic.h"
#include "util/text.h"

namespace jorvane::dfa_core::parser {

using grammar::Pair;
using grammar::Rule;
using ast::Query;

namespace {

constexpr uint64_t kMaxU64 = std::numeric_limits<uint64_t>::max();

QueryParseError expected_rule(std::string_view what, Rule got) {
    std::string text = "Expected ";
    text += what;
    text += " rule, got ";
    text += grammar::rule_name(got);
    return QueryParseError::unexpected_token(std::move(text));
}

// Decimal digits to a 64-bit value; nothing when the text is not all digits
// or the value does not fit.
std::optional<uint64_t> parse_u64(std::string_view text) {
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (kMaxU64 - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

bool all_digits(std::string_view text) {
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}


// A key holding one of these is written escaped in any JSON document, and
// keys are compared in their raw form, so such a name never matches.
bool has_unmatchable_char(std::string_view name) {
    for (size_t i = 0; i < name.size();) {
        const Utf8Char c = utf8_at(name, i);
        const uint32_t cp = c.code_point;
        if (cp == '"' || cp == '\\' || cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return true;
        i += c.length;
    }
    return false;
}

Result<Query, QueryParseError> convert_accessor(const Pair& pair) {
    switch (pair.rule) {
        case Rule::index:
            return parse_index(pair);
        case Rule::range:
            return parse_range(pair);
        case Rule::array_wildcard:
            return Query::array_wildcard();
        default:
            panic("internal error: entered unreachable code");
    }
}

Result<Query, QueryParseError> convert_step(const Pair& step) {
    if (step.rule != Rule::step) return make_err(expected_rule("step", step.rule));
    if (step.inner.empty()) return make_err(QueryParseError::unexpected_end());

    std::vector<Query> items;
    const Pair& head = step.inner[0];
    switch (head.rule) {
        case Rule::field: {
            auto field = parse_field(head.text);
            if (!field) return make_err(std::move(field).error());
            items.push_back(std::move(field).value());
            break;
        }
        case Rule::index:
        case Rule::range:
        case Rule::array_wildcard: {
            auto item = convert_accessor(head);
            if (!item) return make_err(std::move(item).error());
            items.push_back(std::move(item).value());
            break;
        }
        case Rule::field_wildcard:
            items.push_back(Query::field_wildcard());
            break;
        case Rule::group: {
            if (head.inner.empty()) return make_err(QueryParseError::unexpected_end());
            auto inner = parse_disjunction(head.inner[0]);
            if (!inner) return make_err(std::move(inner).error());
            items.push_back(std::move(inner).value());
            break;
        }
        case Rule::regex:
            return make_err(QueryParseError::unexpected_token(
                "Regex patterns (/pattern/) are not yet supported. Use field wildcards (*) or quoted field names "
                "(\"field\") instead."));
        default:
            return make_err(QueryParseError::unexpected_token(std::string("Unexpected start of step: ") +
                                                              std::string(grammar::rule_name(head.rule))));
    }

    size_t i = 1;
    while (i < step.inner.size()) {
        const Rule r = step.inner[i].rule;
        if (r != Rule::index && r != Rule::range && r != Rule::array_wildcard) break;
        auto item = convert_accessor(step.inner[i]);
        if (!item) return make_err(std::move(item).error());
        items.push_back(std::move(item).value());
        ++i;
    }

    if (i < step.inner.size()) {
        const Pair& modifier = step.inner[i];
        if (modifier.rule != Rule::modifier) {
            return make_err(QueryParseError::unexpected_token(std::string("Expected modifier, got ") +
                                                              std::string(grammar::rule_name(modifier.rule))));
        }
        if (items.empty()) return make_err(QueryParseError::unexpected_token("No query to apply modifier to"));
        Query last = std::move(items.back());
        items.pop_back();
        if (modifier.text == "?") {
            items.push_back(Query::optional(std::move(last)));
        } else if (modifier.text == "*") {
            items.push_back(Query::kleene_star(std::move(last)));
        } else {
            return make_err(QueryParseError::unexpected_token("Unknown modifier: " + std::string(modifier.text)));
        }
    }

    if (items.size() == 1) return std::move(items[0]);
    return Query::sequence(std::move(items));
}

}  // namespace

Result<Query, QueryParseError> parse_query(std::string_view text) {
    if (trim_unicode_whitespace(text).empty()) return Query::sequence({});

    auto matched = grammar::QueryMatcher::parse(text);
    if (!matched) {
        const grammar::SyntaxError& err = matched.error();
        if (err.nesting_too_deep) {
            return make_err(QueryParseError::unexpected_token("query nests groups more than " +
                                                              std::to_string(kMaxGroupDepth) + " levels deep"));
        }
        return make_err(QueryParseError::unexpected_token(render_syntax_error(text, err.position, err.expected)));
    }
    const Pair& query = matched.value();
    if (query.rule != Rule::query) panic("Empty query string");
    if (query.inner.empty()) return make_err(QueryParseError::unexpected_end());
    const Pair& first = query.inner[0];
    if (first.rule == Rule::EOI) return Query::sequence({});
    return parse_disjunction(first);
}

Result<Query, QueryParseError> parse_disjunction(const Pair& pair) {
    if (pair.rule != Rule::disjunction) return make_err(expected_rule("disjunction", pair.rule));
    std::vector<Query> alternatives;
    alternatives.reserve(pair.inner.size());
    for (const Pair& inner : pair.inner) {
        auto alternative = parse_sequence(inner);
        if (!alternative) return make_err(std::move(alternative).error());
        alternatives.push_back(std::move(alternative).value());
    }
    if (alternatives.size() == 1) return std::move(alternatives[0]);
    return Query::disjunction(std::move(alternatives));
}

Result<Query, QueryParseError> parse_sequence(const Pair& pair) {
    if (pair.rule != Rule::sequence) return make_err(expected_rule("sequence", pair.rule));
    std::vector<Query> steps;
    steps.reserve(pair.inner.size());
    for (const Pair& inner : pair.inner) {
        auto step = convert_step(inner);
        if (!step) return make_err(std::move(step).error());
        steps.push_back(std::move(step).value());
    }
    return Query::sequence(std::move(steps));
}

Result<Query, QueryParseError> parse_index(const Pair& pair) {
    if (pair.rule != Rule::index) return make_err(expected_rule("index", pair.rule));
    if (pair.inner.empty()) return make_err(QueryParseError::unexpected_end());
    const std::string_view digits = pair.inner[0].text;
    const std::optional<uint64_t> value = parse_u64(digits);
    if (!value) {
        if (all_digits(digits)) return make_err(QueryParseError::index_too_large(std::string(digits)));
        return make_err(QueryParseError::unexpected_token(std::string(digits)));
    }
    // An index needs room for its interval [i, i + 1).
    if (*value == kMaxU64) return make_err(QueryParseError::index_too_large(std::string(digits)));
    return Query::index_at(*value);
}

Result<Query, QueryParseError> parse_range(const Pair& pair) {
    if (pair.rule != Rule::range) return make_err(expected_rule("range", pair.rule));
    std::optional<uint64_t> start;
    std::optional<uint64_t> end;
    for (const Pair& inner : pair.inner) {
        if (inner.rule != Rule::range_start && inner.rule != Rule::range_end) continue;
        const std::optional<uint64_t> value = parse_u64(inner.text);
        if (!value) return make_err(QueryParseError::unexpected_token(std::string(inner.text)));
        (inner.rule == Rule::range_start ? start : end) = value;
    }
    if (start && end) return Query::range(start, end);
    if (start) return Query::range_from(*start);
    if (end) return Query::range(uint64_t{0}, end);
    return Query::array_wildcard();
}

Result<Query, QueryParseError> parse_field(std::string_view text) {
    std::string name;
    if (text.size() > 1 && text.front() == '"' && text.back() == '"') {
        const std::string_view inner = text.substr(1, text.size() - 2);
        name.reserve(inner.size());
        size_t i = 0;
        while (i < inner.size()) {
            const char c = inner[i];
            if (c != '\\' || i + 1 >= inner.size()) {
                name += c;
                ++i;
                continue;
            }
            const char e = inner[i + 1];
            if (const auto ch = short_escape(e)) {
                name += *ch;
                i += 2;
                continue;
            }
            const std::optional<uint16_t> escaped = e == 'u' ? read_hex4(inner, i + 2) : std::nullopt;
            if (!escaped) {
                // The grammar admits no other escape; keep the text as it is.
                name += c;
                ++i;
                continue;
            }
            const uint32_t unit = *escaped;
            if (unit >= 0xD800 && unit <= 0xDBFF) {
                const std::optional<uint16_t> low = read_low_surrogate_escape(inner, i + 6);
                if (!low) return make_err(QueryParseError::unpaired_surrogate(std::string(inner)));
                append_utf8(name, 0x10000 + (unit - 0xD800) * 0x400 + (*low - 0xDC00));
                i += 12;
            } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
                return make_err(QueryParseError::unpaired_surrogate(std::string(inner)));
            } else {
                append_utf8(name, unit);
                i += 6;
            }
        }
    } else {
        name = std::string(text);
    }
    if (has_unmatchable_char(name)) return make_err(QueryParseError::unmatchable_field_name(std::move(name)));
    return Query::field(std::move(name));
}

}  // namespace jorvane::dfa_core::parser
