#pragma once

#include <nanoarrow/nanoarrow.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "tessary/arrow_import/arrow_import_error.hpp"
#include "tessary/arrow_import/imported_record_batch.hpp"
#include "tessary/categorical_sketches/string_hash.hpp"
#include "tessary/count_overflow.hpp"
#include "tessary/serialization/byte_reader.hpp"
#include "tessary/serialization/byte_writer.hpp"
#include "tessary/serialization/state_codec.hpp"
#include "tessary/sketches/hyper_log_log.hpp"
#include "tessary/table_profile/column_summary.hpp"
#include "tessary/table_profile/misra_gries.hpp"
#include "tessary/table_profile/text_counts.hpp"
#include "tessary/table_profile/text_values.hpp"
#include "tessary/validity_bitmap.hpp"

namespace tessary {

// The state of one text column: utf8, binary, their large and view forms,
// fixed-size binary, and dictionaries of any of these. Values are raw bytes,
// identified by their 64-bit string_hash over all their bytes (two values
// whose hashes collide count as one), labelled by their first 32 bytes.
//
// Exact mode, while at most 1,000 distinct hashes have been seen: a count
// per hash (HashedCounts), so `distinct` and every top count are exact. The
// 1,001st distinct hash switches the state, once and for good, to sketches:
// the exact counts enter a HyperLogLog (distinct: its estimate, kept between
// 1,001 and count) and a Misra-Gries summary of up to 1,024 counters keyed
// by the hash (misra_gries.hpp: the top counts are lower bounds short by at
// most 1/257 of the present values) in ascending hash order, each value
// with its count as its weight, and later values follow. The sketches are
// allocated at the switch, so a state of few values stays small (a
// one-value state takes under 1 KB); either mode stays under 64 KB (1,000
// exact entries take 54 KB, the sketches 62 KB).
//
// Reading a column: the present slots of a plain column are fed one by one
// in slot order, so feeding a column in any sequence of slices gives the
// same state, bit for bit, as feeding it whole. A dictionary slice is first
// counted per index (in an array the size of the dictionary, or, for a
// slice under 1/8 of it, by sorting its indices). While its values cannot
// take the state past 1,000 hashes, each used dictionary value is then fed
// once, weighted by its count; otherwise the slots are fed one by one, in
// order, each used value hashed once. Either way the state is that of the
// decoded slice, bit for bit. A null slot, or a dictionary index that names
// a null value, is missing. Every check (offsets and views of the slots
// read, dictionary indices in range, counters within 2^64 - 1) runs before
// the first change, so an observe that throws leaves the state as it was.
//
// Merges: exact states whose union has at most 1,000 hashes merge exactly
// (labels of the first operand kept); otherwise each exact operand is
// switched as above and the sketches merge (HyperLogLog registers by
// maximum, the summaries by their one overflow rule), the first operand's
// labels kept. Counts and exact-mode results do not depend on the merge
// order; sketch results depend on the order, which the engine fixes.
//
// Invariants: count + missing <= 2^64 - 1. Exact mode: the counts sum to
// count, at most 1,000 entries. Sketch mode: more than 1,000 present values,
// the summary's counts sum to at most count, at most 1,024 counters.
class TextColumn {
 public:
  static constexpr std::size_t exact_limit = 1000;
  static constexpr std::size_t top_size = 32;

  TextColumn() = default;
  TextColumn(const TextColumn& other)
      : count_(other.count_),
        missing_(other.missing_),
        exact_(other.exact_),
        sketch_(other.sketch_ ? std::make_unique<Sketch>(*other.sketch_) : nullptr) {}
  TextColumn(TextColumn&&) noexcept = default;
  TextColumn& operator=(const TextColumn& other) {
    if (this != &other) *this = TextColumn(other);
    return *this;
  }
  TextColumn& operator=(TextColumn&&) noexcept = default;

