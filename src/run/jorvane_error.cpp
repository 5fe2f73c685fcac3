// The error variants and their texts.
#include "run/jorvane_error.h"

#include "util/text.h"

namespace jorvane {

JorvaneError JorvaneError::compile(CompileFailure failure) {
    return JorvaneError(Repr(std::in_place_index<0>, std::move(failure)));
}
JorvaneError JorvaneError::read(IoError error, uint64_t source_index) {
    return JorvaneError(Repr(std::in_place_index<1>, ReadFailure{std::move(error), source_index}));
}
JorvaneError JorvaneError::write(IoError error) {
    return JorvaneError(Repr(std::in_place_index<2>, WriteFailure{std::move(error)}));
}
JorvaneError JorvaneError::invalid_input(std::string message) {
    return JorvaneError(Repr(std::in_place_index<3>, Message{std::move(message)}));
}
JorvaneError JorvaneError::shape(std::string message) {
    return JorvaneError(Repr(std::in_place_index<4>, Message{std::move(message)}));
}
JorvaneError JorvaneError::incomplete(Incomplete record) {
    return JorvaneError(Repr(std::in_place_index<5>, std::move(record)));
}
JorvaneError JorvaneError::corrupted(Incomplete record) {
    return JorvaneError(Repr(std::in_place_index<6>, std::move(record)));
}

const std::string* JorvaneError::message() const {
    if (auto* m = std::get_if<3>(&v_)) return &m->text;
    if (auto* m = std::get_if<4>(&v_)) return &m->text;
    return nullptr;
}

const Incomplete* JorvaneError::record() const {
    if (auto* r = std::get_if<5>(&v_)) return r;
    return std::get_if<6>(&v_);
}

Incomplete* JorvaneError::record() {
    if (auto* r = std::get_if<5>(&v_)) return r;
    return std::get_if<6>(&v_);
}

JorvaneError JorvaneError::with_partials(std::vector<engine::QueryOutput> partials) && {
    if (Incomplete* r = record()) r->partials = std::move(partials);
    return std::move(*this);
}

std::string JorvaneError::to_string() const {
    std::string out;
    switch (kind()) {
        case Kind::Compile: {
            const auto& c = std::get<0>(v_);
            out = "failed to compile query ";
            append_debug_quote(out, c.query);
            out += ": ";
            out += c.error.to_string();
            break;
        }
        case Kind::Read: {
            const auto& r = std::get<1>(v_);
            out = "error reading source #" + std::to_string(r.source_index) + ": " + r.error.to_string();
            break;
        }
        case Kind::Write: out = "error writing output: " + std::get<2>(v_).error.to_string(); break;
        case Kind::InvalidInput: out = "invalid input: " + std::get<3>(v_).text; break;
        case Kind::Shape: out = "data does not fit the requested shape: " + std::get<4>(v_).text; break;
        case Kind::Incomplete:
        case Kind::Corrupted: {
            const Incomplete& r = *record();
            out = kind() == Kind::Incomplete ? "input ended at byte " : "malformed JSON at byte ";
            out += std::to_string(r.offset);
            out += ": ";
            out += r.kind.to_string();
            out += "\n  near: ";
            append_debug_quote(out, r.context, /*nul_as_unicode=*/true);
            // Only where there is something to recover: table-shaped runs keep no partial results.
            if (kind() == Kind::Incomplete && !r.partials.empty())
                out += "\n  partial results are available via .recover()";
            break;
        }
    }
    return out;
}

JorvaneError JorvaneError::parse(engine::ParseError error, std::vector<engine::QueryOutput> partials) {
    Incomplete record{error.context(), std::move(partials), error.kind, error.offset};
    return error.end_of_input() ? incomplete(std::move(record)) : corrupted(std::move(record));
}

}  // namespace jorvane
