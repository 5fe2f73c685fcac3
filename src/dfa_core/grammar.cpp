// The query grammar as a hand-written PEG matcher.
//
// Each rule is one member function whose body mirrors the grammar: ordered
// choice is `||`, a sequence restores the position (and the pairs it emitted)
// when a later element fails, repetition is greedy and never gives back, and
// non-atomic rules skip whitespace between consecutive elements (also before
// an optional element and between repetitions).
//
// Pairs are collected as a flat queue of start/end tokens, truncated whenever
// a rule or sequence fails, and turned into a tree once the whole text has
// matched. Rules called inside an atomic rule emit nothing.
//
// Failure tracking (what a syntax error reports): every failed attempt of a
// rule made outside atomic context is noted at the position where the attempt
// started. A failure starting beyond the recording position moves it there
// and is recorded alone; one starting at the recording position replaces the
// records made there since it started, unless exactly one record was made in
// the meantime, which then stands for it; failures starting before the
// recording position are ignored. Literal characters are never recorded.
//
// Group nesting is bounded: opening a group deeper than kMaxGroupDepth
// abandons the whole match, so the matcher's recursion stays shallow on any
// input.
#include "dfa_core/grammar.h"

#include <algorithm>

#include "dfa_core/ast.h"
#include "dfa_core/utf8.h"
#include "util/json_escape.h"

namespace jorvane::dfa_core::grammar {

std::string_view rule_name(Rule rule) {
    switch (rule) {
        case Rule::EOI: return "EOI";
        case Rule::WHITESPACE: return "WHITESPACE";
        case Rule::reserved: return "reserved";
        case Rule::query: return "query";
        case Rule::disjunction: return "disjunction";
        case Rule::group: return "group";
        case Rule::sequence: return "sequence";
        case Rule::step: return "step";
        case Rule::modifier: return "modifier";
        case Rule::atom: return "atom";
        case Rule::field: return "field";
        case Rule::index: return "index";
        case Rule::range: return "range";
        case Rule::range_start: return "range_start";
        case Rule::range_end: return "range_end";
        case Rule::array_wildcard: return "array_wildcard";
        case Rule::field_wildcard: return "field_wildcard";
        case Rule::regex: return "regex";
        case Rule::unquoted_field: return "unquoted_field";
        case Rule::quoted_field: return "quoted_field";
        case Rule::string_inner: return "string_inner";
        case Rule::char_: return "char";
        case Rule::regex_char: return "regex_char";
        case Rule::number: return "number";
    }
    return "";
}

namespace {

bool is_whitespace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_reserved(unsigned char c) {
    switch (c) {
        case '.': case '|': case '*': case '?': case '[': case ']': case '(': case ')': case '/':
            return true;
        default:
            return false;
    }
}

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

class Matcher {
public:
    explicit Matcher(std::string_view text) : in_(text) {}

    Result<Pair, SyntaxError> run() {
        if (query()) {
            size_t i = 0;
            return build_pair(i);
        }
        SyntaxError err;
        if (aborted_) {
            err.nesting_too_deep = true;
            return make_err(std::move(err));
        }
        std::sort(attempts_.begin(), attempts_.end());
        attempts_.erase(std::unique(attempts_.begin(), attempts_.end()), attempts_.end());
        err.position = attempt_pos_;
        err.expected = std::move(attempts_);
        return make_err(std::move(err));
    }

private:
    struct Token {
        Rule rule;
        size_t pos;
        size_t partner;  // start token: index of its end token
    };

    // ---- matching primitives -------------------------------------------

    unsigned char peek(size_t at) const { return at < in_.size() ? static_cast<unsigned char>(in_[at]) : 0; }
    bool at_end() const { return pos_ >= in_.size(); }