  static bool reads(const ArrowSchemaView& field) noexcept {
    if (field.type != NANOARROW_TYPE_DICTIONARY) return text_detail::is_text_storage(field.type);
    if (field.schema == nullptr || field.schema->dictionary == nullptr) return false;
    ArrowSchemaView values;
    if (ArrowSchemaViewInit(&values, field.schema->dictionary, nullptr) != NANOARROW_OK) return false;
    return text_detail::is_text_storage(values.type);
  }

  void observe(const ColumnView& column) {
    const ArrowArrayView& array = *column.array;
    if (column.length == 0) return;
    if (array.dictionary != nullptr) {
      observe_dictionary(column);
      return;
    }
    const std::int64_t begin = array.offset + column.first_slot;
    const std::int64_t end = begin + column.length;
    const std::uint8_t* validity = array.buffer_views[0].data.as_uint8;
    text_detail::with_text_layout(array.storage_type, [&]<text_detail::TextLayout L>() {
      const text_detail::TextValues values{&array};
      const std::uint64_t nulls = for_each_valid_slot(validity, begin, end, [&](std::int64_t i) {
        const std::uint8_t* bytes = nullptr;
        std::size_t n = 0;
        if (!values.value<L>(i, bytes, n)) {
          text_detail::bad_text_value<L>(column.name, "slot " + std::to_string(i - array.offset));
        }
      });
      const auto present = static_cast<std::uint64_t>(column.length) - nulls;
      require_room(present, nulls);
      count_ += present;
      missing_ += nulls;
      feed_slots<L>(values, validity, begin, end);
    });
  }

  void add_missing(std::uint64_t n) {
    require_room(0, n);
    missing_ += n;
  }

  void merge(const TextColumn& other) {
    if (count_sum_overflows(seen(), other.seen())) throw CountOverflow(merged_counts_overflow);
    TextColumn out;
    out.count_ = count_ + other.count_;
    out.missing_ = missing_ + other.missing_;
    if (!sketch_ && !other.sketch_ && union_fits(other)) {
      out.exact_ = exact_;
      const text_detail::HashedCounts& b = other.exact_;
      for (const std::size_t e : b.by_hash()) {
        if (const std::size_t f = out.exact_.find(b.hash(e)); f != text_detail::HashedCounts::npos) {
          out.exact_.add(f, b.count(e));
        } else {
          out.exact_.insert(b.hash(e), b.label(e), b.count(e));
        }
      }
    } else {
      out.sketch_ = sketch_ ? std::make_unique<Sketch>(*sketch_) : sketch_of(exact_);
      const std::unique_ptr<Sketch> converted = other.sketch_ ? nullptr : sketch_of(other.exact_);
      const Sketch& b = other.sketch_ ? *other.sketch_ : *converted;
      out.sketch_->hll = tessary::merged(out.sketch_->hll, b.hll);
      out.sketch_->top.merge(b.top, [](std::uint64_t hash) { return hash; });
    }
    *this = std::move(out);
  }

  TextSummary summary() const {
    TextSummary s;
    s.count = count_;
    s.missing = missing_;
    s.exact = !sketch_;
    // (count, label, hash) of every counter.
    std::vector<std::tuple<std::uint64_t, std::string_view, std::uint64_t>> rows;
    if (sketch_) {
      const TopValues& top = sketch_->top;
      rows.reserve(top.size());
      top.for_each_entry([&](std::size_t e) {
        if (top.count(e) >= least_top_count) rows.emplace_back(top.count(e), top.label(e).view(), top.key(e));
      });
      // More than 1,000 distinct values were seen, and no more than there are values.
      const double estimate = std::round(sketch_->hll.estimate());
      const auto rounded = estimate >= 0x1p64 ? std::numeric_limits<std::uint64_t>::max()
                                              : static_cast<std::uint64_t>(estimate);
      s.distinct = std::clamp<std::uint64_t>(rounded, exact_limit + 1, count_);
    } else {
      rows.reserve(exact_.size());
      for (std::size_t e = 0; e < exact_.size(); ++e) {
        if (exact_.count(e) >= least_top_count) rows.emplace_back(exact_.count(e), exact_.label(e), exact_.hash(e));
      }
      s.distinct = exact_.size();
    }
    const auto before = [](const auto& a, const auto& b) {
      const auto& [a_count, a_label, a_hash] = a;
      const auto& [b_count, b_label, b_hash] = b;
      if (a_count != b_count) return a_count > b_count;
      if (const int c = a_label.compare(b_label); c != 0) return c < 0;
      return a_hash < b_hash;
    };
    const std::size_t shown = std::min(rows.size(), top_size);
    std::partial_sort(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(shown), rows.end(), before);
    for (std::size_t k = 0; k < shown; ++k) s.top.emplace_back(std::string(std::get<1>(rows[k])), std::get<0>(rows[k]));
    return s;
  }

