// Every variant writes through one file descriptor with a loop that retries
// interrupted writes and treats a write of zero bytes as a failure. The gzip
// member is framed here around raw deflate (zlib with negative window bits):
// a fixed 10-byte header (no name, modification time 0, extra flags 0,
// operating system 255), then the deflate stream, then the CRC-32 and the
// length of the uncompressed bytes, both little-endian. Compressed output
// goes through a 32 KiB buffer; plain output through an 8 KiB buffer that
// large writes bypass.
#include "ndjson/output_file.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "util/text.h"

namespace jorvane::ndjson {
namespace {

constexpr size_t kPlainBuffer = 8 * 1024;
constexpr size_t kCompressedBuffer = 32 * 1024;
constexpr int kGzipLevel = 6;
constexpr int kZstdLevel = 3;

class FileDescriptor {
public:
    FileDescriptor() = default;
    bool is_open() const { return fd_ >= 0; }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { (void)close(); }
    void reset(int fd) {
        (void)close();
        fd_ = fd;
    }

    Result<void, IoError> write_all(const void* data, size_t n) {
        auto* p = static_cast<const uint8_t*>(data);
        while (n > 0) {
            const ssize_t w = ::write(fd_, p, n);
            if (w < 0) {
                if (errno == EINTR) continue;
                return make_err(IoError::last_os_error());
            }
            if (w == 0) return make_err(IoError::custom(IoErrorKind::WriteZero, "failed to write whole buffer"));
            p += w;
            n -= static_cast<size_t>(w);
        }
        return {};
    }
    Result<void, IoError> close() {
        if (fd_ < 0) return {};
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) < 0 && errno != EINTR) return make_err(IoError::last_os_error());
        return {};
    }

private:
    int fd_ = -1;
};

}  // namespace

class OutputFile::Impl {
public:
    Impl() = default;
    virtual ~Impl() = default;
    // The file written from now on (the encoder exists before the file does).
    void attach(int fd) { file_.reset(fd); }
    bool attached() const { return file_.is_open(); }
    virtual Compression compression() const = 0;
    virtual Result<void, IoError> write_all(std::string_view bytes) = 0;
    virtual Result<void, IoError> flush() = 0;
    // Ends the output; the file is closed by the caller.
    virtual Result<void, IoError> end() = 0;
    Result<void, IoError> close() { return file_.close(); }

protected:
    FileDescriptor file_;
};

namespace {

class PlainOutput final : public OutputFile::Impl {
public:
    PlainOutput() { buffer_.reserve(kPlainBuffer); }
    ~PlainOutput() override { (void)flush(); }
    Compression compression() const override { return Compression::None; }

    Result<void, IoError> write_all(std::string_view bytes) override {
        if (buffer_.size() + bytes.size() > kPlainBuffer) {
            if (auto r = flush(); !r) return r;
        }
        if (bytes.size() >= kPlainBuffer) return file_.write_all(bytes.data(), bytes.size());
        buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
        return {};
    }
    Result<void, IoError> flush() override {
        if (buffer_.empty()) return {};
        // The buffer is given up even when the write fails, so that an output
        // dropped after a failure does not write its bytes a second time.
        std::vector<char> pending;
        pending.swap(buffer_);
        buffer_.reserve(kPlainBuffer);
        return file_.write_all(pending.data(), pending.size());
    }
    Result<void, IoError> end() override { return flush(); }

private:
    std::vector<char> buffer_;
};

class GzipOutput final : public OutputFile::Impl {
public:
    // The encoder: raw deflate at level 6, set up in place (zlib's stream
    // state points back at its z_stream, which therefore never moves).
    static Result<std::unique_ptr<GzipOutput>, std::string> make() {
        auto output = std::make_unique<GzipOutput>();
        const int rc = deflateInit2(&output->z_, kGzipLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
        if (rc != Z_OK) return make_err(std::string(rc == Z_MEM_ERROR ? "out of memory" : "cannot initialise deflate"));
        output->initialised_ = true;
        return output;
    }
    GzipOutput() : out_(kCompressedBuffer) {}
    GzipOutput(const GzipOutput&) = delete;
    GzipOutput& operator=(const GzipOutput&) = delete;
    ~GzipOutput() override {
        if (!initialised_) return;
        if (!ended_ && attached()) (void)end();
        deflateEnd(&z_);
    }
    Compression compression() const override { return Compression::Gzip; }

    Result<void, IoError> write_all(std::string_view bytes) override {
        if (auto r = header(); !r) return r;
        crc_ = crc32_z(crc_, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size());
        length_ += bytes.size();
        return deflate_all(bytes, Z_NO_FLUSH);
    }
    Result<void, IoError> flush() override {
        if (auto r = header(); !r) return r;
        return deflate_all({}, Z_SYNC_FLUSH);
    }
    Result<void, IoError> end() override {
        ended_ = true;
        if (auto r = header(); !r) return r;
        if (auto r = deflate_all({}, Z_FINISH); !r) return r;
        const uint32_t crc = static_cast<uint32_t>(crc_);
        const auto size = static_cast<uint32_t>(length_);
        const uint8_t trailer[8] = {static_cast<uint8_t>(crc),        static_cast<uint8_t>(crc >> 8),
                                    static_cast<uint8_t>(crc >> 16),  static_cast<uint8_t>(crc >> 24),
                                    static_cast<uint8_t>(size),       static_cast<uint8_t>(size >> 8),
                                    static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24)};
        return file_.write_all(trailer, sizeof trailer);
    }

private:
    Result<void, IoError> header() {
        if (header_written_) return {};
        static constexpr uint8_t kHeader[10] = {0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff};
        header_written_ = true;
        return file_.write_all(kHeader, sizeof kHeader);
    }

