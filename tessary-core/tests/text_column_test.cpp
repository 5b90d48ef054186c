// The text, boolean and other column states of the table engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tessary/categorical_sketches/string_hash.hpp"
#include "tessary/table_profile/boolean_column.hpp"
#include "tessary/table_profile/other_column.hpp"
#include "tessary/table_profile/text_column.hpp"
#include "test_values.hpp"

namespace tessary {
namespace {

using Texts = std::vector<std::optional<std::string>>;

void append(ArrowArray* array, const std::optional<std::string>& v) {
  if (!v) {
    ok(ArrowArrayAppendNull(array, 1));
    return;
  }
  ArrowBufferView bytes;
  bytes.data.data = v->data();
  bytes.size_bytes = static_cast<std::int64_t>(v->size());
  ok(ArrowArrayAppendBytes(array, bytes));
}

enum class Layout { utf8, large_binary, string_view, fixed_size, dictionary };

// The values as a column of `layout`, sliced past `skip` leading values;
// fixed_size takes values of 40 bytes, a dictionary one value per distinct
// string plus an unused and a null one (index 0 and 1).
std::unique_ptr<Column> column_of(Layout layout, const Texts& values, int skip = 0) {
  std::unique_ptr<Column> c;
  Texts all(static_cast<std::size_t>(skip), std::string(40, 's'));
  all.insert(all.end(), values.begin(), values.end());
  switch (layout) {
    case Layout::utf8: c = std::make_unique<Column>(NANOARROW_TYPE_STRING); break;
    case Layout::large_binary: c = std::make_unique<Column>(NANOARROW_TYPE_LARGE_BINARY); break;
    case Layout::string_view: c = std::make_unique<Column>(NANOARROW_TYPE_STRING_VIEW); break;
    case Layout::fixed_size: c = std::make_unique<Column>(NANOARROW_TYPE_FIXED_SIZE_BINARY, 40); break;
    case Layout::dictionary: c = std::make_unique<Column>(NANOARROW_TYPE_STRING, 0, true); break;
  }
  if (layout == Layout::dictionary) {
    std::map<std::string, int> index;
    append(c->array->dictionary, std::string("unused"));
    append(c->array->dictionary, std::nullopt);
    bool null_index = false;
    for (const auto& v : all) {
      if (!v) {  // a null index or the index of the null value, in turn
        null_index = !null_index;
        ok(null_index ? ArrowArrayAppendNull(c->array.get(), 1) : ArrowArrayAppendInt(c->array.get(), 1));
        continue;
      }
      auto [it, fresh] = index.emplace(*v, static_cast<int>(index.size()) + 2);
      if (fresh) append(c->array->dictionary, *v);
      ok(ArrowArrayAppendInt(c->array.get(), it->second));
    }
  } else {
    for (const auto& v : all) append(c->array.get(), v);
  }
  c->finish(skip);
  return c;
}

// Distinct strings: the empty one, then 6 to 46 bytes (views inline and out
// of line), those above 33 bytes sharing their first 32; multi-byte and
// invalid UTF-8. `width` pads every one to that size instead.
std::string text_at(std::uint64_t k, std::size_t width = 0) {
  if (k == 0 && width == 0) return "";
  std::string s = "v" + std::to_string(k) + "\xC3\xA9\xFF";
  const auto size = static_cast<std::size_t>(splitmix64(k) % 45);
  if (width == 0 && size > 33) return std::string(33, 'p') + s;
  s.resize(std::max(s.size(), width != 0 ? width : size), 'x');
  return s;
}

// n values from `distinct` strings, skewed towards the first, a fifth null.
Texts texts(std::size_t n, std::uint64_t distinct, std::size_t width = 0, std::uint64_t seed = 1) {
  Texts out;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t r = splitmix64(seed * 1000003 + i);
    if (r % 5 == 0) {
      out.emplace_back();
    } else {
      const std::uint64_t a = (r >> 8) % distinct;
      out.emplace_back(text_at(std::min(a, (r >> 40) % distinct), width));
    }
  }
  return out;
}

TextColumn observed(const ColumnView& c) {
  TextColumn s;
  s.observe(c);
  return s;
}

constexpr Layout layouts[] = {Layout::utf8, Layout::large_binary, Layout::string_view, Layout::fixed_size,
                              Layout::dictionary};

class TextLayouts : public ::testing::TestWithParam<Layout> {
 protected:
  std::size_t width() const { return GetParam() == Layout::fixed_size ? 40 : 0; }
};

INSTANTIATE_TEST_SUITE_P(Every, TextLayouts, ::testing::ValuesIn(layouts));

// Exact mode against a brute-force count: every value counted under its
// full bytes, labelled by its first 32, the top 32 by count, then label,
// then hash; read in place from a slice of the array.
TEST_P(TextLayouts, ExactModeCountsEveryValue) {
  const Texts values = texts(3000, 400, width());
  std::map<std::string, std::uint64_t> truth;
  std::uint64_t missing = 0;
  for (const auto& v : values) v ? ++truth[*v] : ++missing;
  struct Row {
    std::uint64_t count;
    std::string label;
    std::uint64_t hash;
  };
  std::vector<Row> rows;
  for (const auto& [v, n] : truth) rows.push_back({n, v.substr(0, 32), string_hash(v)});
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return std::tie(b.count, a.label, a.hash) < std::tie(a.count, b.label, b.hash);
  });
  Pairs top;
  for (std::size_t k = 0; k < 32; ++k) top.emplace_back(rows[k].label, rows[k].count);

  const TextSummary s = observed(column_of(GetParam(), values, 3)->slice(3, 3000)).summary();
  EXPECT_TRUE(s.exact);
  EXPECT_EQ(s.count, values.size() - missing);
  EXPECT_EQ(s.missing, missing);
  EXPECT_EQ(s.distinct, truth.size());
  EXPECT_EQ(s.top, top);
}