  // Every value in exact mode; in sketch mode the counters, whose
  // undercount is at most the weight the overflow rule took away over K + 1
  // (each subtraction of d takes d from at least K + 1 counters).
  TextDetail detail() const {
    TextDetail d;
    d.count = count_;
    d.exact = !sketch_;
    if (sketch_) {
      const TopValues& top = sketch_->top;
      d.values.reserve(top.size());
      std::uint64_t counted = 0;
      for (const std::size_t e : top.by_key()) {
        d.values.emplace_back(top.key(e), std::string(top.label(e).view()), top.count(e));
        counted += top.count(e);
      }
      d.undercount = (count_ - counted) / (TopValues::guaranteed + 1);
    } else {
      d.values.reserve(exact_.size());
      for (const std::size_t e : exact_.by_hash()) {
        d.values.emplace_back(exact_.hash(e), std::string(exact_.label(e)), exact_.count(e));
      }
    }
    return d;
  }

  std::uint64_t seen() const noexcept { return count_ + missing_; }

  std::size_t memory_bytes() const noexcept {
    std::size_t bytes = sizeof(TextColumn) + exact_.heap_bytes();
    if (sketch_) bytes += sizeof(Sketch);
    return bytes;
  }

  // u8 version 1, varint count, varint missing, u8 mode (0 exact, 1
  // sketches); exact: varint n, n times (u64 hash, varint count, label),
  // by ascending hash; sketches: the HyperLogLog, then the summary's
  // counters as the exact entries. A label is varint length and bytes.
  void encode(ByteWriter& out) const {
    out.u8(1);
    out.varint(count_);
    out.varint(missing_);
    out.u8(sketch_ ? 1 : 0);
    if (!sketch_) {
      encode_counts(out, exact_.by_hash(), [this](std::size_t e) {
        return std::tuple(exact_.hash(e), exact_.count(e), exact_.label(e));
      });
      return;
    }
    codec::encode(out, sketch_->hll);
    const TopValues& top = sketch_->top;
    encode_counts(out, top.by_key(), [&top](std::size_t e) {
      return std::tuple(top.key(e), top.count(e), top.label(e).view());
    });
  }

  static TextColumn decode(ByteReader& in, DecodeBudget&) {
    if (in.u8() != 1) throw_corrupt("unknown text column version");
    TextColumn s;
    s.count_ = in.varint();
    s.missing_ = in.varint();
    if (count_sum_overflows(s.count_, s.missing_)) throw_corrupt("text column counts beyond 2^64 - 1");
    const std::uint8_t mode = in.u8();
    if (mode > 1) throw_corrupt("text column mode");
    std::uint64_t total = 0;
    if (mode == 0) {
      decode_counts(in, exact_limit, total, [&s](std::uint64_t hash, std::string_view label, std::uint64_t count) {
        s.exact_.insert(hash, label, count);
      });
      if (total != s.count_) throw_corrupt("text column counts disagree");
      return s;
    }
    if (s.count_ <= exact_limit) throw_corrupt("text sketches of too few values");
    s.sketch_ = std::make_unique<Sketch>();
    codec::decode(in, s.sketch_->hll);
    codec::check_registers_set(s.sketch_->hll, s.count_);
    decode_counts(in, TopValues::capacity, total, [&s](std::uint64_t hash, std::string_view label, std::uint64_t count) {
      s.sketch_->top.add(hash, count, hash, label);
    });
    if (total > s.count_) throw_corrupt("text column counts disagree");
    return s;
  }

