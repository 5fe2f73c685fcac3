// Compression: how a source's bytes are decoded before scanning, and the
// choice by file-name extension. Nothing is ever recognised by its first bytes.
#pragma once

#include <cstdint>
#include <string_view>

namespace jorvane {

enum class Compression : uint8_t {
    Gzip = 0,
    Zstd = 1,
    None = 2,
    Unset = 255,  // no option given: decide by the file name when opening
};

// The canonical codec name: "gzip", "zstd" or "none" ("unset" for Unset).
const char* compression_name(Compression c);

// The compression a file name asks for, comparing after folding ASCII
// capitals to lower case: ".gz" is Gzip, ".zst" and ".zstd" are Zstd,
// anything else None. `path` is the raw path bytes (need not be UTF-8).
Compression compression_from_extension(std::string_view path);

}  // namespace jorvane
