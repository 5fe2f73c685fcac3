// Lines: NDJSON lines gathered in one buffer, each followed by its "\n", so
// a batch goes to a file with one write and a line is a view into it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace jorvane::ndjson {

class Lines {
public:
    size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    // Line i without its newline.
    std::string_view line(size_t i) const {
        const size_t from = i == 0 ? 0 : ends_[i - 1] + 1;
        return std::string_view(text_).substr(from, ends_[i] - from);
    }
    // The offset in text() just past line i's newline.
    size_t next_start(size_t i) const { return ends_[i] + 1; }
    // Every line, each followed by "\n".
    const std::string& text() const { return text_; }
    // Keeps the first n lines only.
    void truncate(size_t n) {
        if (n >= ends_.size()) return;
        text_.resize(n == 0 ? 0 : ends_[n - 1] + 1);
        ends_.resize(n);
    }
    // Empties the batch, keeping its storage.
    void clear() {
        text_.clear();
        ends_.clear();
    }

    // Building a line: append its bytes to buffer(), then end_line().
    std::string& buffer() { return text_; }
    void end_line() {
        ends_.push_back(text_.size());
        text_ += '\n';
    }

private:
    std::string text_;
    std::vector<size_t> ends_;  // offset of each line's "\n"
};

}  // namespace jorvane::ndjson
