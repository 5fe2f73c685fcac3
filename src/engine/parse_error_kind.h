// ParseErrorKind: the scanner's structural error kinds, each with a fixed
// message. Kinds 7 and 8 mean the input ended early; every other kind means
// malformed input.
//
// UnexpectedToken names a token that stands where the grammar of its
// container wants another (a missing or extra comma or colon, a key that is
// not a string) by its first byte and by what was expected there.
//
// ByteOrderMark is the stray byte that begins a source when it opens a UTF-8
// byte-order mark (EF BB BF): said as such, since an editor may add one
// that its user never sees. The same bytes later in the text are an
// ordinary stray byte.
//
// A source that opens with the magic of gzip or zstd data is compressed
// data read as it is: the error at its first byte keeps its kind, and its
// message adds how to read the source decoded, since that is almost always
// what was meant.
#pragma once

#include <cstdint>
#include <string>

namespace jorvane::engine {

// The largest token carried across buffers, and the deepest nesting of a
// captured value, as the messages state them.
inline constexpr uint64_t kTokenByteLimit = 67108864;
inline constexpr uint32_t kNestingLimit = 1000;

// The compressed format whose magic opens a source read as JSON.
enum class Compressed : uint8_t { No = 0, Gzip = 1, Zstd = 2 };

class ParseErrorKind {
public:
    enum class Tag : uint8_t {
        UnexpectedStructuralByte = 0,  // payload: the byte
        BadPendingToken = 1,           // payload: the byte
        InvalidAtomStart = 2,          // payload: the byte
        InvalidAtomChar = 3,           // payload: the byte
        UnmatchedClose = 4,
        MismatchedClose = 5,  // payload: the closing byte
        FrameStackUnderflow = 6,
        UnterminatedString = 7,
        UnclosedContainers = 8,  // payload: the number of open containers
        TokenTooLarge = 9,
        NestingTooDeep = 10,
        AtomOutsideContainer = 11,
        ColonOutsideContainer = 12,
        StringOutsideContainer = 13,
        UnexpectedToken = 14,  // payload: the byte, and what was expected (Expected) above it
        InvalidEscape = 15,    // payload: the byte that follows a backslash, or breaks its \u escape
        ByteOrderMark = 16,
    };

    // What a container wants at the place of an UnexpectedToken.
    enum class Expected : uint8_t {
        KeyOrClose = 0,      // an object just opened
        Key = 1,             // an object after ','
        Colon = 2,           // an object after a key
        Value = 3,           // an object after ':', an array after ','
        ValueOrClose = 4,    // an array just opened
        CommaOrBrace = 5,    // an object after a member's value
        CommaOrBracket = 6,  // an array after an element
    };

    constexpr ParseErrorKind() = default;
    constexpr explicit ParseErrorKind(Tag tag, uint32_t payload = 0) : tag_(tag), payload_(payload) {}

    static constexpr ParseErrorKind unexpected_structural_byte(uint8_t b) { return ParseErrorKind(Tag::UnexpectedStructuralByte, b); }
    static constexpr ParseErrorKind bad_pending_token(uint8_t b) { return ParseErrorKind(Tag::BadPendingToken, b); }
    static constexpr ParseErrorKind invalid_atom_start(uint8_t b) { return ParseErrorKind(Tag::InvalidAtomStart, b); }
    static constexpr ParseErrorKind invalid_atom_char(uint8_t b) { return ParseErrorKind(Tag::InvalidAtomChar, b); }
    static constexpr ParseErrorKind unmatched_close() { return ParseErrorKind(Tag::UnmatchedClose); }
    static constexpr ParseErrorKind mismatched_close(uint8_t b) { return ParseErrorKind(Tag::MismatchedClose, b); }
    static constexpr ParseErrorKind frame_stack_underflow() { return ParseErrorKind(Tag::FrameStackUnderflow); }
    static constexpr ParseErrorKind unterminated_string() { return ParseErrorKind(Tag::UnterminatedString); }
    static constexpr ParseErrorKind unclosed_containers(uint32_t n) { return ParseErrorKind(Tag::UnclosedContainers, n); }
    static constexpr ParseErrorKind token_too_large() { return ParseErrorKind(Tag::TokenTooLarge); }
    static constexpr ParseErrorKind nesting_too_deep() { return ParseErrorKind(Tag::NestingTooDeep); }
    static constexpr ParseErrorKind atom_outside_container() { return ParseErrorKind(Tag::AtomOutsideContainer); }
    static constexpr ParseErrorKind colon_outside_container() { return ParseErrorKind(Tag::ColonOutsideContainer); }
    static constexpr ParseErrorKind string_outside_container() { return ParseErrorKind(Tag::StringOutsideContainer); }
    static constexpr ParseErrorKind unexpected_token(Expected wanted, uint8_t b) {
        return ParseErrorKind(Tag::UnexpectedToken, b | uint32_t{static_cast<uint8_t>(wanted)} << 8);
    }
    static constexpr ParseErrorKind invalid_escape(uint8_t b) { return ParseErrorKind(Tag::InvalidEscape, b); }
    static constexpr ParseErrorKind byte_order_mark() { return ParseErrorKind(Tag::ByteOrderMark); }
    // The same kind, found at the first byte of a source that opens like
    // `format` data: its message says how to read that.
    constexpr ParseErrorKind in_compressed_input(Compressed format) const {
        ParseErrorKind k = *this;
        k.compressed_ = format;
        return k;
    }

    constexpr Tag tag() const { return tag_; }
    // The byte of the byte-carrying kinds.
    constexpr uint8_t byte() const { return static_cast<uint8_t>(payload_); }
    // The count of UnclosedContainers.
    constexpr uint32_t count() const { return payload_; }
    // What UnexpectedToken expected.
    constexpr Expected expected() const { return static_cast<Expected>(payload_ >> 8); }
    // UnterminatedString and UnclosedContainers: the input ended early.
    constexpr bool is_end_of_input() const { return tag_ == Tag::UnterminatedString || tag_ == Tag::UnclosedContainers; }

    // The fixed message, with the advice for compressed data.
    std::string to_string() const;

    constexpr bool operator==(const ParseErrorKind&) const = default;

private:
    std::string fixed_text() const;

    Tag tag_ = Tag::UnexpectedStructuralByte;
    Compressed compressed_ = Compressed::No;
    uint32_t payload_ = 0;
};

}  // namespace jorvane::engine
