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
#include "source_test_util.h"

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

// ---- several files, several threads ----

// Reads a bit of every page of `v` (the reads the scan would make).
unsigned touch(ByteView v) {
    unsigned sum = 0;
    for (size_t i = 0; i < v.size(); i += 512) sum += static_cast<const volatile uint8_t*>(v.data())[i];
    return sum;
}

// Maps the first window of `path`, truncates the file to one page under it
// and reads the window: zeros past the page, and the window reported lost.
void lose_a_page(const std::string& path, size_t len) {
    auto file = MappedFile::open(path);
    ASSERT_TRUE(file.ok());
    MappedFileSource src(*file, len);
    auto r = src.next_buffer();
    ASSERT_TRUE(r.ok() && r->has_value());
    ASSERT_EQ(truncate(path.c_str(), 4096), 0);
    touch(**r);
    EXPECT_EQ((**r)[len - 1], 0);
    EXPECT_TRUE(src.lost_buffer().has_value());
}

TEST(MappedFile, ALostPageStaysWithItsFile) {
    // A thread that lost a page of one file then reads intact files through
    // the same guard slots: nothing of the loss may carry over.
    const size_t len = 16 * 4096;
    const Bytes intact = sample_bytes(3 * len + 100, 5);
    for (size_t threads : {size_t{1}, size_t{6}}) {
        std::vector<std::thread> running;
        for (size_t t = 0; t < threads; ++t) {
            running.emplace_back([&] {
                TempDir dir;
                const std::string good = dir.write("good", intact);
                for (int round = 0; round < 3; ++round) {
                    lose_a_page(dir.write("lost" + std::to_string(round), sample_bytes(len)), len);
                    auto file = MappedFile::open(good);
                    ASSERT_TRUE(file.ok());
                    MappedFileSource src(*file, len);
                    EXPECT_EQ(drain_all(src).data, intact);  // (checks every buffer is not lost)
                }
            });
        }
        for (auto& t : running) t.join();
    }
}

// ---- SIGBUS handlers installed by other code ----
// Each runs in a process of its own: a handler, once installed, stays.

// Runs `body` in a child process, which exits with 0 when it returns "" and
// prints what it returned otherwise.
#define EXPECT_IN_CHILD(body)                                                 \
    do {                                                                      \
        GTEST_FLAG_SET(death_test_style, "threadsafe");                       \
        EXPECT_EXIT(                                                          \
            {                                                                 \
                const std::string failed = (body)();                          \
                fputs(failed.c_str(), stderr);                                \
                fflush(stderr);                                               \
                _exit(failed.empty() ? 0 : 1);                                \
            },                                                                \
            ::testing::ExitedWithCode(0), "");                                \
    } while (0)

size_t page() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

void say(const char* text) { (void)!write(2, text, strlen(text)); }

// The handler of a library with a mapping guard of its own: it counts its
// faults and maps zeros over the page.
std::atomic<int> g_guard_faults{0};
void other_guard(int, siginfo_t* info, void*) {
    ++g_guard_faults;
    const uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr) & ~(page() - 1);
    mmap(reinterpret_cast<void*>(at), page(), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
}

// A handler that reports the fault, puts back the handler it replaced and
// raises the signal again (what Python's faulthandler does).
struct sigaction g_reporter_replaced {};
std::atomic<int> g_reports{0};
void reporter(int sig) {
    ++g_reports;
    say("reported\n");
    sigaction(sig, &g_reporter_replaced, nullptr);
    raise(sig);
}

// A handler whose owner has switched it off: it returns at once. Should the
// fault keep coming back to it, the child ends instead of spinning.
std::atomic<int> g_ignored{0};
void switched_off(int) {
    if (++g_ignored > 100) _exit(3);
}

// The first handler of the process, which ends it.
void oldest(int) { _exit(42); }

void install(void (*handler)(int), struct sigaction* replaced = nullptr) {
    struct sigaction act {};
    act.sa_handler = handler;
    act.sa_flags = SA_NODEFER | SA_ONSTACK;
    sigemptyset(&act.sa_mask);
    sigaction(SIGBUS, &act, replaced);
}

void install_guard() {
    struct sigaction act {};
    act.sa_sigaction = other_guard;
    act.sa_flags = SA_SIGINFO;
    sigemptyset(&act.sa_mask);
    sigaction(SIGBUS, &act, nullptr);
}

