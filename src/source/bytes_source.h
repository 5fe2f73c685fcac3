// BytesSource: input held in memory, handed out as 4 MiB slices without
// copying.
#pragma once

#include <cstdint>
#include <vector>

#include "source/source.h"

namespace jorvane {

class BytesSource final : public Source {
public:
    static constexpr uint64_t kBufferLen = 4194304;

    explicit BytesSource(std::vector<uint8_t> data) : data_(std::move(data)) {}

    BufferResult next_buffer() override;

private:
    std::vector<uint8_t> data_;
    uint64_t pos_ = 0;
};

}  // namespace jorvane