 private:
  using TopValues = MisraGries<text_detail::TextLabel, 1024>;

  struct Sketch {
    HyperLogLog hll;
    TopValues top;
  };

  // Throws CountOverflow unless count + present and the total stay within 2^64 - 1.
  void require_room(std::uint64_t present, std::uint64_t nulls) const {
    if (count_sum_overflows(present, nulls) || count_sum_overflows(seen(), present + nulls)) {
      throw CountOverflow(updated_counts_overflow);
    }
  }

  bool union_fits(const TextColumn& other) const {
    std::size_t size = exact_.size();
    for (std::size_t e = 0; e < other.exact_.size() && size <= exact_limit; ++e) {
      size += exact_.find(other.exact_.hash(e)) == text_detail::HashedCounts::npos;
    }
    return size <= exact_limit;
  }

  static std::unique_ptr<Sketch> sketch_of(const text_detail::HashedCounts& exact) {
    auto s = std::make_unique<Sketch>();
    for (const std::size_t e : exact.by_hash()) {
      s->hll.observe_hash(exact.hash(e));
      s->top.add(exact.hash(e), exact.count(e), exact.hash(e), exact.label(e));
    }
    return s;
  }

  [[gnu::noinline]] void switch_to_sketch() {
    sketch_ = sketch_of(exact_);
    exact_ = text_detail::HashedCounts();
  }

  // One value, `weight` times; count_ and missing_ are the caller's.
  [[gnu::always_inline]] void feed(std::uint64_t hash, const std::uint8_t* bytes, std::size_t n,
                                   std::uint64_t weight) {
    const std::string_view label(reinterpret_cast<const char*>(bytes), std::min(n, text_detail::label_bytes));
    if (!sketch_) {
      if (const std::size_t e = exact_.find(hash); e != text_detail::HashedCounts::npos) {
        exact_.add(e, weight);
        return;
      }
      if (exact_.size() < exact_limit) {
        exact_.insert(hash, label, weight);
        return;
      }
      switch_to_sketch();
    }
    sketch_->hll.observe_hash(hash);
    sketch_->top.add(hash, weight, hash, label);
  }

  // Hashes a block of values before feeding any: the hash of each is a
  // chain of dependent multiplications, and with no table lookup between
  // them (whose branches the processor cannot predict) the chains of
  // successive values overlap.
  template <text_detail::TextLayout L>
  [[gnu::noinline]] void feed_slots(const text_detail::TextValues values, const std::uint8_t* validity,
                                    std::int64_t begin, std::int64_t end) {
    constexpr std::int64_t block = 128;
    std::uint64_t hashes[block];
    const std::uint8_t* starts[block];
    std::size_t sizes[block];
    for (std::int64_t from = begin; from < end; from += block) {
      std::size_t k = 0;
      for_each_valid_slot(validity, from, std::min(end, from + block), [&](std::int64_t i) __attribute__((always_inline)) {
        const std::uint8_t* bytes = nullptr;
        std::size_t n = 0;
        values.value<L>(i, bytes, n);  // checked before
        starts[k] = bytes;
        sizes[k++] = n;
      });
      // Two values at a time, their common length in one loop.
      std::size_t j = 0;
      for (; j + 1 < k; j += 2) {
        const std::size_t common = std::min(sizes[j], sizes[j + 1]);
        std::uint64_t f = fnv1a64_offset_basis;
        std::uint64_t g = fnv1a64_offset_basis;
        const std::uint8_t* a = starts[j];
        const std::uint8_t* b = starts[j + 1];
        for (std::size_t c = 0; c < common; ++c) {
          f = (f ^ a[c]) * fnv1a64_prime;
          g = (g ^ b[c]) * fnv1a64_prime;
        }
        f = fnv1a64_update(f, a + common, sizes[j] - common);
        g = fnv1a64_update(g, b + common, sizes[j + 1] - common);
        hashes[j] = string_hash_finish(f, sizes[j]);
        hashes[j + 1] = string_hash_finish(g, sizes[j + 1]);
      }
      if (j < k) hashes[j] = string_hash(starts[j], sizes[j]);
      for (j = 0; j < k; ++j) feed(hashes[j], starts[j], sizes[j], 1);
    }
  }

