// QueryParseError: why a query text could not be turned into a query tree.
#pragma once

#include <string>

namespace jorvane::dfa_core {

class QueryParseError {
public:
    enum class Kind {
        UnexpectedToken,       // payload: text (syntax error rendering, refusals)
        UnexpectedEnd,         // no payload
        UnmatchableFieldName,  // payload: the decoded field name
        UnpairedSurrogate,     // payload: the quoted field's raw text between its quotes
        IndexTooLarge,         // payload: the index digits as written
    };

    static QueryParseError unexpected_token(std::string text) { return {Kind::UnexpectedToken, std::move(text)}; }
    static QueryParseError unexpected_end() { return {Kind::UnexpectedEnd, {}}; }
    static QueryParseError unmatchable_field_name(std::string name) {
        return {Kind::UnmatchableFieldName, std::move(name)};
    }
    static QueryParseError unpaired_surrogate(std::string raw) { return {Kind::UnpairedSurrogate, std::move(raw)}; }
    static QueryParseError index_too_large(std::string digits) { return {Kind::IndexTooLarge, std::move(digits)}; }

    Kind kind() const { return kind_; }
    const std::string& payload() const { return payload_; }
    // The display text ("Unexpected token: ...", "Unexpected end of input", ...).
    std::string to_string() const;

    bool operator==(const QueryParseError&) const = default;

private:
    QueryParseError(Kind k, std::string p) : kind_(k), payload_(std::move(p)) {}
    Kind kind_;
    std::string payload_;
};

}  // namespace jorvane::dfa_core
