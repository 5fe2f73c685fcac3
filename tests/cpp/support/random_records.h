// Random JSON records for the tests that scan a file in ranges: NDJSON with
// nulls, nested values and keys drawn from a wide set (more paths and values
// than a small distinct cap), pretty-printed records among them, and the
// whole document broken at a random place. Files on disk come and go with a
// TempFile, and are read as a mapped file or as sequential input.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "source/mapped_file.h"
#include "source/memory_reader.h"
#include "source/read_source.h"
#include "util/panic.h"

namespace jorvane::testing {

class RandomRecords {
public:
    explicit RandomRecords(uint64_t seed) : rng_(seed) {}
    size_t below(size_t n) { return rng_() % n; }

    // `shape` 0: one record per line; 1: some records pretty-printed; 2: one
    // pretty-printed array of records.
    std::string document(int shape, size_t records) {
        std::string s = shape == 2 ? "[\n" : "";
        for (size_t i = 0; i < records; ++i) {
            const bool pretty = shape == 2 || (shape == 1 && below(4) == 0);
            if (shape == 2 && i) s += ",\n";
            s += below(10) == 0 ? "[" + value(1, pretty) + "]" : object(0, pretty);
            if (shape != 2) s += below(6) == 0 ? " \n" : "\n";
        }
        return shape == 2 ? s + "\n]\n" : s;
    }

    // The document broken at a random place: cut short, a byte or piece put
    // in (a misspelled literal, an escape that is none), or bytes taken out.
    std::string broken(std::string doc) {
        const size_t at = below(doc.size());
        static const char* bad[] = {"]", "}", ",", "\"", "x", "\n", "1.", "{", "[", ":", "\x01", "tru", "\\q", "\\u1"};
        switch (below(3)) {
            case 0: return doc.substr(0, at);
            case 1: return doc.insert(at, bad[below(std::size(bad))]);
            default: return doc.erase(at, 1 + below(3));
        }
    }

private:
    std::string scalar() {
        switch (below(10)) {
            case 0: return "null";
            case 1: return below(2) ? "true" : "false";
            case 2: return R"("q\"u\\o\n\u00e9")";
            case 3: return "\"" + std::to_string(below(50)) + "\"";
            case 4: return "\"" + std::string(below(12), 'x') + "\"";
            case 5: return std::to_string(below(1000)) + ".5";
            default: return std::to_string(static_cast<int64_t>(below(60)) - 10);
        }
    }
    std::string key() {
        static const char* keys[] = {"a", "b", "c", "a.b", "d e", "\\u0041", ""};
        if (below(5) == 0) return "k" + std::to_string(below(40));  // many paths
        return keys[below(7)];
    }
    std::string value(int depth, bool pretty) {
        const size_t pick = depth > 3 ? 9 : below(10);
        if (pick < 2) {
            const std::string nl = pretty ? "\n" + std::string(static_cast<size_t>(depth + 1) * 2, ' ') : "";
            std::string s = "[";
            const size_t n = below(4);
            for (size_t i = 0; i < n; ++i) s += (i ? "," : "") + nl + value(depth + 1, pretty);
            return s + (pretty && n ? "\n" : "") + "]";
        }
        if (pick < 4) return object(depth + 1, pretty);
        return scalar();
    }
    std::string object(int depth, bool pretty) {
        const std::string nl = pretty ? "\n" + std::string(static_cast<size_t>(depth + 1) * 2, ' ') : "";
        std::string s = "{";
        const size_t n = below(5);
        for (size_t i = 0; i < n; ++i) s += (i ? ", " : "") + nl + "\"" + key() + "\": " + value(depth, pretty);
        return s + (pretty && n ? "\n" : "") + "}";
    }

    std::mt19937_64 rng_;
};

// For each seed from `first` up to `last` (excluded), a document of shape
// `seed % 3`, whole or (`broken`) broken, handed to `check(doc, label)`;
// stops at the first failure.
template <class Check>
void check_random_documents(uint64_t first, uint64_t last, bool broken, Check&& check) {
    for (uint64_t seed = first; seed < last; ++seed) {
        RandomRecords g(seed);
        const size_t records = 20 + g.below(broken ? 30 : 40);
        std::string doc = g.document(static_cast<int>(seed % 3), records);
        check(broken ? g.broken(std::move(doc)) : doc, "seed " + std::to_string(seed));
        if (::testing::Test::HasFailure()) return;
    }
}

// A file removed at the end of the test.
class TempFile {
public:
    explicit TempFile(const std::string& text) {
        char tmpl[] = "/tmp/jorvane-ranges-XXXXXX";
        const int fd = mkstemp(tmpl);
        if (fd < 0) panic("mkstemp");
        path_ = tmpl;
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n <= 0) panic("write");
            done += static_cast<size_t>(n);
        }
        ::close(fd);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() { ::unlink(path_.c_str()); }
    const std::string& path() const { return path_; }
    // Cuts the file to `size` bytes, as another process might under a scan.
    void shrink_to(uint64_t size) const {
        if (::truncate(path_.c_str(), static_cast<off_t>(size)) != 0) panic("truncate");
    }

private:
    std::string path_;
};

// `file` read in place on a grid of `grid` bytes; the file outlives it.
inline std::unique_ptr<Source> mapped(const MappedFile& file, size_t grid) {
    return std::make_unique<MappedFileSource>(std::shared_ptr<const MappedFile>(std::shared_ptr<void>(), &file), grid);
}

// `doc` as sequential input on a grid of `buffer` bytes (a decoder's output).
inline std::unique_ptr<Source> sequential(const std::string& doc, size_t buffer) {
    return std::make_unique<ReadSource>(std::make_unique<MemoryReader>(std::vector<uint8_t>(doc.begin(), doc.end())),
                                        buffer);
}

}  // namespace jorvane::testing
