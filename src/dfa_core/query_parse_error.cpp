#include "dfa_core/query_parse_error.h"

#include "util/text.h"

namespace jorvane::dfa_core {

std::string QueryParseError::to_string() const {
    switch (kind_) {
        case Kind::UnexpectedToken:
            return "Unexpected token: " + payload_;
        case Kind::UnexpectedEnd:
            return "Unexpected end of input";
        case Kind::UnmatchableFieldName:
            return "field name " + debug_quote(payload_) +
                   " contains a double quote, backslash, or control character; such a key is matched against "
                   "its raw (escaped) bytes in the document and can never be found by name \xE2\x80\x94 match it "
                   "structurally instead (a `*` wildcard, or kvitems on the enclosing object)";
        case Kind::UnpairedSurrogate:
            return "quoted field " + debug_quote(payload_) +
                   " contains an unpaired \\uXXXX surrogate escape; it names no code point and can never match a "
                   "document key";
        case Kind::IndexTooLarge:
            return "array index " + payload_ + " is too large to address";
    }
    return {};
}

}  // namespace jorvane::dfa_core
