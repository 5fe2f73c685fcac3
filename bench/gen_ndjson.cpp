// Deterministic generator of realistic NDJSON for the benchmarks: one record
// per line, nested objects with ids, a user, 0 to 4 events each with
// `user.id`, free text with escapes and non-ASCII characters, integers,
// decimals with exponents, negative numbers, nulls and booleans.
//
// The pseudo-random source is our own (splitmix64) and every choice is made
// with integer arithmetic, so a seed and a size give the same bytes on every
// machine and every run.
//
//   gen_ndjson [--size N[K|M|G]] [--seed S] [--out PATH]
//
// Defaults: 1G (10^9 bytes; K, M, G are powers of ten), seed 1,
// bench/data/records.ndjson. Records are written while the output is shorter
// than the size, so the file ends with a whole record and a line feed and is
// at most one record longer than asked. A summary goes to standard error,
// with the number of `events[*].user.id` matches and the sum of the integer
// field `qty`, to check engine results against.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t n) { return next() % n; }
    bool chance(uint64_t percent) { return below(100) < percent; }
    template <size_t N>
    const char* pick(const char* const (&items)[N]) {
        return items[below(N)];
    }

private:
    uint64_t state_;
};

const char* const kFirstNames[] = {"Ana", "Bruno", "Chen", "Dara", "Emeka", "Fatima", "Goran", "Hana", "Ines",
                                   "Jonas", "Kofi", "Lena", "Mateus", "Noor", "Olga", "Pavel", "Quinn", "Rosa",
                                   "Sanjay", "Tove", "Umar", "Vera", "Wen", "Yusuf", "Zoe"};
const char* const kLastNames[] = {"Lima", "Okafor", "Novak", "Silva", "Tanaka", "M\\u00fcller", "Haddad",
                                  "O'Brien", "Kowalski", "Nguyen", "Garc\xc3\xad" "a", "Ivanova", "Berg", "Rossi"};
const char* const kEventTypes[] = {"click", "view", "purchase", "signup", "logout", "search", "share"};
const char* const kCurrencies[] = {"EUR", "USD", "BRL", "JPY", "GBP"};
const char* const kCountries[] = {"PT", "BR", "DE", "JP", "NG", "US", "IN", "SE"};
const char* const kTags[] = {"new", "vip", "beta", "trial", "churn-risk", "mobile", "desktop", "api"};
const char* const kWords[] = {"the",    "order",  "arrived", "late",    "but",      "works",  "fine",   "great",
                              "price",  "would",  "buy",     "again",   "support",  "was",    "slow",   "box",
                              "broken", "color",  "matches", "photo",   "refund",   "please", "thanks", "size",
                              "small",  "quick",  "ship",    "caf\xc3\xa9", "na\\u00efve", "\xe2\x82\xac" "5",
                              "{not",   "json}",  "a,b",     "x:y",     "[list]"};
// Pieces of text that need escaping in JSON, already escaped.
const char* const kEscapes[] = {"\\\"", "\\\\", "\\n", "\\t", "\\r", "\\/", "\\u00e9", "\\ud83d\\ude00",
                                "C:\\\\temp\\\\", "\\\"quoted\\\""};

class Writer {
public:
    explicit Writer(std::FILE* out) : out_(out) { buf_.reserve(1 << 20); }
    ~Writer() { flush(); }
    void put(const char* s) { buf_ += s; }
    void put(char c) { buf_ += c; }
    void num(int64_t v) {
        char tmp[32];
        std::snprintf(tmp, sizeof tmp, "%lld", static_cast<long long>(v));
        buf_ += tmp;
    }
    // A decimal with `places` digits after the point, from an integer.
    void decimal(int64_t scaled, int places) {
        if (scaled < 0) {
            buf_ += '-';
            scaled = -scaled;
        }
        int64_t div = 1;
        for (int i = 0; i < places; ++i) div *= 10;
        num(scaled / div);
        buf_ += '.';
        char tmp[32];
        std::snprintf(tmp, sizeof tmp, "%0*lld", places, static_cast<long long>(scaled % div));
        buf_ += tmp;
    }
    void key(const char* k) {
        buf_ += '"';
        buf_ += k;
        buf_ += "\":";
    }
    void str(const char* s) {
        buf_ += '"';
        buf_ += s;
        buf_ += '"';
    }
    size_t pending() const { return buf_.size(); }
    void flush() {
        if (!buf_.empty() && std::fwrite(buf_.data(), 1, buf_.size(), out_) != buf_.size()) {
            std::fprintf(stderr, "gen_ndjson: write failed: %s\n", std::strerror(errno));
            std::exit(1);
        }
        buf_.clear();
    }

private:
    std::FILE* out_;
    std::string buf_;
};

struct Totals {
    uint64_t records = 0;
    uint64_t user_ids = 0;  // matches of events[*].user.id
    int64_t qty_sum = 0;
};

void text(Writer& w, Random& r) {
    w.put('"');
    const uint64_t words = 3 + r.below(25);
    for (uint64_t i = 0; i < words; ++i) {
        if (i) w.put(' ');
        w.put(r.chance(8) ? r.pick(kEscapes) : r.pick(kWords));
    }
    w.put('"');
}

