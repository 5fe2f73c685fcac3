// JorvaneError: the one error type of the system, and the Incomplete record
// that the two input errors (ended early, malformed) carry.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/compiled_queries.h"
#include "engine/parse_error.h"
#include "engine/query_output.h"
#include "source/io_error.h"

namespace jorvane {

// Where and why the input ended early or was malformed.
struct Incomplete {
    // Lossy UTF-8 text of the input around the error (at most 64 bytes
    // either side; none for an error found after the last buffer).
    std::string context;
    // Per-query results up to the error; empty until attached.
    std::vector<engine::QueryOutput> partials;
    engine::ParseErrorKind kind;
    // Absolute byte offset of the error in the source.
    uint64_t offset = 0;
};

class JorvaneError {
public:
    enum class Kind : uint8_t { Compile = 0, Read, Write, InvalidInput, Shape, Incomplete, Corrupted };

    using CompileFailure = engine::CompileFailure;
    struct ReadFailure {
        IoError error;
        uint64_t source_index = 0;
    };
    struct WriteFailure {
        IoError error;
    };
    struct Message {
        std::string text;
    };

    // "failed to compile query {:?}: {}"
    static JorvaneError compile(CompileFailure failure);
    // "error reading source #{}: {}"
    static JorvaneError read(IoError error, uint64_t source_index);
    // "error writing output: {}"
    static JorvaneError write(IoError error);
    // "invalid input: {}"
    static JorvaneError invalid_input(std::string message);
    // "data does not fit the requested shape: {}"
    static JorvaneError shape(std::string message);
    // "input ended at byte {}: {}\n  near: {:?}", followed by "\n  partial
    // results are available via .recover()" when the record holds partial results.
    static JorvaneError incomplete(Incomplete record);
    // "malformed JSON at byte {}: {}\n  near: {:?}"
    static JorvaneError corrupted(Incomplete record);
    // Incomplete for the end-of-input kinds, Corrupted otherwise, with
    // `partials` as the partial results.
    static JorvaneError parse(engine::ParseError error, std::vector<engine::QueryOutput> partials = {});

    Kind kind() const { return static_cast<Kind>(v_.index()); }

    // The variant's data; null when the error is of another kind.
    const ReadFailure* read_failure() const { return std::get_if<1>(&v_); }
    const WriteFailure* write_failure() const { return std::get_if<2>(&v_); }
    // The text of InvalidInput and Shape.
    const std::string* message() const;
    // The record of Incomplete and Corrupted.
    const Incomplete* record() const;
    Incomplete* record();

    // Incomplete and Corrupted get `partials` as their partial results (the
    // old ones are released); any other error is returned unchanged.
    JorvaneError with_partials(std::vector<engine::QueryOutput> partials) &&;

    std::string to_string() const;

private:
    using Repr = std::variant<CompileFailure, ReadFailure, WriteFailure, Message, Message, Incomplete, Incomplete>;
    explicit JorvaneError(Repr v) : v_(std::move(v)) {}
    Repr v_;
};

}  // namespace jorvane
