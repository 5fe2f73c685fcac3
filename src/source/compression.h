// Compression: how a source's bytes are decoded before scanning (and how an
// output file's are encoded), the names an option gives it by, the choice by
// file-name extension, and the decoder that undoes it. Nothing is ever
// recognised by its first bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "source/byte_reader.h"
#include "source/io_error.h"
#include "util/result.h"

namespace jorvane {

enum class Compression : uint8_t {
    Gzip = 0,
    Zstd = 1,
    None = 2,
    Unset = 255,  // no option given: decide by the file name when opening
};

// The canonical codec name: "gzip", "zstd" or "none" ("unset" for Unset).
const char* compression_name(Compression c);

// The compression an option text names: "gzip" or "gz", "zstd" or "zst",
// "none" or "raw", compared exactly; nothing for any other text.
std::optional<Compression> parse_compression(std::string_view text);

// The compression a file name asks for, comparing after folding ASCII
// capitals to lower case: ".gz" is Gzip, ".zst" and ".zstd" are Zstd,
// anything else None. `path` is the raw path bytes (need not be UTF-8).
Compression compression_from_extension(std::string_view path);

// The compression a file named `path` is read or written with: `option`
// when given, else as the name's extension says. Never Unset.
Compression file_compression(Compression option, std::string_view path);

// Whether `c` passes the bytes through a codec (Gzip or Zstd); None and
// Unset take them as they are.
bool is_compressed(Compression c);

// The reader of `input`'s bytes decoded as `c` says: a multi-member gzip
// decoder (which reads the first member's header now and holds a failure
// there for its first read), a Zstandard decoder without a dictionary, or
// `input` itself when `c` is not compressed. Fails only when the Zstandard
// library cannot make its decoder.
Result<std::unique_ptr<ByteReader>, IoError> make_decoder(Compression c, std::unique_ptr<ByteReader> input);

}  // namespace jorvane
