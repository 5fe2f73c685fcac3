// Every text of the shared syntax vectors: rejected texts must render their
// syntax error byte for byte; accepted texts must parse or be refused by tree
// building (never by the grammar).
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "dfa_core/ast.h"
#include "util/text.h"

namespace jorvane::dfa_core {
namespace {

struct Vector {
    std::string query;
    bool syntax_ok = false;
    std::optional<std::string> error;
};

// Reads the JSON string whose opening quote is at `i`; leaves `i` past the
// closing quote.
std::string read_json_string(const std::string& line, size_t& i) {
    EXPECT_EQ(line.at(i), '"');
    ++i;
    std::string out;
    auto hex4 = [&](size_t at) { return static_cast<uint32_t>(std::stoul(line.substr(at, 4), nullptr, 16)); };
    while (line.at(i) != '"') {
        char c = line[i++];
        if (c != '\\') {
            out += c;
            continue;
        }
        char e = line.at(i++);
        switch (e) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                uint32_t u = hex4(i);
                i += 4;
                if (u >= 0xD800 && u <= 0xDBFF && line.compare(i, 2, "\\u") == 0) {
                    uint32_t lo = hex4(i + 2);
                    i += 6;
                    u = 0x10000 + (u - 0xD800) * 0x400 + (lo - 0xDC00);
                }
                append_utf8(out, u);
                break;
            }
            default: out += e; break;  // \" \\ \/
        }
    }
    ++i;
    return out;
}

std::vector<Vector> load_vectors() {
    std::ifstream in(std::string(JORVANE_TEST_DATA_DIR) + "/vectors/query-syntax.jsonl");
    EXPECT_TRUE(in.good()) << "cannot open the syntax vectors";
    std::vector<Vector> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        Vector v;
        size_t q = line.find("\"query\":");
        size_t i = line.find('"', q + 8);
        v.query = read_json_string(line, i);
        v.syntax_ok = line.find("\"syntax_ok\": true") != std::string::npos;
        size_t e = line.find("\"error\":");
        if (e != std::string::npos) {
            size_t j = line.find('"', e + 8);
            v.error = read_json_string(line, j);
        }
        out.push_back(std::move(v));
    }
    return out;
}

bool is_syntax_error(const QueryParseError& e) {
    return e.kind() == QueryParseError::Kind::UnexpectedToken &&
           e.payload().find("--> ") != std::string::npos && e.payload().find(" = ") != std::string::npos;
}

TEST(QuerySyntaxVectors, RejectedTextsRenderExactly) {
    const auto vectors = load_vectors();
    ASSERT_GT(vectors.size(), 100u);
    size_t rejected = 0;
    for (const Vector& v : vectors) {
        if (v.syntax_ok) continue;
        ++rejected;
        ASSERT_TRUE(v.error.has_value()) << v.query;
        auto parsed = ast::Query::from_str(v.query);
        ASSERT_FALSE(parsed.ok()) << "accepted: " << v.query;
        EXPECT_EQ(parsed.error().to_string(), "Unexpected token: " + *v.error) << "query: " << v.query;
    }
    EXPECT_GT(rejected, 50u);
}

TEST(QuerySyntaxVectors, AcceptedTextsPassTheGrammar) {
    for (const Vector& v : load_vectors()) {
        if (!v.syntax_ok) continue;
        auto parsed = ast::Query::from_str(v.query);
        if (!parsed.ok()) {
            EXPECT_FALSE(is_syntax_error(parsed.error())) << v.query << " -> " << parsed.error().to_string();
            // The refusals of tree building: regex steps, names no key can
            // equal, oversized indices or range bounds.
            const auto kind = parsed.error().kind();
            EXPECT_TRUE(kind == QueryParseError::Kind::UnmatchableFieldName ||
                        kind == QueryParseError::Kind::IndexTooLarge ||
                        kind == QueryParseError::Kind::UnpairedSurrogate ||
                        kind == QueryParseError::Kind::UnexpectedToken)
                << v.query;
        }
    }
}

}  // namespace
}  // namespace jorvane::dfa_core