// A mapping nobody of ours guards: a file of four pages, mapped whole, cut
// to one page (and removed). Reading the byte returned faults outside our
// windows; null when the mapping failed.
const volatile uint8_t* foreign_lost_byte(TempDir& dir) {
    const std::string path = dir.write("foreign", sample_bytes(4 * page()));
    const int fd = ::open(path.c_str(), O_RDONLY);
    void* map = mmap(nullptr, 4 * page(), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED || truncate(path.c_str(), static_cast<off_t>(page())) != 0) return nullptr;
    return static_cast<const volatile uint8_t*>(map) + 2 * page() + 7;
}

// A window of a fresh file, mapped (which puts our handler back in front),
// then the file cut to one page: whether reading the window gave zeros past
// that page and the window was reported lost, "" when so.
std::string window_survives_truncation(TempDir& dir, const std::string& name, void (*after_mapping)() = nullptr) {
    const size_t len = 16 * page();
    const Bytes data = sample_bytes(len);
    const std::string path = dir.write(name, data);
    auto file = MappedFile::open(path);
    if (!file.ok()) return "open failed\n";
    MappedFileSource src(*file, len);
    auto r = src.next_buffer();
    if (!r.ok() || !r->has_value()) return "no window\n";
    if (after_mapping) after_mapping();
    if (truncate(path.c_str(), static_cast<off_t>(page())) != 0) return "truncate failed\n";
    touch(**r);
    if (!std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(page()), (*r)->begin()))
        return "the page the file still holds changed\n";
    if ((**r)[len - 1] != 0) return "a lost page does not read as zeros\n";
    if (!src.lost_buffer()) return "the window was not reported lost\n";
    return "";
}

TEST(MappedFile, HandlersInstalledLaterStillLeaveOurFaultsToUs) {
    EXPECT_IN_CHILD([] {
        TempDir dir;
        if (auto e = window_survives_truncation(dir, "first"); !e.empty()) return e;
        // Installed after our first window: our next window goes in front,
        // takes its own faults and passes the others on.
        install_guard();
        if (auto e = window_survives_truncation(dir, "second"); !e.empty()) return e;
        if (g_guard_faults != 0) return std::string("the other guard saw a fault of ours\n");
        const volatile uint8_t* lost = foreign_lost_byte(dir);
        if (!lost || *lost != 0) return std::string("the foreign fault was not cured\n");
        if (g_guard_faults != 1) return std::string("the other guard did not get its fault\n");
        return std::string();
    });
}

TEST(MappedFile, AHandlerInstalledDuringAWindowRaisesItsFaultBackToUs) {
    EXPECT_IN_CHILD([] {
        TempDir dir;
        // The reporter sees the fault first, hands it back without an
        // address, and the read goes on over zeros.
        auto e = window_survives_truncation(dir, "w", [] { install(reporter, &g_reporter_replaced); });
        if (!e.empty()) return e;
        if (g_reports != 1) return std::string("the reporter did not run once\n");
        // What it put back is ours: the next window needs no one else.
        e = window_survives_truncation(dir, "v");
        return !e.empty() ? e : g_reports != 1 ? std::string("the reporter ran again\n") : std::string();
    });
}

TEST(MappedFile, FaultsNotOursGoBackThroughEveryReplacedHandler) {
    // A handler that returns without curing passes the fault to the one
    // before it.
    EXPECT_IN_CHILD([] {
        TempDir dir;
        install_guard();
        if (auto e = window_survives_truncation(dir, "a"); !e.empty()) return e;
        install(switched_off);
        if (auto e = window_survives_truncation(dir, "b"); !e.empty()) return e;
        const volatile uint8_t* lost = foreign_lost_byte(dir);
        if (!lost || *lost != 0) return std::string("the foreign fault was not cured\n");
        if (g_ignored != 1 || g_guard_faults != 1) return std::string("the fault did not pass each handler once\n");
        return std::string();
    });
    // A reporter installed over ours puts ours back and raises the fault
    // again: the report comes, then the handler before it all, not a loop
    // between the two.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const volatile uint8_t* lost = nullptr;
            {
                TempDir dir;
                install(oldest);
                if (!window_survives_truncation(dir, "a").empty()) _exit(10);
                install(reporter, &g_reporter_replaced);
                if (!window_survives_truncation(dir, "b").empty()) _exit(11);
                lost = foreign_lost_byte(dir);
            }
            if (lost) say(*lost == 0 ? "survived\n" : "read\n");
            _exit(12);
        },
        ::testing::ExitedWithCode(42), "reported");
}

}  // namespace
}  // namespace jorvane::test