    // Feeds `bytes` through deflate with `mode`, writing every full or final
    // output buffer to the file.
    Result<void, IoError> deflate_all(std::string_view bytes, int mode) {
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
        size_t remaining = bytes.size();
        for (;;) {
            const uInt piece = remaining > UINT32_MAX ? UINT32_MAX : static_cast<uInt>(remaining);
            z_.avail_in = piece;
            z_.next_out = out_.data();
            z_.avail_out = static_cast<uInt>(out_.size());
            const int rc = deflate(&z_, remaining > piece ? Z_NO_FLUSH : mode);
            remaining -= piece - z_.avail_in;
            if (rc == Z_STREAM_ERROR) return make_err(IoError::custom(IoErrorKind::Other, "deflate stream error"));
            const size_t produced = out_.size() - z_.avail_out;
            if (produced) {
                if (auto r = file_.write_all(out_.data(), produced); !r) return r;
            }
            if (mode == Z_FINISH) {
                if (rc == Z_STREAM_END) return {};
                continue;
            }
            // Done once all input is taken and deflate had room to spare.
            if (remaining == 0 && z_.avail_in == 0 && z_.avail_out != 0) return {};
        }
    }

    z_stream z_{};
    std::vector<Bytef> out_;
    uLong crc_ = crc32_z(0, nullptr, 0);
    uint64_t length_ = 0;
    bool header_written_ = false;
    bool ended_ = false;
    bool initialised_ = false;
};

struct ZstdContextFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
using ZstdContext = std::unique_ptr<ZSTD_CCtx, ZstdContextFree>;

class ZstdOutput final : public OutputFile::Impl {
public:
    explicit ZstdOutput(ZstdContext context) : cctx_(std::move(context)), out_(kCompressedBuffer) {}
    Compression compression() const override { return Compression::Zstd; }

    // A compression context at level 3 without a dictionary, or the
    // library's error text.
    static Result<ZstdContext, std::string> make_context() {
        ZstdContext c(ZSTD_createCCtx());
        if (!c) return make_err(std::string("out of memory"));
        const size_t rc = ZSTD_CCtx_setParameter(c.get(), ZSTD_c_compressionLevel, kZstdLevel);
        if (ZSTD_isError(rc)) return make_err(std::string(ZSTD_getErrorName(rc)));
        return c;
    }

    Result<void, IoError> write_all(std::string_view bytes) override { return compress(bytes, ZSTD_e_continue); }
    Result<void, IoError> flush() override { return compress({}, ZSTD_e_flush); }
    Result<void, IoError> end() override { return compress({}, ZSTD_e_end); }

private:
    Result<void, IoError> compress(std::string_view bytes, ZSTD_EndDirective mode) {
        ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
        for (;;) {
            ZSTD_outBuffer out{out_.data(), out_.size(), 0};
            const size_t pending = ZSTD_compressStream2(cctx_.get(), &out, &in, mode);
            if (ZSTD_isError(pending)) return make_err(IoError::custom(IoErrorKind::Other, ZSTD_getErrorName(pending)));
            if (out.pos) {
                if (auto r = file_.write_all(out_.data(), out.pos); !r) return r;
            }
            if (mode == ZSTD_e_continue) {
                if (in.pos == in.size) return {};
                continue;
            }
            if (pending == 0) return {};
            if (out.pos == 0) return make_err(IoError::custom(IoErrorKind::Other, "incomplete frame"));
        }
    }

    ZstdContext cctx_;
    std::vector<char> out_;
};

}  // namespace

Result<OutputFile, std::string> OutputFile::create(const std::string& path, Compression compression) {
    std::unique_ptr<Impl> impl;
    switch (file_compression(compression, path)) {
        case Compression::None:
        case Compression::Unset: impl = std::make_unique<PlainOutput>(); break;
        case Compression::Gzip: {
            auto g = GzipOutput::make();
            if (!g) return make_err("gzip encoder: " + g.error());
            impl = std::move(g.value());
            break;
        }
        case Compression::Zstd: {
            auto c = ZstdOutput::make_context();
            if (!c) return make_err("zstd encoder: " + c.error());
            impl = std::make_unique<ZstdOutput>(std::move(c.value()));
            break;
        }
    }
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const IoError error = IoError::last_os_error();
        return make_err("cannot create " + debug_quote(path) + ": " + error.to_string());
    }
    impl->attach(fd);
    return OutputFile(std::move(impl));
}

OutputFile::OutputFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
OutputFile::OutputFile(OutputFile&&) noexcept = default;
OutputFile& OutputFile::operator=(OutputFile&&) noexcept = default;
OutputFile::~OutputFile() = default;

Compression OutputFile::compression() const { return impl_->compression(); }

Result<void, IoError> OutputFile::write_all(std::string_view bytes) { return impl_->write_all(bytes); }

Result<void, IoError> OutputFile::flush() { return impl_->flush(); }

Result<void, IoError> OutputFile::finish() {
    std::unique_ptr<Impl> impl = std::move(impl_);
    auto ended = impl->end();
    auto closed = impl->close();
    if (!ended) return ended;
    return closed;
}

}  // namespace jorvane::ndjson
