// Compression: how the bytes of one source are decoded before scanning.
//
// The values are fixed (they travel as one byte): Gzip 0, Zstd 1, None 2, and
// Unset 255 when no compression was asked for, in which case a file's name
// decides and in-memory or file-like input is read as it is.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace jorvane {

enum class Compression : uint8_t {
    Gzip = 0,
    Zstd = 1,
    None = 2,
    Unset = 255,
};

// The option text accepted for a compression: "gzip"/"gz", "zstd"/"zst",
// "none"/"raw", compared exactly. Anything else gives nullopt.
std::optional<Compression> parse_compression(std::string_view text);

// The canonical name of Gzip, Zstd or None ("gzip", "zstd", "none"); "unset"
// for Unset.
const char* compression_name(Compression c);

// The compression implied by a file name: ".gz" is Gzip, ".zst" and ".zstd"
// are Zstd, ASCII case ignored; anything else is None.
Compression compression_from_extension(std::string_view path);

// `requested` unless it is Unset, else what the file name implies.
Compression compression_for_file(Compression requested, std::string_view path);

}  // namespace jorvane