  void observe_dictionary(const ColumnView& column) {
    const ArrowArrayView& array = *column.array;
    const ArrowArrayView& dictionary = *array.dictionary;
    const std::int64_t begin = array.offset + column.first_slot;
    const std::int64_t end = begin + column.length;
    const std::int64_t size = dictionary.length;
    // The uses of each dictionary value in the slice: counted in an array
    // the size of the dictionary, or, for a slice much shorter than that,
    // by sorting the indices of the slice.
    const bool few = column.length < size / 8;
    std::vector<std::uint64_t> uses;
    std::vector<std::uint64_t> picked;
    if (few) {
      picked.reserve(static_cast<std::size_t>(column.length));
    } else {
      uses.resize(static_cast<std::size_t>(size));
    }
    const std::uint8_t* validity = array.buffer_views[0].data.as_uint8;
    const auto count_indices = [&]<typename Index>(const Index* indices, auto record) {
      return for_each_valid_slot(validity, begin, end, [&](std::int64_t i) {
        const Index index = indices[i];
        if (index < 0 || static_cast<std::uint64_t>(index) >= static_cast<std::uint64_t>(size)) {
          throw ArrowImportError(ArrowImportError::Kind::malformed,
                                 "column '" + std::string(column.name) + "': slot " + std::to_string(i - array.offset) +
                                     " holds the dictionary index " + std::to_string(index) +
                                     ", outside a dictionary of " + std::to_string(size) + " values");
        }
        record(static_cast<std::uint64_t>(index));
      });
    };
    const ArrowBufferViewData indices = array.buffer_views[1].data;
    const auto read_indices = [&](auto record) -> std::uint64_t {
      switch (array.storage_type) {
        case NANOARROW_TYPE_INT8: return count_indices(indices.as_int8, record);
        case NANOARROW_TYPE_UINT8: return count_indices(indices.as_uint8, record);
        case NANOARROW_TYPE_INT16: return count_indices(indices.as_int16, record);
        case NANOARROW_TYPE_UINT16: return count_indices(indices.as_uint16, record);
        case NANOARROW_TYPE_INT32: return count_indices(indices.as_int32, record);
        case NANOARROW_TYPE_UINT32: return count_indices(indices.as_uint32, record);
        case NANOARROW_TYPE_INT64: return count_indices(indices.as_int64, record);
        default: return count_indices(indices.as_uint64, record);
      }
    };
    std::uint64_t missing = few ? read_indices([&](std::uint64_t k) { picked.push_back(k); })
                                : read_indices([&](std::uint64_t k) { ++uses[k]; });
    std::sort(picked.begin(), picked.end());
    // f(k, n) for each dictionary value k used n > 0 times, by ascending k.
    const auto for_each_use = [&](auto f) {
      if (few) {
        for (std::size_t i = 0, j = 0; i < picked.size(); i = j) {
          while (j < picked.size() && picked[j] == picked[i]) ++j;
          f(static_cast<std::int64_t>(picked[i]), static_cast<std::uint64_t>(j - i));
        }
        return;
      }
      for (std::int64_t k = 0; k < size; ++k) {
        if (uses[static_cast<std::size_t>(k)] != 0) f(k, uses[static_cast<std::size_t>(k)]);
      }
    };
    const std::uint8_t* value_validity = dictionary.buffer_views[0].data.as_uint8;
    const auto valid = [&](std::int64_t k) {
      return value_validity == nullptr || ArrowBitGet(value_validity, dictionary.offset + k);
    };
    text_detail::with_text_layout(dictionary.storage_type, [&]<text_detail::TextLayout L>() {
      const text_detail::TextValues values{&dictionary};
      // The bytes of dictionary value k, checked by the first pass below.
      const auto text_of = [&](std::int64_t k) {
        std::pair<const std::uint8_t*, std::size_t> text{nullptr, 0};
        values.value<L>(dictionary.offset + k, text.first, text.second);
        return text;
      };
      std::uint64_t present = 0;
      std::size_t distinct_used = 0;
      for_each_use([&](std::int64_t k, std::uint64_t n_uses) {
        if (!valid(k)) {
          missing += n_uses;
          return;
        }
        present += n_uses;
        ++distinct_used;
        const std::uint8_t* bytes = nullptr;
        std::size_t n = 0;
        if (!values.value<L>(dictionary.offset + k, bytes, n)) {
          text_detail::bad_text_value<L>(column.name, "dictionary value " + std::to_string(k));
        }
      });
      require_room(present, missing);
      count_ += present;
      missing_ += missing;
      if (!sketch_ && exact_.size() + distinct_used <= exact_limit) {
        // No switch can happen: exact counts do not depend on the order.
        for_each_use([&](std::int64_t k, std::uint64_t n_uses) {
          if (!valid(k)) return;
          const auto [bytes, n] = text_of(k);
          feed(string_hash(bytes, n), bytes, n, n_uses);
        });
        return;
      }
      // Slot by slot, as the decoded slice would be fed, each used value
      // hashed once (its hash kept in place of its count).
      if (!few) {
        for_each_use([&](std::int64_t k, std::uint64_t) {
          if (!valid(k)) return;
          const auto [bytes, n] = text_of(k);
          uses[static_cast<std::size_t>(k)] = string_hash(bytes, n);
        });
      }
      read_indices([&](std::uint64_t k) {
        if (!valid(static_cast<std::int64_t>(k))) return;
        const auto [bytes, n] = text_of(static_cast<std::int64_t>(k));
        feed(few ? string_hash(bytes, n) : uses[static_cast<std::size_t>(k)], bytes, n, 1);
      });
    });
  }