// Feeding a column in slices gives the state of feeding it whole, bit for
// bit, before, at and after the switch to sketches; a dictionary column, or
// a short slice of it, gives the state of its decoded values.
TEST_P(TextLayouts, SlicesAndDictionariesGiveTheStateOfOnePass) {
  for (const std::uint64_t distinct : {1000, 1100, 5000}) {
    const Texts values = texts(12000, distinct, width(), distinct);
    const auto column = column_of(GetParam(), values);
    const auto plain = column_of(Layout::utf8, values);
    const TextColumn whole = observed(column->slice(0, 12000));
    const auto decoded = observed(plain->slice(0, 12000));
    if (GetParam() == Layout::dictionary) {  // a slice much shorter than the dictionary
      EXPECT_EQ(encoded(observed(column->slice(4321, 60))), encoded(observed(plain->slice(4321, 60)))) << distinct;
    }
    EXPECT_EQ(encoded(whole), encoded(decoded)) << distinct;
    TextColumn pieces;
    for (const auto& [first, length] : {std::pair{0, 1}, {1, 4999}, {5000, 0}, {5000, 6999}, {11999, 1}}) {
      pieces.observe(column->slice(first, length));
    }
    EXPECT_EQ(encoded(pieces), encoded(whole)) << distinct;
  }
}

// The switch: 1,000 distinct values are exact, the 1,001st starts the
// sketches. Heavy values keep their place with lower-bound counts short by
// at most 1/257 of the values; the distinct estimate is near the truth.
TEST(TextColumn, SwitchesToSketchesPastAThousandValues) {
  Texts values;
  for (std::uint64_t k = 0; k < 1000; ++k) values.emplace_back(text_at(k));
  EXPECT_TRUE(observed(column_of(Layout::utf8, values)->slice(0, 1000)).summary().exact);
  for (std::uint64_t k = 0; k < 60000; ++k) {
    values.emplace_back(k % 3 == 0 ? text_at(k % 5) : text_at(1000 + k));
  }
  const TextSummary s = observed(column_of(Layout::utf8, values)->slice(0, 61000)).summary();
  EXPECT_FALSE(s.exact);
  EXPECT_NEAR(static_cast<double>(s.distinct), 41000.0, 41000 * 0.05);
  ASSERT_GE(s.top.size(), 5u);
  for (std::size_t k = 0; k < 5; ++k) {
    const auto& [label, count] = s.top[k];
    const std::uint64_t truth = 4000 + 1;
    EXPECT_LE(count, truth) << label;
    EXPECT_GE(count + 61000 / 257, truth) << label;
  }
}

