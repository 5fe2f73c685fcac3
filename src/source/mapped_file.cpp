#include "source/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>

#include "source/file_reader.h"

namespace jorvane {
namespace {

size_t page_size() {
    const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<size_t>(page) : 4096;
}

}  // namespace

IoError file_shrank() { return IoError::custom(IoErrorKind::UnexpectedEof, "the file shrank while it was being read"); }

FileWindow::FileWindow(FileWindow&& other) noexcept
    : map_(std::exchange(other.map_, nullptr)),
      map_len_(std::exchange(other.map_len_, 0)),
      guard_(std::move(other.guard_)),
      bytes_(std::exchange(other.bytes_, ByteView())) {}

FileWindow& FileWindow::operator=(FileWindow&& other) noexcept {
    if (this != &other) {
        unmap();
        map_ = std::exchange(other.map_, nullptr);
        map_len_ = std::exchange(other.map_len_, 0);
        guard_ = std::move(other.guard_);
        bytes_ = std::exchange(other.bytes_, ByteView());
    }
    return *this;
}

FileWindow::~FileWindow() { unmap(); }

void FileWindow::unmap() {
    // The guard goes first: once the pages are unmapped, another thread may
    // map something else at the same addresses, whose faults must not be
    // taken for this window's.
    guard_ = MapGuard();
    if (map_) munmap(map_, map_len_);
    map_ = nullptr;
    map_len_ = 0;
    bytes_ = ByteView();
}

Result<std::shared_ptr<MappedFile>, IoError> MappedFile::open(std::string_view raw_path) {
    if (raw_path.find('\0') != std::string_view::npos)
        return make_err(IoError::custom(IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte"));
    const std::string path(raw_path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return make_err(IoError::last_os_error());
    return std::make_shared<MappedFile>(fd);
}

MappedFile::~MappedFile() {
    if (fd_ >= 0) ::close(fd_);
}

Result<uint64_t, IoError> MappedFile::size() const {
    struct stat st {};
    if (fstat(fd_, &st) != 0) return make_err(IoError::last_os_error());
    return static_cast<uint64_t>(st.st_size < 0 ? 0 : st.st_size);
}

bool MappedFile::regular() const {
    struct stat st {};
    return fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
}

Result<FileWindow, IoError> MappedFile::window(uint64_t offset, size_t len, std::vector<uint8_t>& spare) const {
    const size_t page = page_size();
    const uint64_t base = offset - offset % page;
    const size_t lead = static_cast<size_t>(offset - base);
    const size_t map_len = lead + len;
    void* map = mmap(nullptr, map_len, PROT_READ, MAP_SHARED | MAP_POPULATE, fd_, static_cast<off_t>(base));
    if (map == MAP_FAILED) return read_window(offset, len, spare);
    FileWindow w;
    w.map_ = map;
    w.map_len_ = map_len;
    w.guard_ = MapGuard(map, map_len, fd_, base);
    if (!w.guard_.active()) {
        w.unmap();
        return read_window(offset, len, spare);
    }
    w.bytes_ = ByteView(static_cast<const uint8_t*>(map) + lead, len);
    return w;
}

Result<FileWindow, IoError> MappedFile::read_window(uint64_t offset, size_t len, std::vector<uint8_t>& spare) const {
    if (spare.size() < len) spare.resize(len);
    size_t filled = 0;
    size_t longest = len;
    while (filled < len) {
        auto n = read_descriptor(fd_, std::span<uint8_t>(spare.data() + filled, len - filled), offset + filled,
                                 longest);
        if (!n) return make_err(std::move(n.error()));
        if (*n == 0) break;
        filled += *n;
    }
    FileWindow w;
    w.bytes_ = ByteView(spare.data(), filled);
    return w;
}

BufferResult MappedFileSource::next_buffer() {
    window_ = FileWindow();
    if (buffer_len_ == 0) return std::optional<ByteView>{};
    auto size = file_->size();
    if (!size) return make_err(std::move(size.error()));
    if (at_ >= *size) return std::optional<ByteView>{};
    const size_t len = static_cast<size_t>(std::min<uint64_t>(buffer_len_, *size - at_));
    auto w = file_->window(at_, len, spare_);
    if (!w) return make_err(std::move(w.error()));
    window_ = std::move(*w);
    if (window_.bytes().empty()) return std::optional<ByteView>{};
    at_ += window_.bytes().size();
    return std::optional<ByteView>{window_.bytes()};
}

std::optional<IoError> MappedFileSource::lost_buffer() const {
    if (window_.lost()) return file_shrank();
    return std::nullopt;
}

}  // namespace jorvane
