// OutputFile: the output file of write_ndjson, plain or compressed as asked,
// by default as its name asks (compression_from_extension): gzip output is
// one gzip member (deflate level 6), Zstandard output one frame (level 3, no
// dictionary).
//
// An output file dropped without finish() leaves the file as a reader can
// best use it: plain output keeps every byte given to write_all; gzip output
// is finished into a complete member of those bytes; Zstandard output keeps
// the compressed bytes already written, without the end of the frame (a
// reader reports a truncated frame).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "source/compression.h"
#include "source/io_error.h"
#include "util/result.h"

namespace jorvane::ndjson {

class OutputFile {
public:
    // Makes the encoder for `compression` (Unset: as the name's extension
    // says), then creates (or truncates) the file with permissions 0666 less
    // the umask. On failure nothing is created and the message says why:
    // "zstd encoder: {}" or "cannot create {:?}: {}".
    static Result<OutputFile, std::string> create(const std::string& path, Compression compression);

    OutputFile(OutputFile&&) noexcept;
    OutputFile& operator=(OutputFile&&) noexcept;
    ~OutputFile();

    Result<void, IoError> write_all(std::string_view bytes);
    // Writes out everything buffered (a sync flush point for gzip, the end of
    // the current block for Zstandard).
    Result<void, IoError> flush();
    // Ends the output (the gzip trailer, the end of the Zstandard frame) and
    // closes the file. The file is spent either way.
    Result<void, IoError> finish();

    // Gzip, Zstd or None.
    Compression compression() const;

    class Impl;

private:
    explicit OutputFile(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace jorvane::ndjson
