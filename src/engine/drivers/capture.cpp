// Recording and rebuilding captured containers.
//
// `materialize_next` reads the flat event list once with one event of
// lookahead. The walk refuses misplaced tokens (an object member without a
// value, a stray key in an array, a value where a key belongs) at the token,
// so a capture delivered whole never holds one; rebuilding does not rely on
// it and never aborts on them: a key without a value gives a member whose
// value is null, and a stray key in an array or a value where an object
// expects a key is passed over.
#include "engine/drivers/capture.h"

#include <algorithm>
#include <utility>

namespace jorvane::engine {

void buffer_if_capturing(std::vector<ActiveCapture>& captures, CapturedEvent::Kind kind, uint8_t is_object,
                         std::string_view bytes) {
    for (auto& c : captures) {
        if (kind == CapturedEvent::Open) {
            c.depth += 1;
        } else if (kind == CapturedEvent::Close) {
            c.depth -= 1;
        }
        if (c.recording) c.push(kind, is_object, bytes);
    }
}

bool capture_open(std::vector<ActiveCapture>& captures, uint8_t is_object) {
    bool too_deep = false;
    for (auto& c : captures) {
        c.depth += 1;
        if (c.depth > int64_t{kMaxCapturedNesting}) [[unlikely]] {
            // The scan fails here: what was recorded is let go.
            too_deep = true;
            c.recording = false;
            c.events = {};
            c.bytes = {};
            continue;
        }
        if (c.recording) c.push(CapturedEvent::Open, is_object, {});
    }
    return too_deep;
}

uint64_t nesting_room(const std::vector<ActiveCapture>& captures) {
    uint64_t room = UINT64_MAX;
    for (const auto& c : captures) {
        if (!keeps_value(c)) continue;
        const int64_t left = int64_t{kMaxCapturedNesting} - c.depth;
        room = std::min(room, static_cast<uint64_t>(std::max<int64_t>(left, 0)));
    }
    return room;
}

std::optional<MalformedValue> scalar_fault_slow(bool is_string, std::string_view bytes, uint64_t offset) {
    const std::optional<value::BadByte> bad = is_string ? value::escape_fault(bytes) : value::atom_fault(bytes);
    if (!bad) [[likely]]
        return std::nullopt;
    // A string's bytes begin after its opening quote.
    return MalformedValue{bad->kind, offset + bad->at + (is_string ? 1 : 0)};
}

std::optional<MalformedValue> capture_scalar(std::vector<ActiveCapture>& captures, bool is_string,
                                             std::string_view bytes, uint64_t offset) {
    if (is_string || atom_json_type(bytes) != JsonType::Number) {
        std::optional<MalformedValue> bad = scalar_fault(is_string, bytes, offset);
        if (bad && !note_malformed(captures, *bad)) bad.reset();
        buffer_if_capturing(captures, is_string ? CapturedEvent::String : CapturedEvent::Atom, 0, bytes);
        return bad;
    }
    const NumberReading n = number::read_json(bytes);
    if (n.malformed) [[unlikely]] {
        std::optional<MalformedValue> bad = MalformedValue{*n.malformed, offset + n.malformed_at};
        if (!note_malformed(captures, *bad)) bad.reset();
        buffer_if_capturing(captures, CapturedEvent::Atom, 0, bytes);
        return bad;
    }
    for (auto& c : captures)
        if (c.recording) c.push_number(n.view, bytes);
    return std::nullopt;
}

std::optional<MalformedValue> capture_key(std::vector<ActiveCapture>& captures, std::string_view key, uint64_t offset) {
    bool checks = false, records = false;
    for (const auto& c : captures) {
        checks |= c.checks_values;
        records |= c.recording;
    }
    std::optional<MalformedValue> bad;
    if (checks) {
        bad = scalar_fault(true, key, offset);
        if (bad) note_malformed(captures, *bad);
    }
    if (records) buffer_if_capturing(captures, CapturedEvent::Key, 0, key);
    return bad;
}

bool note_malformed(std::vector<ActiveCapture>& captures, const MalformedValue& m) {
    bool checks = false;
    for (auto& c : captures) {
        if (!c.checks_values) continue;
        checks = true;
        if (!c.malformed) c.malformed = m;
    }
    return checks;
}

std::optional<MalformedValue> check_scalar(std::vector<ActiveCapture>& captures, bool is_string, std::string_view bytes,
                                           uint64_t offset) {
    std::optional<MalformedValue> bad = scalar_fault(is_string, bytes, offset);
    if (bad && !note_malformed(captures, *bad)) bad.reset();
    return bad;
}

std::optional<Value> materialize_next(const ActiveCapture& cap, size_t& pos, uint32_t depth) {
    const auto& ev = cap.events;
    if (pos >= ev.size()) return Value();
    const CapturedEvent& e = ev[pos++];
    switch (e.kind) {
        case CapturedEvent::Atom:
            return value::from_atom(cap.event_bytes(e));
        case CapturedEvent::Number: {
            if (e.number == NumberView::Kind::Int) return Value::number(JsonNumber::from_int(e.int_value));
            NumberView n;
            n.kind = e.number;
            n.text = cap.event_bytes(e);
            return Value::number(JsonNumber::from_view(n));
        }
        case CapturedEvent::String:
            return Value::string(value::decode_json_string(cap.event_bytes(e)));
        case CapturedEvent::Key:
            // A key where a value belongs: the value is missing.
            return Value();
        case CapturedEvent::Close:
            return Value();
        case CapturedEvent::Open:
            break;
    }
    if (depth >= kMaxCapturedNesting) return std::nullopt;
    if (e.is_object) {
        Value::Object members;
        while (pos < ev.size()) {
            const CapturedEvent& next = ev[pos];
            if (next.kind == CapturedEvent::Close) {
                ++pos;
                break;
            }
            if (next.kind != CapturedEvent::Key) {
                // A value where a key belongs: passed over whole.
                if (!materialize_next(cap, pos, depth + 1)) return std::nullopt;
                continue;
            }
            ++pos;
            std::string key = value::decode_json_string(cap.event_bytes(next));
            std::optional<Value> member;
            if (pos < ev.size() && (ev[pos].kind == CapturedEvent::Key || ev[pos].kind == CapturedEvent::Close)) {
                member = Value();  // key without a value
            } else {
                member = materialize_next(cap, pos, depth + 1);
                if (!member) return std::nullopt;
            }
            members.push_back(Member{std::move(key), std::move(*member)});
        }
        return Value::object(std::move(members));
    }
    std::vector<Value> items;
    while (pos < ev.size()) {
        const CapturedEvent& next = ev[pos];
        if (next.kind == CapturedEvent::Close) {
            ++pos;
            break;
        }
        if (next.kind == CapturedEvent::Key) {
            ++pos;  // a stray key inside an array
            continue;
        }
        std::optional<Value> item = materialize_next(cap, pos, depth + 1);
        if (!item) return std::nullopt;
        items.push_back(std::move(*item));
    }
    return Value::array(std::move(items));
}

std::optional<Value> materialize(const ActiveCapture& capture) {
    size_t pos = 0;
    return materialize_next(capture, pos, 0);
}

}  // namespace jorvane::engine
