#include "dfa_core/syntax_error.h"

#include "dfa_core/utf8.h"

namespace jorvane::dfa_core {

std::pair<size_t, size_t> line_and_column(std::string_view text, size_t position) {
    size_t line = 1;
    size_t column = 1;
    size_t i = 0;
    while (i < position) {
        const char c = text[i];
        if (c == '\r' && i + 1 < position && text[i + 1] == '\n') {
            ++line;
            column = 1;
            i += 2;
        } else if (c == '\n') {
            ++line;
            column = 1;
            i += 1;
        } else {
            ++column;
            i += utf8_at(text, i).length;
        }
    }
    return {line, column};
}

std::string expected_message(const std::vector<grammar::Rule>& expected) {
    if (expected.empty()) return "unknown parsing error";
    std::string out = "expected ";
    const size_t n = expected.size();
    if (n == 1) {
        out += grammar::rule_name(expected[0]);
    } else if (n == 2) {
        out += grammar::rule_name(expected[0]);
        out += " or ";
        out += grammar::rule_name(expected[1]);
    } else {
        for (size_t i = 0; i + 1 < n; ++i) {
            if (i > 0) out += ", ";
            out += grammar::rule_name(expected[i]);
        }
        out += ", or ";
        out += grammar::rule_name(expected[n - 1]);
    }
    return out;
}

namespace {

// The text of the line holding `position`, its line feed included.
std::string_view line_of(std::string_view text, size_t position) {
    if (text.empty()) return text;
    size_t start = 0;
    for (size_t i = position; i > 0; --i) {
        if (text[i - 1] == '\n') {
            start = i;
            break;
        }
    }
    size_t end = text.size();
    for (size_t i = position; i < text.size(); ++i) {
        if (text[i] == '\n') {
            end = i + 1;
            break;
        }
    }
    return text.substr(start, end - start);
}

}  // namespace

std::string render_syntax_error(std::string_view text, size_t position, const std::vector<grammar::Rule>& expected) {
    const auto [line_no, column] = line_and_column(text, position);
    const std::string_view raw_line = line_of(text, position);

    // When the failure sits on a line break, the breaks of the shown line
    // are made visible; otherwise they are dropped.
    const bool on_break = position < text.size() && (text[position] == '\n' || text[position] == '\r');
    std::string line;
    for (const char c : raw_line) {
        if (c == '\r') {
            if (on_break) line += "\xE2\x90\x8D";  // U+240D
        } else if (c == '\n') {
            if (on_break) line += "\xE2\x90\x8A";  // U+240A
        } else {
            line += c;
        }
    }

    const std::string number = std::to_string(line_no);
    const std::string gutter(number.size(), ' ');

    std::string underline;
    size_t taken = 0;
    for (size_t i = 0; i < line.size() && taken + 1 < column; ++taken) {
        underline += line[i] == '\t' ? '\t' : ' ';
        i += utf8_at(line, i).length;
    }
    underline += "^---";

    std::string out;
    out += gutter + "--> " + number + ":" + std::to_string(column) + "\n";
    out += gutter + " |\n";
    out += number + " | " + line + "\n";
    out += gutter + " | " + underline + "\n";
    out += gutter + " |\n";
    out += gutter + " = " + expected_message(expected);
    return out;
}

}  // namespace jorvane::dfa_core
