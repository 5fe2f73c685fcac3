// Inputs for the tests of sources and of what reads them: test data,
// compressors, readers with scripted behaviour, draining a source, and
// temporary directories.
#pragma once

#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "source/byte_reader.h"
#include "source/source.h"

namespace jorvane::test {

using Bytes = std::vector<uint8_t>;

// Somewhat compressible bytes that differ from position to position.
inline Bytes sample_bytes(size_t n, uint32_t seed = 1) {
    Bytes out(n);
    uint32_t x = seed * 2654435761u + 12345;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<uint8_t>((x >> 16) % 16 + 'a');
    }
    return out;
}

inline Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One gzip member made by zlib, with optional header fields.
struct GzipOptions {
    const char* name = nullptr;
    const char* comment = nullptr;
    std::string extra;
    bool header_crc = false;
    // When not 0, a block ends (a sync flush) after every `flush_every` bytes.
    size_t flush_every = 0;
};

inline Bytes gzip(const Bytes& data, const GzipOptions& opt = {}) {
    z_stream zs{};
    if (deflateInit2(&zs, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    gz_header head{};
    Bytes extra(opt.extra.begin(), opt.extra.end());
    head.name = reinterpret_cast<Bytef*>(const_cast<char*>(opt.name));
    head.comment = reinterpret_cast<Bytef*>(const_cast<char*>(opt.comment));
    if (!opt.extra.empty()) {
        head.extra = extra.data();
        head.extra_len = static_cast<uInt>(extra.size());
    }
    head.hcrc = opt.header_crc ? 1 : 0;
    head.os = 3;
    deflateSetHeader(&zs, &head);
    const size_t flushes = opt.flush_every ? data.size() / opt.flush_every + 1 : 0;
    Bytes out(deflateBound(&zs, data.size()) + 1024 + 8 * flushes + opt.extra.size() +
              (opt.name ? strlen(opt.name) : 0) + (opt.comment ? strlen(opt.comment) : 0));
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    for (size_t pos = 0; opt.flush_every && pos < data.size(); pos += opt.flush_every) {
        zs.next_in = const_cast<Bytef*>(data.data() + pos);
        zs.avail_in = static_cast<uInt>(std::min(opt.flush_every, data.size() - pos));
        if (deflate(&zs, Z_SYNC_FLUSH) != Z_OK) throw std::runtime_error("deflate");
    }
    if (!opt.flush_every) {
        zs.next_in = const_cast<Bytef*>(data.data());
        zs.avail_in = static_cast<uInt>(data.size());
    }
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

inline Bytes zstd(const Bytes& data, int level = 3) {
    Bytes out(ZSTD_compressBound(data.size()));
    size_t n = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), level);
    if (ZSTD_isError(n)) throw std::runtime_error("ZSTD_compress");
    out.resize(n);
    return out;
}

// Serves `data`, at most `max_read` bytes per call, then `error` (or 0).
class ScriptedReader final : public ByteReader {
public:
    ScriptedReader(Bytes data, size_t max_read) : data_(std::move(data)), max_read_(max_read) {}
    ScriptedReader(Bytes data, size_t max_read, const IoError& error)
        : data_(std::move(data)), max_read_(max_read) {
        error_.emplace(error);
    }

    Result<size_t, IoError> read(std::span<uint8_t> dest) override {
        ++calls;
        size_t n = std::min({dest.size(), data_.size() - pos_, max_read_});
        if (n == 0 && error_) return make_err(*error_);
        if (n > 0) std::memcpy(dest.data(), data_.data() + pos_, n);
        pos_ += n;
        return n;
    }
    int calls = 0;

private:
    Bytes data_;
    size_t pos_ = 0;
    size_t max_read_;
    std::optional<IoError> error_;
};

// Reads a whole source; the error text if one ends it.
struct Drained {
    Bytes data;
    std::vector<size_t> buffer_sizes;
    std::optional<std::string> error;
};

inline Drained drain(Source& src) {
    Drained d;
    for (;;) {
        auto r = src.next_buffer();
        if (!r) {
            d.error = r.error().to_string();
            return d;
        }
        if (!*r) return d;
        d.buffer_sizes.push_back((*r)->size());
        d.data.insert(d.data.end(), (*r)->begin(), (*r)->end());
    }
}

// Threads of this process right now.
inline int thread_count() {
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    if (!d) return -1;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n;
}

constexpr size_t kMiB = 1048576;

}  // namespace jorvane::test

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace jorvane::test {

// A directory removed with its files at the end of the test.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/jorvane-src-XXXXXX";
        if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
        path_ = tmpl;
    }
    ~TempDir() {
        for (auto& f : files_) ::unlink(f.c_str());
        ::rmdir(path_.c_str());
    }
    // Writes `data` to a file named `name` (raw bytes) and returns its path.
    std::string write(const std::string& name, const Bytes& data) {
        std::string p = path_ + "/" + name;
        FILE* f = fopen(p.c_str(), "wb");
        if (!f) throw std::runtime_error("fopen");
        if (!data.empty()) fwrite(data.data(), 1, data.size(), f);
        fclose(f);
        files_.push_back(p);
        return p;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::vector<std::string> files_;
};

}  // namespace jorvane::test