  // The entries `order`, each read by entry(e) as (hash, count, label).
  template <typename Entry>
  static void encode_counts(ByteWriter& out, const std::vector<std::size_t>& order, Entry entry) {
    out.varint(order.size());
    for (const std::size_t e : order) {
      const auto [hash, count, label] = entry(e);
      out.u64(hash);
      out.varint(count);
      out.text(label);
    }
  }

  // Entries by strictly ascending hash, counts of at least 1 summed into
  // `total` without passing 2^64 - 1, labels of at most 32 bytes; a label
  // shorter than that is the whole value, so its hash must be the entry's.
  template <typename Add>
  static void decode_counts(ByteReader& in, std::size_t limit, std::uint64_t& total, Add&& add) {
    const std::size_t n = in.count(limit, 10, "text counts");
    std::uint64_t previous = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t hash = in.u64();
      const std::uint64_t count = in.varint();
      const std::string_view label = in.text(text_detail::label_bytes, "a text label");
      if ((i != 0 && hash <= previous) || count == 0) throw_corrupt("text counts");
      if (label.size() < text_detail::label_bytes && string_hash(label) != hash) throw_corrupt("text label and hash");
      if (count_sum_overflows(total, count)) throw_corrupt("text counts beyond 2^64 - 1");
      total += count;
      add(hash, label, count);
      previous = hash;
    }
  }

  std::uint64_t count_ = 0;
  std::uint64_t missing_ = 0;
  text_detail::HashedCounts exact_;  // exact mode; empty in sketch mode
  std::unique_ptr<Sketch> sketch_;   // sketch mode
};

}  // namespace tessary
