// The Misra-Gries summary of the table engine against a plain model of its
// rule, and against the true counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tessary/table_profile/misra_gries.hpp"
#include "tessary/table_profile/text_counts.hpp"

namespace tessary {
namespace {

std::uint64_t spread(std::uint64_t key) { return (key + 1) * 0x9e3779b97f4a7c15u; }

// The rule on a map of key -> (count, label of the observation that made the counter).
struct Model {
  std::size_t table;
  std::map<std::uint64_t, std::pair<std::uint64_t, std::string>> counters;

  // Subtracts the 257th largest of `all` from every counter; returns it.
  std::uint64_t cut(std::vector<std::uint64_t> all) {
    std::sort(all.begin(), all.end(), std::greater<>());
    const std::uint64_t d = all[256];
    for (auto& [key, c] : counters) c.first -= std::min(d, c.first);
    std::erase_if(counters, [](const auto& c) { return c.second.first == 0; });
    return d;
  }
  std::vector<std::uint64_t> counts() const {
    std::vector<std::uint64_t> all;
    for (const auto& [key, c] : counters) all.push_back(c.first);
    return all;
  }
  void add(std::uint64_t key, std::uint64_t weight, const std::string& label) {
    if (auto it = counters.find(key); it != counters.end()) {
      it->second.first += weight;
      return;
    }
    std::uint64_t d = 0;
    if (counters.size() == table) {
      std::vector<std::uint64_t> all = counts();
      all.push_back(weight);
      d = cut(all);
    }
    if (weight > d) counters[key] = {weight - d, label};
  }
  void merge(const Model& other) {
    std::vector<std::pair<std::uint64_t, std::pair<std::uint64_t, std::string>>> fresh;
    for (const auto& [key, c] : other.counters) {
      if (auto it = counters.find(key); it != counters.end()) {
        it->second.first += c.first;
      } else {
        fresh.emplace_back(key, c);
      }
    }
    std::uint64_t d = 0;
    if (counters.size() + fresh.size() > table) {
      std::vector<std::uint64_t> all = counts();
      for (const auto& [key, c] : fresh) all.push_back(c.first);
      d = cut(all);
    }
    for (const auto& [key, c] : fresh) {
      if (c.first > d) counters[key] = {c.first - d, c.second};
    }
  }
};

template <typename Summary>
constexpr bool labelled = requires(const Summary& s) { s.label(1); };

template <typename Summary>
std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string>> contents(const Summary& s) {
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string>> out;
  for (const std::size_t e : s.by_key()) {
    std::string label;
    if constexpr (labelled<Summary>) label = std::string(s.label(e).view());
    out.emplace_back(s.key(e), s.count(e), label);
  }
  return out;
}

std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string>> contents(const Model& m, bool labelled) {
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string>> out;
  for (const auto& [key, c] : m.counters) out.emplace_back(key, c.first, labelled ? c.second : "");
  return out;
}

// Weighted streams of skewed keys (weights mostly 1, or all of 1 to 40, so
// that the 257th largest count is small or not) and of distinct keys (so
// that every count is often 1) follow the model exactly, alone, merged and
// fed on; the counts are lower bounds short by at most 1/257 of the weight.
// hash(key) is the key's hash.
template <typename Summary, typename Hash>
void follows_the_model(Hash hash) {
  std::mt19937_64 rng(7);
  std::map<std::uint64_t, std::uint64_t> truth;
  std::uint64_t total = 0;
  const auto feed = [&](Summary& s, Model& m, int n, std::uint64_t keys, std::uint64_t every, std::uint64_t heaviest) {
    for (int i = 0; i < n; ++i) {
      const std::uint64_t key = keys == 0 ? 2 * total + rng() % 2 : std::min(rng() % keys, rng() % keys) * 1000003u;
      const std::uint64_t weight = rng() % every == 0 ? 1 + rng() % heaviest : 1;
      const std::string label = std::to_string(key) + "/" + std::to_string(i % 3);
      if constexpr (labelled<Summary>) {
        s.add(key, weight, hash(key), label);
      } else {
        s.add(key, weight, hash(key));
      }
      m.add(key, weight, label);
      truth[key] += weight;
      total += weight;
    }
  };
  // (observations, keys or 0 for distinct ones, one in `every` weighted, the largest weight)
  for (const auto& [n, keys, every, heaviest] :
       {std::tuple{40000, 20000, 50, 60}, {20000, 5000, 1, 40}, {300, 100000, 1, 40}, {20000, 0, 500, 3}}) {
    Summary a;
    Summary b;
    Model ma{Summary::capacity, {}};
    Model mb{Summary::capacity, {}};
    feed(a, ma, n, keys, every, heaviest);
    feed(b, mb, n, keys, every, heaviest);
    EXPECT_EQ(contents(a), contents(ma, labelled<Summary>));
    a.merge(b, hash);
    ma.merge(mb);
    EXPECT_EQ(contents(a), contents(ma, labelled<Summary>));
    feed(a, ma, n, keys, every, heaviest);
    EXPECT_EQ(contents(a), contents(ma, labelled<Summary>));
    // A small summary takes in a fuller one.
    Summary c;
    Model mc{Summary::capacity, {}};
    feed(c, mc, 3, keys, every, heaviest);
    c.merge(a, hash);
    mc.merge(ma);
    EXPECT_EQ(contents(c), contents(mc, labelled<Summary>));
    ma = mc;
    for (const auto& [key, n_true] : truth) {
      const auto it = ma.counters.find(key);
      const std::uint64_t n_counted = it == ma.counters.end() ? 0 : it->second.first;
      EXPECT_LE(n_counted, n_true);
      EXPECT_LE(n_true - n_counted, total / 257);
    }
    truth.clear();
    total = 0;
  }
}

TEST(MisraGries, FollowsItsRuleAndBounds) {
  follows_the_model<MisraGries<NoLabel, 384>>(spread);
  follows_the_model<MisraGries<text_detail::TextLabel, 1024>>(spread);
  // Keys whose hashes share their top bits: long probes, equal stored bits.
  follows_the_model<MisraGries<NoLabel, 384>>([](std::uint64_t key) { return (key % 5) << 60; });
}

}  // namespace
}  // namespace tessary