    bool lit(char c) {
        if (!at_end() && in_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    void advance_char() { pos_ += utf8_at(in_, pos_).length; }

    // Implicit whitespace between the elements of a non-atomic rule.
    void skip() {
        if (atomic_) return;
        while (!at_end() && is_whitespace(peek(pos_))) ++pos_;
    }

    // A sequence: on failure the position and the emitted pairs go back.
    template <class F>
    bool seq(F&& body) {
        const size_t saved_pos = pos_;
        const size_t saved_queue = queue_.size();
        if (body()) return true;
        pos_ = saved_pos;
        queue_.resize(saved_queue);
        return false;
    }

    // `e*` where `e` restores its own position on failure: whitespace is
    // skipped before every repetition after the first, and given back when
    // that repetition fails.
    template <class F>
    void repeat(F&& element) {
        if (!element()) return;
        for (;;) {
            const size_t saved_pos = pos_;
            const size_t saved_queue = queue_.size();
            skip();
            if (!element()) {
                pos_ = saved_pos;
                queue_.resize(saved_queue);
                return;
            }
        }
    }

    template <class F>
    bool atomic(F&& body) {
        const bool saved = atomic_;
        atomic_ = true;
        const bool ok = body();
        atomic_ = saved;
        return ok;
    }

    size_t attempts_at(size_t at) const { return at == attempt_pos_ ? attempts_.size() : 0; }

    // A rule that yields a pair (outside atomic context) and whose failure is
    // tracked.
    template <class F>
    bool rule(Rule r, F&& body) {
        if (aborted_) return false;
        const size_t start = pos_;
        const size_t queue_index = queue_.size();
        const size_t record_index = start == attempt_pos_ ? attempts_.size() : 0;
        const size_t prior = attempts_at(start);
        const bool emits = !atomic_;
        if (emits) queue_.push_back({r, start, 0});
        if (body()) {
            if (emits) {
                queue_[queue_index].partner = queue_.size();
                queue_.push_back({r, pos_, queue_index});
            }
            return true;
        }
        if (!aborted_) track(r, start, record_index, prior);
        if (emits) queue_.resize(queue_index);
        return false;
    }

    void track(Rule r, size_t at, size_t record_index, size_t prior) {
        if (atomic_) return;
        const size_t now = attempts_at(at);
        // One record made by the rule's own parts says more than the rule.
        if (now > prior && now - prior == 1) return;
        if (at == attempt_pos_ && record_index < attempts_.size()) attempts_.resize(record_index);
        if (at > attempt_pos_) {
            attempts_.clear();
            attempt_pos_ = at;
        }
        if (at == attempt_pos_) attempts_.push_back(r);
    }

    // ---- the rules -------------------------------------------------------

    bool query() {
        return rule(Rule::query, [&] {
            return seq([&] {
                if (pos_ != 0) return false;  // start of input
                skip();
                disjunction();  // optional
                skip();
                return eoi();
            });
        });
    }

    bool eoi() {
        return rule(Rule::EOI, [&] { return at_end(); });
    }

    bool disjunction() {
        return rule(Rule::disjunction, [&] {
            return seq([&] {
                if (!sequence()) return false;
                skip();
                repeat([&] {
                    return seq([&] {
                        if (!lit('|')) return false;
                        skip();
                        return sequence();
                    });
                });
                return !aborted_;
            });
        });
    }

    bool group() {
        return rule(Rule::group, [&] {
            return seq([&] {
                if (!lit('(')) return false;
                if (group_depth_ >= kMaxGroupDepth) {
                    aborted_ = true;
                    return false;
                }
                ++group_depth_;
                skip();
                bool ok = disjunction();
                if (ok) {
                    skip();
                    ok = lit(')');
                }
                --group_depth_;
                return ok;
            });
        });
    }

    bool sequence() {
        return rule(Rule::sequence, [&] {
            return seq([&] {
                if (!step()) return false;
                skip();
                repeat([&] {
                    return seq([&] {
                        if (!lit('.')) return false;
                        skip();
                        return step();
                    });
                });
                return !aborted_;
            });
        });
    }

    bool step() {
        return rule(Rule::step, [&] {
            return seq([&] {
                if (!atom()) return false;
                skip();
                modifier();  // optional
                return !aborted_;
            });
        });
    }

    // A head and the accessors after it.
    template <class Head>
    bool head_with_accessors(Head&& head) {
        return seq([&] {
            if (!head()) return false;
            skip();
            repeat([&] { return accessor(); });
            return !aborted_;
        });
    }

    // Silent: the five step heads, first match wins.
    bool atom() {
        return head_with_accessors([&] { return field(); }) ||
               head_with_accessors([&] { return accessor(); }) ||
               head_with_accessors([&] { return field_wildcard(); }) ||
               head_with_accessors([&] { return regex(); }) || group();
    }

    bool accessor() { return index() || range() || array_wildcard(); }

    bool modifier() {
        return rule(Rule::modifier, [&] { return lit('*') || lit('?'); });
    }

    bool field() {
        return rule(Rule::field, [&] { return atomic([&] { return quoted_field() || unquoted_field(); }); });
    }

    bool index() {
        return rule(Rule::index, [&] {
            return seq([&] {
                if (!lit('[')) return false;
                skip();
                if (!number()) return false;
                skip();
                return lit(']');
            });
        });
    }

    bool range() {
        return rule(Rule::range, [&] {
            return seq([&] {
                if (!lit('[')) return false;
                skip();
                range_start();  // optional
                skip();
                if (!lit(':')) return false;
                skip();
                range_end();  // optional
                skip();
                return lit(']');
            });
        });
    }

    bool range_start() {
        return rule(Rule::range_start, [&] { return number(); });
    }

    bool range_end() {
        return rule(Rule::range_end, [&] { return number(); });
    }

    bool array_wildcard() {
        return rule(Rule::array_wildcard, [&] {
            return seq([&] {
                if (!lit('[')) return false;
                skip();
                if (!lit('*')) return false;
                skip();
                return lit(']');
            });
        });
    }

    bool field_wildcard() {
        return rule(Rule::field_wildcard, [&] { return lit('*'); });
    }

    bool regex() {
        return rule(Rule::regex, [&] {
            return atomic([&] {
                return seq([&] {
                    if (!lit('/')) return false;
                    while (regex_char()) {
                    }
                    return lit('/');
                });
            });
        });
    }

    // Only ever matched inside atomic rules: they emit no pairs and record
    // nothing, so they are plain character tests here.

    bool unquoted_field() {
        size_t p = pos_;
        while (p < in_.size()) {
            const unsigned char c = peek(p);
            if (is_reserved(c) || is_whitespace(c) || c == '"') break;
            p += utf8_at(in_, p).length;
        }
        if (p == pos_) return false;
        pos_ = p;
        return true;
    }

    bool quoted_field() {
        return seq([&] {
            if (!lit('"')) return false;
            while (char_()) {
            }
            return lit('"');
        });
    }

    bool char_() {
        if (at_end()) return false;
        const unsigned char c = peek(pos_);
        if (c != '"' && c != '\\') {
            advance_char();
            return true;
        }
        if (c != '\\' || pos_ + 1 >= in_.size()) return false;
        switch (peek(pos_ + 1)) {
            case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
                pos_ += 2;
                return true;
            case 'u':
                if (!read_hex4(in_, pos_ + 2)) return false;
                pos_ += 6;
                return true;
            default:
                return false;
        }
    }

    bool regex_char() {
        if (at_end()) return false;
        if (peek(pos_) == '\\' && peek(pos_ + 1) == '/') {
            pos_ += 2;
            return true;
        }
        if (peek(pos_) == '/') return false;
        advance_char();
        return true;
    }

    bool number() {
        return rule(Rule::number, [&] {
            return atomic([&] {
                const size_t from = pos_;
                while (!at_end() && is_digit(peek(pos_))) ++pos_;
                return pos_ > from;
            });
        });
    }

    // ---- pairs -------------------------------------------------------------

    // The pair whose start token is at `i`; leaves `i` past its end token.
    // Pairs nest a bounded number of levels (groups are bounded).
    Pair build_pair(size_t& i) const {
        const Token& open = queue_[i];
        const size_t close = open.partner;
        Pair pair;
        pair.rule = open.rule;
        pair.start = open.pos;
        pair.end = queue_[close].pos;
        pair.text = in_.substr(pair.start, pair.end - pair.start);
        ++i;
        while (i < close) pair.inner.push_back(build_pair(i));
        i = close + 1;
        return pair;
    }

    std::string_view in_;
    size_t pos_ = 0;
    bool atomic_ = false;
    size_t attempt_pos_ = 0;
    std::vector<Rule> attempts_;
    std::vector<Token> queue_;
    size_t group_depth_ = 0;
    bool aborted_ = false;
};

}  // namespace

Result<Pair, SyntaxError> QueryMatcher::parse(std::string_view text) {
    Matcher matcher(text);
    return matcher.run();
}

}  // namespace jorvane::dfa_core::grammar