void user(Writer& w, Random& r, bool full) {
    w.put('{');
    w.key("id");
    w.num(int64_t(1 + r.below(5000000)));
    w.put(',');
    w.key("name");
    w.put('"');
    w.put(r.pick(kFirstNames));
    w.put(' ');
    w.put(r.pick(kLastNames));
    w.put('"');
    if (full) {
        w.put(',');
        w.key("verified");
        w.put(r.chance(70) ? "true" : "false");
        w.put(',');
        w.key("score");
        w.decimal(int64_t(r.below(100000)), 2);
        w.put(',');
        w.key("country");
        w.str(r.pick(kCountries));
        w.put(',');
        w.key("tags");
        w.put('[');
        const uint64_t n = r.below(4);
        for (uint64_t i = 0; i < n; ++i) {
            if (i) w.put(',');
            w.str(r.pick(kTags));
        }
        w.put(']');
        w.put(',');
        w.key("referrer");
        if (r.chance(60))
            w.put("null");
        else
            w.num(int64_t(r.below(5000000)));
    }
    w.put('}');
}

void record(Writer& w, Random& r, uint64_t id, Totals& totals) {
    w.put('{');
    w.key("id");
    w.num(int64_t(id));
    w.put(',');
    w.key("ts");
    char ts[40];
    const uint64_t day = r.below(28) + 1, hour = r.below(24), minute = r.below(60), second = r.below(60);
    std::snprintf(ts, sizeof ts, "\"2024-%02llu-%02lluT%02llu:%02llu:%02lluZ\"",
                  static_cast<unsigned long long>(1 + r.below(12)), static_cast<unsigned long long>(day),
                  static_cast<unsigned long long>(hour), static_cast<unsigned long long>(minute),
                  static_cast<unsigned long long>(second));
    w.put(ts);
    w.put(',');
    w.key("user");
    user(w, r, true);
    w.put(',');
    w.key("qty");
    const int64_t qty = int64_t(r.below(50)) - 5;
    totals.qty_sum += qty;
    w.num(qty);
    w.put(',');
    w.key("amount");
    w.decimal(int64_t(r.below(10000000)) - 100000, 2);
    w.put(',');
    w.key("currency");
    w.str(r.pick(kCurrencies));
    w.put(',');
    w.key("text");
    text(w, r);
    w.put(',');
    w.key("events");
    w.put('[');
    const uint64_t n_events = r.below(5);
    for (uint64_t i = 0; i < n_events; ++i) {
        if (i) w.put(',');
        w.put('{');
        w.key("type");
        w.str(r.pick(kEventTypes));
        w.put(',');
        w.key("user");
        user(w, r, false);
        ++totals.user_ids;
        w.put(',');
        w.key("at");
        w.num(int64_t(1700000000 + r.below(40000000)));
        w.put(',');
        w.key("value");
        if (r.chance(20)) {
            w.put("null");
        } else if (r.chance(30)) {
            w.decimal(int64_t(r.below(1000000)) - 500000, 3);
            w.put(r.chance(50) ? "e+2" : "E-3");
        } else {
            w.decimal(int64_t(r.below(100000)), 2);
        }
        if (r.chance(40)) {
            w.put(',');
            w.key("note");
            text(w, r);
        }
        w.put('}');
    }
    w.put(']');
    w.put(',');
    w.key("flags");
    w.put('{');
    w.key("beta");
    w.put(r.chance(50) ? "true" : "false");
    w.put(',');
    w.key("admin");
    w.put(r.chance(90) ? "null" : "true");
    w.put(',');
    w.key("limits");
    w.put('[');
    w.num(int64_t(r.below(100)));
    w.put(',');
    w.num(int64_t(r.below(1000)));
    w.put(',');
    w.num(-int64_t(r.below(10)));
    w.put(']');
    w.put('}');
    w.put('}');
    w.put('\n');
    ++totals.records;
}

bool parse_size(const char* s, uint64_t& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s, &end, 10);
    if (errno || end == s) return false;
    uint64_t mul = 1;
    if (*end == 'K' || *end == 'k') mul = 1000ULL, ++end;
    else if (*end == 'M' || *end == 'm') mul = 1000ULL * 1000, ++end;
    else if (*end == 'G' || *end == 'g') mul = 1000ULL * 1000 * 1000, ++end;
    if (*end != '\0') return false;
    out = v * mul;
    return true;
}

int usage() {
    std::fprintf(stderr, "usage: gen_ndjson [--size N[K|M|G]] [--seed S] [--out PATH]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t size = 1000ULL * 1000 * 1000;
    uint64_t seed = 1;
    std::string out_path = std::string(JORVANE_BENCH_DATA_DIR) + "/records.ndjson";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return usage();
        if (arg == "--size") {
            if (!parse_size(argv[++i], size)) return usage();
        } else if (arg == "--seed") {
            if (!parse_size(argv[++i], seed)) return usage();
        } else if (arg == "--out") {
            out_path = argv[++i];
        } else {
            return usage();
        }
    }
    std::FILE* f = std::fopen(out_path.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "gen_ndjson: cannot create %s: %s\n", out_path.c_str(), std::strerror(errno));
        return 1;
    }
    Random r(seed);
    Totals totals;
    uint64_t written = 0;
    {
        Writer w(f);
        while (written + w.pending() < size) {
            record(w, r, totals.records + 1, totals);
            if (w.pending() >= (1 << 20)) {
                written += w.pending();
                w.flush();
            }
        }
        written += w.pending();
    }
    if (std::fclose(f) != 0) {
        std::fprintf(stderr, "gen_ndjson: cannot write %s: %s\n", out_path.c_str(), std::strerror(errno));
        return 1;
    }
    std::fprintf(stderr, "%s: %llu bytes, %llu records, events[*].user.id matches %llu, sum of qty %lld (seed %llu)\n",
                 out_path.c_str(), static_cast<unsigned long long>(written),
                 static_cast<unsigned long long>(totals.records), static_cast<unsigned long long>(totals.user_ids),
                 static_cast<long long>(totals.qty_sum), static_cast<unsigned long long>(seed));
    return 0;
}
