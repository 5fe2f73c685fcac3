// A plain file read through windows of its mapping: the same bytes in the
// same buffers as reading it, a file that grows or shrinks between buffers
// read as read(2) reads it, and a file truncated under a mapped window
// reported as a read failure instead of killing the process, whatever SIGBUS
// handlers other code installs before or during the window.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "source/file_reader.h"
#include "source/mapped_file.h"
#include "source/open_file.h"
#include "source/read_source.h"
#include "support/sample_inputs.h"

namespace jorvane::test {
namespace {

struct Drained {
    Bytes data;
    std::vector<size_t> sizes;
};

Drained drain_all(Source& src) {
    Drained d;
    for (;;) {
        auto r = src.next_buffer();
        EXPECT_TRUE(r.ok());
        if (!r.ok() || !r->has_value()) return d;
        d.sizes.push_back((*r)->size());
        d.data.insert(d.data.end(), (*r)->begin(), (*r)->end());
        EXPECT_FALSE(src.lost_buffer());
    }
}

TEST(MappedFile, SameBuffersAsReading) {
    TempDir dir;
    for (size_t n : {size_t{1}, size_t{4095}, size_t{4096}, size_t{3 * 4096 + 17}, size_t{200000}}) {
        const Bytes data = sample_bytes(n, static_cast<uint32_t>(n));
        const std::string path = dir.write("f" + std::to_string(n) + ".json", data);
        for (size_t buffer : {size_t{1}, size_t{7}, size_t{4096}, size_t{65536}}) {
            if (buffer == 1 && n > 4096) continue;
            auto file = MappedFile::open(path);
            ASSERT_TRUE(file.ok());
            MappedFileSource mapped(*file, buffer);
            auto reader = FileReader::open(path);
            ASSERT_TRUE(reader.ok());
            ReadSource read(std::move(*reader), buffer);
            const Drained a = drain_all(mapped);
            const Drained b = drain_all(read);
            EXPECT_EQ(a.data, data);
            EXPECT_EQ(a.sizes, b.sizes) << n << " / " << buffer;
        }
    }
}

TEST(MappedFile, OpenFileSourceMapsPlainFilesOnly) {
    TempDir dir;
    const std::string plain = dir.write("a.json", sample_bytes(100));
    const std::string empty = dir.write("e.json", {});
    auto a = open_file_source(plain, false, 4096, Compression::Unset);
    ASSERT_TRUE(a.ok());
    EXPECT_NE((*a)->mapped_file(), nullptr);
    EXPECT_EQ((*a)->buffer_grid(), 4096u);
    auto e = open_file_source(empty, false, 4096, Compression::Unset);
    ASSERT_TRUE(e.ok());
    EXPECT_EQ((*e)->mapped_file(), nullptr);
    auto missing = open_file_source(dir.path() + "/missing.json", false, 4096, Compression::Unset);
    EXPECT_FALSE(missing.ok());
}

TEST(MappedFile, GrowingAndShrinkingBetweenBuffersReadsAsReading) {
    TempDir dir;
    const Bytes data = sample_bytes(3 * 4096);
    const std::string path = dir.write("g.json", data);
    auto file = MappedFile::open(path);
    ASSERT_TRUE(file.ok());
    MappedFileSource src(*file, 4096);
    auto first = src.next_buffer();
    ASSERT_TRUE(first.ok() && first->has_value());
    // Grows: the new bytes are read too.
    {
        FILE* f = fopen(path.c_str(), "ab");
        ASSERT_NE(f, nullptr);
        const Bytes more = sample_bytes(5000, 9);
        fwrite(more.data(), 1, more.size(), f);
        fclose(f);
    }
    size_t total = (*first)->size();
    for (;;) {
        auto r = src.next_buffer();
        ASSERT_TRUE(r.ok());
        if (!r->has_value()) break;
        total += (*r)->size();
    }
    EXPECT_EQ(total, 3 * 4096 + 5000u);
    // Shrinks below where the reading stands: the input has ended.
    MappedFileSource again(*file, 4096);
    ASSERT_TRUE(again.next_buffer().ok());
    ASSERT_TRUE(again.next_buffer().ok());
    ASSERT_EQ(truncate(path.c_str(), 4096), 0);
    auto end = again.next_buffer();
    ASSERT_TRUE(end.ok());
    EXPECT_FALSE(end->has_value());
}

TEST(MappedFile, TruncatedUnderAMappedWindowIsAReadFailure) {
    TempDir dir;
    const Bytes data = sample_bytes(16 * 4096);
    const std::string path = dir.write("t.json", data);
    auto file = MappedFile::open(path);
    ASSERT_TRUE(file.ok());
    MappedFileSource src(*file, 16 * 4096);
    auto r = src.next_buffer();
    ASSERT_TRUE(r.ok() && r->has_value());
    const ByteView buffer = **r;
    ASSERT_EQ(truncate(path.c_str(), 4096), 0);
    // Touching the lost pages reads zeros instead of raising SIGBUS.
    unsigned sum = 0;
    for (size_t i = 0; i < buffer.size(); i += 512) sum += buffer[i];
    EXPECT_EQ(buffer[8 * 4096], 0);
    (void)sum;
    auto lost = src.lost_buffer();
    ASSERT_TRUE(lost.has_value());
    EXPECT_EQ(lost->kind(), IoErrorKind::UnexpectedEof);
    // The next window starts past the end: the input has ended.
    auto next = src.next_buffer();
    ASSERT_TRUE(next.ok());
    EXPECT_FALSE(next->has_value());
    EXPECT_FALSE(src.lost_buffer());
}

// ---- lost pages on several threads; SIGBUS handlers of other code ----

size_t page() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

// Maps a window of a fresh file of 16 pages, runs `meanwhile`, cuts the file
// to one page and reads the window: whether the page kept reads intact, the
// lost ones read as zeros and the window is reported lost.
bool window_survives_truncation(TempDir& dir, const std::string& name, void (*meanwhile)() = nullptr) {
    const size_t len = 16 * page();
    const Bytes data = sample_bytes(len);
    const std::string path = dir.write(name, data);
    auto file = MappedFile::open(path);
    if (!file.ok()) return false;
    MappedFileSource src(*file, len);
    auto r = src.next_buffer();
    if (!r.ok() || !r->has_value()) return false;
    if (meanwhile) meanwhile();
    if (truncate(path.c_str(), static_cast<off_t>(page())) != 0) return false;
    const volatile uint8_t* bytes = (*r)->data();
    uint8_t past_end = 0;
    for (size_t i = page(); i < len; i += 512) past_end |= bytes[i];
    return past_end == 0 && std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(page()), (*r)->begin()) &&
           src.lost_buffer().has_value();
}

TEST(MappedFile, ALostPageStaysWithItsFile) {
    // Threads that lose a page of one file, then read intact files through
    // the same guard slots: nothing of the loss may carry over.
    const Bytes intact = sample_bytes(50 * 4096 + 100, 5);
    for (size_t threads : {size_t{1}, size_t{6}}) {
        std::vector<std::thread> running;
        for (size_t t = 0; t < threads; ++t) {
            running.emplace_back([&] {
                TempDir dir;
                const std::string good = dir.write("good", intact);
                for (int round = 0; round < 3; ++round) {
                    EXPECT_TRUE(window_survives_truncation(dir, "lost" + std::to_string(round)));
                    auto file = MappedFile::open(good);
                    ASSERT_TRUE(file.ok());
                    MappedFileSource src(*file, 16 * page());
                    EXPECT_EQ(drain_all(src).data, intact);  // (checks no buffer is lost)
                }
            });
        }
        for (auto& t : running) t.join();
    }
}

// A library's own mapping guard: counts its faults, maps zeros over the page.
std::atomic<int> g_guard_faults{0};
void other_guard(int, siginfo_t* info, void*) {
    ++g_guard_faults;
    const uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr) & ~(page() - 1);
    mmap(reinterpret_cast<void*>(at), page(), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
}
// Reports, puts back the handler it replaced and raises the signal again
// (what Python's faulthandler does).
struct sigaction g_reporter_replaced {};
std::atomic<int> g_reports{0};
void reporter(int sig) {
    ++g_reports;
    (void)!write(2, "reported\n", 9);
    sigaction(sig, &g_reporter_replaced, nullptr);
    raise(sig);
}
// Switched off by its owner: returns at once (and ends the process rather
// than spin should the fault keep coming back).
std::atomic<int> g_ignored{0};
void switched_off(int) {
    if (++g_ignored > 100) _exit(3);
}
void oldest(int) { _exit(42); }

void install(void (*fn)(int), struct sigaction* replaced = nullptr, void (*info_fn)(int, siginfo_t*, void*) = nullptr) {
    struct sigaction act {};
    if (info_fn) act.sa_sigaction = info_fn;
    else act.sa_handler = fn;
    act.sa_flags = info_fn ? SA_SIGINFO : SA_NODEFER | SA_ONSTACK;
    sigemptyset(&act.sa_mask);
    sigaction(SIGBUS, &act, replaced);
}

// A mapping of four pages nobody of ours guards, its file then cut to one
// page (and removed): the byte returned faults outside our windows.
const volatile uint8_t* foreign_lost_byte(TempDir& dir) {
    const std::string path = dir.write("foreign", sample_bytes(4 * page()));
    const int fd = ::open(path.c_str(), O_RDONLY);
    void* map = mmap(nullptr, 4 * page(), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED || truncate(path.c_str(), static_cast<off_t>(page())) != 0) return nullptr;
    return static_cast<const volatile uint8_t*>(map) + 2 * page() + 7;
}

TEST(MappedFile, HandlersOfOtherCodeLeaveOurFaultsToUsAndGetTheirOwn) {
    // Each case in a process of its own: a handler, once installed, stays.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(_exit([] {
                    TempDir dir;
                    // Installed while our first window is mapped, the reporter
                    // sees its fault first and raises it again without an
                    // address: the read goes on over zeros.
                    if (!window_survives_truncation(dir, "a", [] { install(reporter, &g_reporter_replaced); }) ||
                        g_reports != 1)
                        return 10;
                    // Installed between windows: our next window goes back in
                    // front and leaves them none of its faults.
                    install(nullptr, nullptr, other_guard);
                    if (!window_survives_truncation(dir, "b")) return 11;
                    install(switched_off);
                    if (!window_survives_truncation(dir, "c") || g_ignored + g_guard_faults != 0) return 12;
                    // Not ours: the newest handler returns without curing it,
                    // the one before cures it.
                    const volatile uint8_t* lost = foreign_lost_byte(dir);
                    return lost && *lost == 0 && g_ignored == 1 && g_guard_faults == 1 ? 0 : 13;
                }()),
                ::testing::ExitedWithCode(0), "reported");
    // A reporter installed over ours puts ours back and raises a fault not
    // ours again: after the report the handler before it all gets it, no
    // loop between the two.
    EXPECT_EXIT(
        {
            const volatile uint8_t* lost = nullptr;
            {
                TempDir dir;
                install(oldest);
                if (!window_survives_truncation(dir, "a")) _exit(10);
                install(reporter, &g_reporter_replaced);
                if (!window_survives_truncation(dir, "b")) _exit(11);
                lost = foreign_lost_byte(dir);
            }
            _exit(lost ? 12 + *lost : 11);
        },
        ::testing::ExitedWithCode(42), "reported");
}

}  // namespace
}  // namespace jorvane::test