// Merges: exact parts give the one-pass state bit for bit; sketch parts
// add their counts, in either order, and keep the heavy values.
TEST(TextColumn, MergesAddTheParts) {
  for (const std::uint64_t distinct : {600, 4000}) {
    Texts values = texts(20000, distinct, 0, distinct);
    for (std::size_t i = 0; i < values.size(); i += 4) values[i] = "heavy";
    const auto column = column_of(Layout::utf8, values);
    const TextColumn a = observed(column->slice(0, 8000));
    const TextColumn b = observed(column->slice(8000, 12000));
    TextColumn ab = a;
    ab.merge(b);
    TextColumn ba = b;
    ba.merge(a);
    const TextColumn whole = observed(column->slice(0, 20000));
    if (distinct < 1000) {
      EXPECT_EQ(encoded(ab), encoded(whole));
      EXPECT_EQ(ab.summary().top, ba.summary().top);
      continue;
    }
    const TextSummary s = ab.summary();
    const TextSummary t = ba.summary();
    const TextSummary w = whole.summary();
    EXPECT_EQ(std::tie(s.count, s.missing, s.distinct), std::tie(w.count, w.missing, w.distinct));
    EXPECT_EQ(std::tie(t.count, t.missing, t.distinct), std::tie(w.count, w.missing, w.distinct));
    EXPECT_EQ(s.top.front(), t.top.front());
    EXPECT_EQ(s.top.front().first, w.top.front().first);
  }
  // Two exact halves of more than 1,000 values together switch.
  Texts low;
  Texts high;
  for (std::uint64_t k = 0; k < 700; ++k) {
    low.emplace_back(text_at(k));
    high.emplace_back(text_at(k + 400));
  }
  TextColumn merged = observed(column_of(Layout::utf8, low)->slice(0, 700));
  merged.merge(observed(column_of(Layout::utf8, high)->slice(0, 700)));
  EXPECT_FALSE(merged.summary().exact);
  EXPECT_EQ(merged.summary().count, 1400u);
}

// Encodings round trip, and corrupt ones are refused.
TEST(TextColumn, RoundTripsAndRefusesCorruptBytes) {
  for (const std::uint64_t distinct : {1, 300, 5000}) {
    TextColumn s = observed(column_of(Layout::utf8, texts(20000, distinct))->slice(0, 20000));
    s.add_missing(7);
    EXPECT_EQ(encoded(decoded<TextColumn>(encoded(s))), encoded(s));
  }
  const std::string good = encoded(observed(column_of(Layout::utf8, {std::string("ab"), std::string("cd")})->slice(0, 2)));
  const auto refused = [](const std::string& bytes) { EXPECT_THROW(decoded<TextColumn>(bytes), DecodeError); };
  // The version; count 3 against counts 1 + 1; "cx" without the hash of "cd".
  for (const auto& [at, byte] : {std::pair<std::size_t, char>{0, 2}, {1, 3}, {good.size() - 1, 'x'}}) {
    std::string wrong = good;
    wrong[at] = byte;
    refused(wrong);
  }
  refused(good.substr(0, good.size() - 1));
  ByteWriter many;  // 1,001 exact entries
  many.u8(1);
  many.varint(1001);
  many.varint(0);
  many.u8(0);
  many.varint(1001);
  refused(many.result() + std::string(20000, '\0'));
}

