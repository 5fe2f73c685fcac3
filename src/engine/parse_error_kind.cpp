#include "engine/parse_error_kind.h"

#include <cstdio>

#include "util/text.h"

namespace jorvane::engine {

namespace {

// The byte as the character of the same code point, quoted, then its two hex
// digits: 'x' (0x78). NUL is written \u{0}, like the other control characters.
std::string byte_text(uint8_t b) {
    std::string out = debug_char(b, /*nul_as_unicode=*/true);
    char hex[16];
    std::snprintf(hex, sizeof hex, " (0x%02x)", b);
    out += hex;
    return out;
}

std::string quoted_byte(uint8_t b) { return debug_char(b, /*nul_as_unicode=*/true); }

const char* expected_text(ParseErrorKind::Expected e) {
    using E = ParseErrorKind::Expected;
    switch (e) {
        case E::KeyOrClose: return "a string key or '}'";
        case E::Key: return "a string key";
        case E::Colon: return "':' after a key";
        case E::Value: return "a value";
        case E::ValueOrClose: return "a value or ']'";
        case E::CommaOrBrace: return "',' or '}' after a value";
        case E::CommaOrBracket: return "',' or ']' after a value";
    }
    return "";
}

}  // namespace

std::string ParseErrorKind::to_string() const {
    std::string out = fixed_text();
    switch (compressed_) {
        case Compressed::No: break;
        case Compressed::Gzip:
            out += "; the input starts like gzip-compressed data (0x1f 0x8b): read it with "
                   "Source(..., compression=\"gzip\") or from a path ending in .gz";
            break;
        case Compressed::Zstd:
            out += "; the input starts like zstd-compressed data (0x28 0xb5 0x2f 0xfd): read it with "
                   "Source(..., compression=\"zstd\") or from a path ending in .zst";
            break;
    }
    return out;
}

std::string ParseErrorKind::fixed_text() const {
    switch (tag_) {
        case Tag::UnexpectedStructuralByte:
            return "expected a structural byte in the index, found " + byte_text(byte());
        case Tag::BadPendingToken:
            return "pending token starts with " + byte_text(byte()) + ", which begins neither a string nor an atom";
        case Tag::InvalidAtomStart: return "invalid atom starting with " + byte_text(byte());
        case Tag::InvalidAtomChar: return "invalid atom character " + byte_text(byte());
        case Tag::UnmatchedClose: return "closing bracket with no matching open";
        case Tag::MismatchedClose: return quoted_byte(byte()) + " closes a container of the other kind";
        case Tag::FrameStackUnderflow: return "DFA frame stack underflow";
        case Tag::UnterminatedString: return "input ended while a string was still open";
        case Tag::UnclosedContainers:
            return "input ended with " + std::to_string(count()) + " container" + (count() == 1 ? "" : "s") +
                   " still open";
        case Tag::TokenTooLarge:
            return "a single token exceeded the " + std::to_string(kTokenByteLimit) + "-byte limit";
        case Tag::NestingTooDeep:
            return "a matched value nested past the " + std::to_string(kNestingLimit) + "-container limit";
        case Tag::AtomOutsideContainer: return "atom outside any container";
        case Tag::ColonOutsideContainer: return "':' outside any container";
        case Tag::StringOutsideContainer: return "string outside any container";
        case Tag::UnexpectedToken: return std::string("expected ") + expected_text(expected()) + ", found " + byte_text(byte());
        case Tag::InvalidEscape: return "invalid escape character " + byte_text(byte()) + " in a string";
        case Tag::ByteOrderMark:
            return "the input starts with a UTF-8 byte-order mark (0xef 0xbb 0xbf), which JSON text does not allow";
    }
    return {};
}

}  // namespace jorvane::engine
