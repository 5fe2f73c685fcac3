#include "util/ordered_map.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "util/hash.h"

namespace jorvane {
namespace {

using Map = OrderedMap<std::string, int>;

uint64_t real_hash(const std::string& s) { return hash_bytes(s); }
uint64_t constant_hash(const std::string&) { return 42; }

std::string key(int i) {
    std::string k = "k";
    k += std::to_string(i);
    return k;
}

Map::Entry* lookup(Map& m, const std::string& k, uint64_t (*h)(const std::string&)) {
    return m.find_if(h(k), [&](const std::string& other) { return other == k; });
}

int& count(Map& m, const std::string& k, uint64_t (*h)(const std::string&)) {
    return m.find_or_insert(h(k), [&](const std::string& o) { return o == k; }, [&] { return k; })
        .first->value;
}

std::vector<std::string> keys_of(const Map& m) {
    std::vector<std::string> out;
    for (const auto& e : m.entries()) out.push_back(e.key);
    return out;
}

class OrderedMapHashes : public ::testing::TestWithParam<uint64_t (*)(const std::string&)> {};

TEST_P(OrderedMapHashes, InsertionOrderSurvivesGrowth) {
    const auto h = GetParam();
    const int n = h == constant_hash ? 600 : 20000;
    Map m;
    std::vector<std::string> expected;
    // Interleave new keys with repeats, in an order unrelated to the hashes.
    for (int i = n - 1; i >= 0; --i) {
        const std::string k = key((i * 7919) % n);
        expected.push_back(k);
        count(m, k, h) += 1;
        count(m, expected[expected.size() / 2], h) += 1;
    }
    ASSERT_EQ(m.size(), static_cast<size_t>(n));
    EXPECT_EQ(keys_of(m), expected);
    int total = 0;
    for (const auto& e : m.entries()) {
        EXPECT_EQ(e.hash, h(e.key));
        total += e.value;
    }
    EXPECT_EQ(total, 2 * n);
    for (const auto& k : expected) {
        const Map::Entry* e = lookup(m, k, h);
        ASSERT_NE(e, nullptr) << k;
        EXPECT_EQ(e->key, k);
    }
    EXPECT_EQ(lookup(m, "absent", h), nullptr);
}

TEST_P(OrderedMapHashes, ClearedOrTakenMapBehavesAsFresh) {
    const auto h = GetParam();
    Map reused;
    for (int i = 0; i < 3000; ++i) count(reused, key(i), h) = i;
    reused.clear();
    EXPECT_TRUE(reused.empty());
    EXPECT_EQ(lookup(reused, key(5), h), nullptr);

    Map fresh;
    for (int i = 40; i > 0; --i) {
        count(reused, key(i * 3), h) += i;
        count(fresh, key(i * 3), h) += i;
    }
    ASSERT_EQ(reused.size(), fresh.size());
    for (size_t i = 0; i < fresh.size(); ++i) {
        EXPECT_EQ(reused.entries()[i].key, fresh.entries()[i].key);
        EXPECT_EQ(reused.entries()[i].value, fresh.entries()[i].value);
        EXPECT_EQ(reused.entries()[i].hash, fresh.entries()[i].hash);
    }

    std::vector<Map::Entry> taken = reused.take_entries();
    EXPECT_EQ(taken.size(), 40u);
    EXPECT_EQ(taken.front().key, key(120));
    EXPECT_TRUE(reused.empty());
    EXPECT_EQ(lookup(reused, key(120), h), nullptr);
    count(reused, "z", h) = 1;
    count(reused, "a", h) = 2;
    EXPECT_EQ(keys_of(reused), (std::vector<std::string>{"z", "a"}));
    EXPECT_EQ(lookup(reused, "a", h)->value, 2);
}

INSTANTIATE_TEST_SUITE_P(Hashes, OrderedMapHashes, ::testing::Values(&real_hash, &constant_hash),
                         [](const auto& info) { return info.param == &real_hash ? "Real" : "Constant"; });

TEST(OrderedMap, FindOrInsertSemantics) {
    Map m;
    int made = 0;
    auto make = [&] {
        ++made;
        return std::string("x");
    };
    auto is_x = [](const std::string& k) { return k == "x"; };
    auto [e1, inserted1] = m.find_or_insert(7, is_x, make);
    EXPECT_TRUE(inserted1);
    EXPECT_EQ(e1->key, "x");
    EXPECT_EQ(e1->value, 0);  // value-initialised
    EXPECT_EQ(e1->hash, 7u);
    e1->value = 5;
    auto [e2, inserted2] = m.find_or_insert(7, is_x, make);
    EXPECT_FALSE(inserted2);
    EXPECT_EQ(e2->value, 5);
    EXPECT_EQ(made, 1);  // the key is built only when inserting
    EXPECT_EQ(m.size(), 1u);
}

TEST(OrderedMap, HashMustMatchNotJustThePredicate) {
    Map m;
    const uint64_t h1 = 0x0000000100000005ULL;
    const uint64_t h2 = 0x0000000200000005ULL;  // same low 32 bits
    m.insert_new("a", 1, h1);
    auto any = [](const std::string&) { return true; };
    EXPECT_EQ(m.find_if(h2, any), nullptr);
    ASSERT_NE(m.find_if(h1, any), nullptr);
    m.insert_new("b", 2, h2);
    EXPECT_EQ(m.find_if(h2, any)->key, "b");
    const Map& cm = m;
    EXPECT_EQ(cm.find_if(h1, any)->key, "a");
}

TEST(OrderedMap, ReserveAndMoveOnlyValues) {
    OrderedMap<int, std::unique_ptr<int>> m;
    m.reserve(1000);
    for (int i = 0; i < 1000; ++i) m.insert_new(i, std::make_unique<int>(i * 2), static_cast<uint64_t>(i) * 31);
    for (int i = 0; i < 1000; i += 97) {
        auto* e = m.find_if(static_cast<uint64_t>(i) * 31, [&](const int& k) { return k == i; });
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(*e->value, i * 2);
    }
    auto entries = m.take_entries();
    EXPECT_EQ(entries[999].key, 999);
    EXPECT_EQ(*entries[999].value, 1998);
}

}  // namespace
}  // namespace jorvane