// Offsets out of order, views outside their buffers and dictionary indices
// out of range are refused, naming the slot, before anything changes; so
// are counts past 2^64 - 1. Nulls are never looked into.
TEST(TextColumn, RefusesBadValuesAndOverflowUnchanged) {
  const auto utf8 = column_of(Layout::utf8, {std::string("abc"), std::nullopt, std::string("de"), std::string("f")});
  auto* offsets = reinterpret_cast<std::int32_t*>(ArrowArrayBuffer(utf8->array.get(), 1)->data);
  TextColumn s = observed(utf8->slice(0, 1));
  std::swap(offsets[1], offsets[3]);  // null slot 1 garbled: still fine
  s.observe(utf8->slice(0, 2));
  offsets[3] = 6;  // slot 2 spans 3..6 of 6 bytes: fine; slot 3 spans 6..6
  offsets[2] = 7;  // slot 2: 7..6
  EXPECT_THROW(
      {
        try {
          s.observe(utf8->slice(0, 4));
        } catch (const ArrowImportError& e) {
          EXPECT_STREQ(e.what(), "column 'c': slot 2 has offsets out of order or outside the data buffer");
          throw;
        }
      },
      ArrowImportError);
  EXPECT_EQ(s.summary().count, 2u);

  auto view = column_of(Layout::string_view, {std::string(20, 'a')});
  reinterpret_cast<std::int32_t*>(ArrowArrayBuffer(view->array.get(), 1)->data)[3] = 1;  // offset 1 + 20 > 20
  view->bind();
  TextColumn v;
  EXPECT_THROW(v.observe(view->slice(0, 1)), ArrowImportError);

  auto dict = column_of(Layout::dictionary, {std::string("a")});
  reinterpret_cast<std::int16_t*>(ArrowArrayBuffer(dict->array.get(), 1)->data)[0] = 3;
  TextColumn d;
  EXPECT_THROW(d.observe(dict->slice(0, 1)), ArrowImportError);
  EXPECT_EQ(d.seen(), 0u);

  TextColumn full = observed(utf8->slice(0, 1));
  full.add_missing(max_u64 - 1);
  const std::string at_limit = encoded(full);
  EXPECT_THROW(full.observe(utf8->slice(0, 1)), CountOverflow);
  EXPECT_THROW(full.add_missing(2), CountOverflow);
  EXPECT_THROW(full.merge(full), CountOverflow);
  EXPECT_EQ(encoded(full), at_limit);
}

// Whatever the data, a state stays under 64 KB; a state of one row is small.
TEST(TextColumn, StaysSmall) {
  std::size_t largest = 0;
  for (const std::uint64_t distinct : {1000, 1001, 100000}) {
    largest = std::max(largest, observed(column_of(Layout::utf8, texts(40000, distinct, 200))->slice(0, 40000))
                                    .memory_bytes());
  }
  EXPECT_LT(largest, 64u * 1024);
  EXPECT_LT(observed(column_of(Layout::utf8, {std::string(500, 'a')})->slice(0, 1)).memory_bytes(), 1024u);
}

// Booleans count true values among the present ones; other columns count
// present and null slots, every slot of a null-type array being null.
TEST(BooleanAndOtherColumns, CountSlots) {
  Column b(NANOARROW_TYPE_BOOL);
  std::uint64_t truth[2] = {0, 0};  // in slots 5 to 204: true, null
  for (int i = 0; i < 210; ++i) {
    const std::uint64_t r = splitmix64(static_cast<std::uint64_t>(i));
    if (r % 4 == 0) {
      ok(ArrowArrayAppendNull(b.array.get(), 1));
      truth[1] += i >= 5 && i < 205;
    } else {
      ok(ArrowArrayAppendInt(b.array.get(), static_cast<std::int64_t>(r % 3 == 0)));
      truth[0] += i >= 5 && i < 205 && r % 3 == 0;
    }
  }
  BooleanColumn s;
  s.observe(b.finish(5, 200));
  EXPECT_EQ(s.summary().count, 200 - truth[1]);
  EXPECT_EQ(s.summary().missing, truth[1]);
  EXPECT_EQ(s.summary().true_count, truth[0]);
  EXPECT_EQ(decoded<BooleanColumn>(encoded(s)).summary().true_count, truth[0]);

  Column na(NANOARROW_TYPE_NA);
  ok(ArrowArrayAppendNull(na.array.get(), 9));
  Column ints(NANOARROW_TYPE_INT32);
  for (int i = 0; i < 9; ++i) ok(i % 3 == 0 ? ArrowArrayAppendNull(ints.array.get(), 1) : ArrowArrayAppendInt(ints.array.get(), i));
  OtherColumn o;
  o.observe(na.finish(1, 7));
  o.observe(ints.finish(1, 7));
  EXPECT_EQ(o.summary().count, 5u);
  EXPECT_EQ(o.summary().missing, 9u);
  EXPECT_TRUE(TextColumn::reads(column_of(Layout::dictionary, {})->field));
  EXPECT_FALSE(TextColumn::reads(ints.field));
}

}  // namespace
}  // namespace tessary
