#pragma once

#include <nanoarrow/nanoarrow.h>

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tessary/arrow_import/imported_record_batch.hpp"
#include "tessary/count_overflow.hpp"
#include "tessary/float_classes.hpp"
#include "tessary/hashing.hpp"
#include "tessary/numeric_state.hpp"
#include "tessary/serialization/byte_reader.hpp"
#include "tessary/serialization/byte_writer.hpp"
#include "tessary/serialization/state_codec.hpp"
#include "tessary/sketches/hyper_log_log.hpp"
#include "tessary/table_profile/column_summary.hpp"
#include "tessary/table_profile/number_histogram.hpp"
#include "tessary/table_profile/number_moments.hpp"
#include "tessary/table_profile/relative_buckets.hpp"
#include "tessary/table_profile/misra_gries.hpp"
#include "tessary/table_profile/value_counts.hpp"
#include "tessary/table_profile/value_sample.hpp"
#include "tessary/validity_bitmap.hpp"

namespace tessary {

enum class NumberStorage : std::uint8_t { float64 = 0, int64 = 1, uint64 = 2 };

namespace number_detail {

inline constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;

// A value as stored is a 64-bit word: the bits of a double, or the integer.
// Its order key is an unsigned word that orders as the values do (-0.0
// below +0.0); the counting key is that of the value with -0.0 as +0.0.
template <NumberStorage S>
inline std::uint64_t order_key(std::uint64_t raw) noexcept {
  if constexpr (S == NumberStorage::float64) {
    // Negative: every bit flipped; else the sign bit set. Without a branch:
    // the signs of real data are often as good as random.
    return raw ^ (static_cast<std::uint64_t>(static_cast<std::int64_t>(raw) >> 63) | sign_bit);
  } else if constexpr (S == NumberStorage::int64) {
    return raw ^ sign_bit;
  } else {
    return raw;
  }
}

template <NumberStorage S>
inline std::uint64_t raw_of(std::uint64_t key) noexcept {
  if constexpr (S == NumberStorage::float64) {
    return key ^ (~static_cast<std::uint64_t>(static_cast<std::int64_t>(key) >> 63) | sign_bit);
  } else if constexpr (S == NumberStorage::int64) {
    return key ^ sign_bit;
  } else {
    return key;
  }
}

template <NumberStorage S>
inline std::uint64_t canonical_raw(std::uint64_t raw) noexcept {
  if constexpr (S == NumberStorage::float64) {
    return canonical_bits(std::bit_cast<double>(raw));
  } else {
    return raw;
  }
}

// value_hash for floats; integers hash the integer itself.
template <NumberStorage S>
inline std::uint64_t hash_of(std::uint64_t raw) noexcept {
  return splitmix64(canonical_raw<S>(raw));
}

template <NumberStorage S>
inline double as_double(std::uint64_t raw) noexcept {
  if constexpr (S == NumberStorage::float64) {
    return std::bit_cast<double>(raw);
  } else if constexpr (S == NumberStorage::int64) {
    return static_cast<double>(static_cast<std::int64_t>(raw));
  } else {
    return static_cast<double>(raw);
  }
}

template <NumberStorage S>
inline __int128 as_int128(std::uint64_t raw) noexcept {
  if constexpr (S == NumberStorage::int64) {
    return static_cast<std::int64_t>(raw);
  } else {
    return raw;
  }
}

// The magnitude's bits as a double and the sign (1 negative).
template <NumberStorage S>
inline std::pair<std::uint64_t, int> magnitude_of(std::uint64_t raw) noexcept {
  if constexpr (S == NumberStorage::float64) {
    return {raw & ~sign_bit, static_cast<int>(raw >> 63)};
  } else if constexpr (S == NumberStorage::int64) {
    const bool negative = (raw >> 63) != 0;
    const std::uint64_t magnitude = negative ? 0 - raw : raw;
    return {std::bit_cast<std::uint64_t>(static_cast<double>(magnitude)), static_cast<int>(negative)};
  } else {
    return {std::bit_cast<std::uint64_t>(static_cast<double>(raw)), 0};
  }
}

template <NumberStorage S>
inline StoredNumber stored(std::uint64_t raw) noexcept {
  if constexpr (S == NumberStorage::float64) {
    return std::bit_cast<double>(raw);
  } else if constexpr (S == NumberStorage::int64) {
    return static_cast<std::int64_t>(raw);
  } else {
    return raw;
  }
}

template <typename F>
decltype(auto) dispatch(NumberStorage s, F&& f) {
  switch (s) {
    case NumberStorage::float64:
      return f.template operator()<NumberStorage::float64>();
    case NumberStorage::int64:
      return f.template operator()<NumberStorage::int64>();
    default:
      return f.template operator()<NumberStorage::uint64>();
  }
}

}  // namespace number_detail

// The state of one number column of the table engine.
//
// Algorithm: every slot advances the stream position; null and NaN count
// as missing, +-inf as infinite; each finite value, as stored (a double or
// a 64-bit integer), goes to
// - the extremes (exact in storage; -0.0 below +0.0);
// - the pending block of moments (number_moments.hpp): at 512 values the
//   block is summarised and merged into the running moments, integers also
//   into their exact power sums, so blocks are aligned to the stream;
// - the exact value counts while at most 1,000 distinct values were seen;
//   the first value beyond switches, deterministically, to sketches fed
//   from the counts: HyperLogLog over the value hash, Misra-Gries top
//   counters (misra_gries.hpp: a table of 384 with the guarantee of 256),
//   the fine equal-width histogram (at most 1,536 bins) and the relative
//   buckets (at most 1,536 per sign), each sized to the range it spans;
// - the sample (value_sample.hpp), at its stream position.
// Quantiles beyond exact mode come from the histogram bin or the relative
// bucket holding the rank, whichever bounds the error tighter, rounded to
// an integer for integer storage and clamped to the extremes.
//
// Guarantee: any split of a stream into observe() and add_missing() calls
// gives identical bits. merge() gives identical counts, extremes, bins and
// exact counts, and moments equal up to rounding. The state stays below
// 64 KB; a fresh state allocates nothing.
//
// Invariants: count + missing + infinite <= 2^64 - 1; position <= seen;
// flushed moments count + pending values == count, pending < 512; in
// exact mode the counts sum to count; in sketch mode the histogram and
// buckets sum to count and the top counters to at most count; the sample
// holds min(count, 256) entries.
class NumberColumn {
 public:
  using Storage = NumberStorage;
  static constexpr std::uint8_t version = 2;
  static constexpr std::size_t histogram_bins = 1536;
  static constexpr std::size_t bucket_window = 1536;
  static constexpr std::size_t summary_bins = 64;
  static constexpr std::size_t top_reported = 32;

  NumberColumn() = default;
  NumberColumn(Storage storage, std::uint64_t stream_id) : storage_(storage), stream_id_(stream_id) {}

  NumberColumn(const NumberColumn& other)
      : storage_(other.storage_),
        stream_id_(other.stream_id_),
        position_(other.position_),
        count_(other.count_),
        missing_(other.missing_),
        infinite_(other.infinite_),
        low_key_(other.low_key_),
        high_key_(other.high_key_),
        moments_(other.moments_),
        sums_(other.sums_),
        pending_(other.pending_),
        exact_(other.exact_),
        exact_distinct_(other.exact_distinct_ ? std::make_unique<HyperLogLog>(*other.exact_distinct_) : nullptr),
        sketches_(other.sketches_ ? std::make_unique<Sketches>(*other.sketches_) : nullptr),
        sample_(other.sample_) {}
  NumberColumn& operator=(const NumberColumn& other) {
    if (this != &other) {
      NumberColumn copy(other);
      *this = std::move(copy);
    }
    return *this;
  }
  NumberColumn(NumberColumn&&) noexcept = default;
  NumberColumn& operator=(NumberColumn&&) noexcept = default;

  static std::optional<Storage> storage_of(const ArrowSchemaView& field) noexcept {
    switch (field.type) {
      case NANOARROW_TYPE_INT8:
      case NANOARROW_TYPE_INT16:
      case NANOARROW_TYPE_INT32:
      case NANOARROW_TYPE_INT64:
      case NANOARROW_TYPE_DATE32:
      case NANOARROW_TYPE_DATE64:
      case NANOARROW_TYPE_TIME32:
      case NANOARROW_TYPE_TIME64:
      case NANOARROW_TYPE_TIMESTAMP:
      case NANOARROW_TYPE_DURATION:
        return Storage::int64;
      case NANOARROW_TYPE_UINT8:
      case NANOARROW_TYPE_UINT16:
      case NANOARROW_TYPE_UINT32:
      case NANOARROW_TYPE_UINT64:
        return Storage::uint64;
      case NANOARROW_TYPE_FLOAT:
      case NANOARROW_TYPE_DOUBLE:
        return Storage::float64;
      default:
        return std::nullopt;
    }
  }

  Storage storage() const noexcept { return storage_; }
  std::uint64_t stream_id() const noexcept { return stream_id_; }
  std::uint64_t seen() const noexcept { return count_ + missing_ + infinite_; }

  void observe(const ColumnView& column) {
    const auto length = static_cast<std::uint64_t>(column.length);
    require_room(length);
    if (length == 0) return;
    const ArrowArrayView& array = *column.array;
    const std::int64_t begin = array.offset + column.first_slot;
    const std::int64_t end = begin + column.length;
    const std::uint8_t* validity = array.buffer_views[0].data.as_uint8;
    const void* values = array.buffer_views[1].data.data;
    number_detail::dispatch(storage_, [&]<Storage S>() {
      switch (column.field->storage_type) {
        case NANOARROW_TYPE_INT8: return observe_slots<S>(static_cast<const std::int8_t*>(values), validity, begin, end);
        case NANOARROW_TYPE_INT16: return observe_slots<S>(static_cast<const std::int16_t*>(values), validity, begin, end);
        case NANOARROW_TYPE_INT32: return observe_slots<S>(static_cast<const std::int32_t*>(values), validity, begin, end);
        case NANOARROW_TYPE_INT64: return observe_slots<S>(static_cast<const std::int64_t*>(values), validity, begin, end);
        case NANOARROW_TYPE_UINT8: return observe_slots<S>(static_cast<const std::uint8_t*>(values), validity, begin, end);
        case NANOARROW_TYPE_UINT16: return observe_slots<S>(static_cast<const std::uint16_t*>(values), validity, begin, end);
        case NANOARROW_TYPE_UINT32: return observe_slots<S>(static_cast<const std::uint32_t*>(values), validity, begin, end);
        case NANOARROW_TYPE_UINT64: return observe_slots<S>(static_cast<const std::uint64_t*>(values), validity, begin, end);
        case NANOARROW_TYPE_FLOAT: return observe_slots<S>(static_cast<const float*>(values), validity, begin, end);
        default: return observe_slots<S>(static_cast<const double*>(values), validity, begin, end);
      }
    });
  }

  void add_missing(std::uint64_t n) {
    require_room(n);
    missing_ += n;
    position_ += n;
  }

  void merge(const NumberColumn& other_in) {
    if (count_sum_overflows(seen(), other_in.seen())) throw CountOverflow(merged_counts_overflow);
    const NumberColumn copy_of_self = &other_in == this ? other_in : NumberColumn();
    const NumberColumn& other = &other_in == this ? copy_of_self : other_in;
    number_detail::dispatch(storage_, [&]<Storage S>() { merge_from<S>(other); });
  }

  NumberSummary summary() const {
    return number_detail::dispatch(storage_, [&]<Storage S>() { return summarise<S>(); });
  }

  NumberDetail detail() const {
    return number_detail::dispatch(storage_, [&]<Storage S>() { return detail_of<S>(); });
  }

  std::size_t memory_bytes() const noexcept {
    return sizeof(NumberColumn) + pending_.capacity() * sizeof(std::uint64_t) + exact_.memory_bytes() +
           (exact_distinct_ ? sizeof(HyperLogLog) : 0) +
           (sketches_ ? sizeof(Sketches) + sketches_->histogram.counts.memory_bytes() +
                            sketches_->buckets.counts[0].memory_bytes() + sketches_->buckets.counts[1].memory_bytes()
                      : 0) +
           sample_.memory_bytes();
  }

  void encode(ByteWriter& out) const {
    number_detail::dispatch(storage_, [&]<Storage S>() { encode_as<S>(out); });
  }

  static NumberColumn decode(ByteReader& in, DecodeBudget& budget) {
    if (in.u8() != version) throw_corrupt("number column version");
    const std::uint8_t storage = in.u8();
    if (storage > 2) throw_corrupt("number column storage");
    NumberColumn c(static_cast<Storage>(storage), 0);
    number_detail::dispatch(c.storage_, [&]<Storage S>() { c.decode_as<S>(in, budget); });
    return c;
  }

 private:
  using TopCounters = MisraGries<NoLabel, 384>;

  struct Sketches {
    HyperLogLog hll;
    TopCounters top;
    EqualWidthHistogram<histogram_bins> histogram;
    RelativeBuckets<bucket_window> buckets;
  };

  static constexpr std::size_t block_size = BlockMoments::block_size;
  // Slots taken at a time, so that what a pass keeps aside (positions,
  // hashes, offered sample entries) stays small.
  static constexpr std::size_t chunk = 256;
  static constexpr std::size_t levels = summary_quantile_levels.size();
  using Ranks = std::array<std::uint64_t, levels>;

  void require_room(std::uint64_t more) const {
    if (count_sum_overflows(seen(), more) || count_sum_overflows(position_, more)) {
      throw CountOverflow(updated_counts_overflow);
    }
  }

  // ------------------------------------------------------------ observing

  template <Storage S, typename Element>
  void observe_slots(const Element* values, const std::uint8_t* validity, std::int64_t begin, std::int64_t end) {
    const auto length = static_cast<std::uint64_t>(end - begin);
    // Everything a run can grow, grown before the loop.
    pending_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(block_size, pending_.size() + length)));
    if (!sketches_) exact_.reserve_for(static_cast<std::size_t>(std::min<std::uint64_t>(length, ValueCounts::limit)) + exact_.size());
    if (!sketches_ && exact_.size() == 0 && length >= chunk && !exact_distinct_) {
      exact_distinct_ = std::make_unique<HyperLogLog>();
    }
    sample_.reserve_for(length);
    const std::uint64_t stream_hash = splitmix64(stream_id_);
    std::array<std::uint64_t, chunk> positions;
    std::uint64_t missing = 0;
    std::uint64_t infinite = 0;
    for (std::int64_t start = begin; start < end;) {
      std::size_t filled = pending_.size();
      const std::size_t first = filled;
      const std::int64_t stop =
          std::min<std::int64_t>(end, start + static_cast<std::int64_t>(std::min(chunk, block_size - filled)));
      pending_.resize(filled + static_cast<std::size_t>(stop - start));  // within the reserved capacity
      std::uint64_t* block = pending_.data();
      const std::uint64_t base_position = position_ - static_cast<std::uint64_t>(begin);
      const auto take = [&](std::int64_t i) __attribute__((always_inline)) {
        const Element v = values[i];
        std::uint64_t raw;
        if constexpr (std::is_floating_point_v<Element>) {
          const double x = static_cast<double>(v);
          raw = std::bit_cast<std::uint64_t>(x);
          const std::uint64_t magnitude = raw & ~number_detail::sign_bit;
          if (magnitude > 0x7fefffffffffffffULL) [[unlikely]] {
            if (magnitude == 0x7ff0000000000000ULL) {
              ++infinite;
            } else {
              ++missing;
            }
            return;
          }
        } else if constexpr (std::is_signed_v<Element>) {
          raw = static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
        } else {
          raw = static_cast<std::uint64_t>(v);
        }
        block[filled] = raw;
        positions[filled - first] = base_position + static_cast<std::uint64_t>(i);
        ++filled;
      };
      missing += for_each_valid_slot(validity, start, stop, take);
      pending_.resize(filled);
      take_values<S>(first, filled, positions.data(), stream_hash);
      if (filled == block_size) flush_block<S>();
      start = stop;
    }
    missing_ += missing;
    infinite_ += infinite;
    position_ += length;
  }

  // The per-value work for pending_[first, last), in passes of simple
  // loops. The extremes come first: the sketches are functions of the
  // extremes at the end and of the values, not of when a range was widened.
  template <Storage S>
  void take_values(std::size_t first, std::size_t last, const std::uint64_t* positions, std::uint64_t stream_hash) {
    const std::uint64_t* block = pending_.data() + first;
    const std::size_t n = last - first;
    std::array<std::uint64_t, chunk> hashes;
    // The entries that can enter the sample, offered together.
    std::array<SampleEntry, chunk> offered;
    const std::uint64_t threshold = sample_.threshold();
    std::size_t m = 0;
    std::uint64_t low = low_key_;
    std::uint64_t high = high_key_;
    for (std::size_t j = 0; j < n; ++j) {
      const std::uint64_t key = number_detail::order_key<S>(block[j]);
      low = std::min(low, key);
      high = std::max(high, key);
      const std::uint64_t hash = number_detail::hash_of<S>(block[j]);
      hashes[j] = hash;
      const std::uint64_t priority = ValueSample::priority(hash, stream_hash, positions[j]);
      // Written always, kept when it may enter: early in a column about
      // every other value may, which a branch would mispredict.
      offered[m] = {priority, key};
      m += priority <= threshold ? 1 : 0;
    }
    low_key_ = low;
    high_key_ = high;
    sample_.offer_many(offered.data(), m);
    std::size_t j = 0;
    if (!sketches_) {
      for (; j < n; ++j) {
        const auto added = exact_.add(number_detail::order_key<S>(number_detail::canonical_raw<S>(block[j])), 1);
        if (added == ValueCounts::Added::inserted && exact_distinct_) {
          exact_distinct_->observe_hash(hashes[j]);
        } else if (added == ValueCounts::Added::refused) [[unlikely]] {
          switch_to_sketches<S>();
          break;
        }
      }
    }
    if (j < n) {
      Sketches& s = *sketches_;
      for (std::size_t i = j; i < n; ++i) {
        s.top.add(number_detail::order_key<S>(number_detail::canonical_raw<S>(block[i])), 1, hashes[i]);
      }
      for (std::size_t i = j; i < n; ++i) add_to_distributions<S>(block[i], hashes[i], 1);
    }
    count_ += n;
  }

  template <Storage S>
  void flush_block() {
    moments_.merge(block_moments<S>(pending_.data(), pending_.size(), &sums_));
    pending_.clear();
  }

  // The moments of a block; for integers its exact sums are added to *sums.
  template <Storage S>
  static BlockMoments block_moments(const std::uint64_t* words, std::size_t n, ExactIntegerSums* sums) {
    if constexpr (S == Storage::float64) {
      return BlockMoments::of_doubles(words, n);
    } else {
      using Integer = std::conditional_t<S == Storage::int64, std::int64_t, std::uint64_t>;
      __int128 sum = 0;
      Wide squares;
      ExactIntegerSums::block<Integer>(words, n, sum, squares);
      sums->add_block(sum, squares);
      return BlockMoments::of_integers<Integer>(words, n, sum);
    }
  }

  // ------------------------------------------------------------ sketches

  template <Storage S>
  static std::int64_t bin_of(std::uint64_t raw, const BinIndexer& indexer) noexcept {
    if constexpr (S == Storage::float64) {
      return indexer.of_double(std::bit_cast<double>(raw));
    } else if constexpr (S == Storage::int64) {
      return static_cast<std::int64_t>(raw) >> indexer.exponent;
    } else {
      return static_cast<std::int64_t>(raw >> indexer.exponent);
    }
  }

  // The smallest exponent at or above `from` and the floor at which the
  // values between the raw extremes span at most `bins` bins.
  template <Storage S>
  static BinIndexer histogram_exponent(std::uint64_t low_raw, std::uint64_t high_raw, std::size_t bins, int from) {
    int floor_exponent;
    if constexpr (S == Storage::float64) {
      const double magnitude =
          std::max(std::fabs(std::bit_cast<double>(low_raw)), std::fabs(std::bit_cast<double>(high_raw)));
      floor_exponent = magnitude == 0.0 ? 0 : std::ilogb(magnitude) - 60;
    } else if constexpr (S == Storage::int64) {
      floor_exponent = 0;
    } else {
      floor_exponent = (high_raw >> 63) != 0 ? 1 : 0;
    }
    // The search starts at `least`: at an exponent e the values span more
    // than span / 2^e bins, which is at least 2^width > bins below it (a
    // float's span allowed a binade for its rounding).
    int least = INT_MIN;
    const int width = static_cast<int>(std::bit_width(bins));
    if constexpr (S == Storage::float64) {
      const double span = std::bit_cast<double>(high_raw) - std::bit_cast<double>(low_raw);
      if (span > 0.0 && span < std::numeric_limits<double>::infinity()) least = std::ilogb(span) - width - 2;
    } else {
      const auto span = static_cast<std::uint64_t>(number_detail::as_int128<S>(high_raw) - number_detail::as_int128<S>(low_raw));
      if (span > 0) least = static_cast<int>(std::bit_width(span)) - width - 3;
    }
    BinIndexer indexer = BinIndexer::at(std::max({from, floor_exponent, least}));
    while (static_cast<__int128>(bin_of<S>(high_raw, indexer)) - bin_of<S>(low_raw, indexer) + 1 >
           static_cast<__int128>(bins)) {
      indexer = BinIndexer::at(indexer.exponent + 1);
    }
    return indexer;
  }

  // The kept window of the relative buckets for the raw extremes.
  template <Storage S>
  static std::int32_t lowest_bucket(std::uint64_t low_raw, std::uint64_t high_raw) noexcept {
    const std::int32_t top = std::max(RelativeBucketLayout::index_of(number_detail::magnitude_of<S>(low_raw).first),
                                      RelativeBucketLayout::index_of(number_detail::magnitude_of<S>(high_raw).first));
    return std::max<std::int32_t>(1, top - static_cast<std::int32_t>(bucket_window) + 1);
  }

  // Brings the histogram to the current extremes: the exponent they call
  // for (bins regridded when it grows) and their bins stored.
  template <Storage S>
  [[gnu::noinline]] void fit_histogram() {
    auto& h = sketches_->histogram;
    const std::uint64_t low_raw = number_detail::raw_of<S>(low_key_);
    const std::uint64_t high_raw = number_detail::raw_of<S>(high_key_);
    const BinIndexer indexer = histogram_exponent<S>(low_raw, high_raw, histogram_bins, h.indexer.exponent);
    const std::int64_t low_bin = bin_of<S>(low_raw, indexer);
    const std::int64_t high_bin = bin_of<S>(high_raw, indexer);
    if (indexer.exponent != h.indexer.exponent) {
      const int shift = indexer.exponent - h.indexer.exponent;
      std::vector<std::uint64_t> counts(static_cast<std::size_t>(high_bin - low_bin + 1), 0);
      h.counts.for_each([&](std::int64_t bin, std::uint64_t n) { counts[static_cast<std::size_t>((bin >> shift) - low_bin)] += n; });
      h.counts.assign(low_bin, std::move(counts));
      h.indexer = indexer;
    } else {
      // At most `histogram_bins` bins stored, the spare ones on the side that
      // grows, and none past either end of the int64 range, where bins may lie.
      constexpr auto most = static_cast<std::int64_t>(histogram_bins) - 1;
      constexpr auto least_bin = std::numeric_limits<std::int64_t>::min();
      constexpr auto greatest_bin = std::numeric_limits<std::int64_t>::max();
      if (!h.counts.empty() && low_bin < h.counts.first()) {
        h.counts.cover(low_bin, high_bin, high_bin < least_bin + most ? least_bin : high_bin - most, high_bin);
      } else {
        h.counts.cover(low_bin, high_bin, low_bin, low_bin > greatest_bin - most ? greatest_bin : low_bin + most);
      }
    }
  }

  // Moves the kept window of the buckets up to the current extremes.
  template <Storage S>
  [[gnu::noinline]] void fit_buckets() {
    auto& b = sketches_->buckets;
    const std::int32_t lowest_kept =
        lowest_bucket<S>(number_detail::raw_of<S>(low_key_), number_detail::raw_of<S>(high_key_));
    if (lowest_kept == b.lowest) return;
    for (std::size_t sign = 0; sign < 2; ++sign) b.collapsed[sign] += b.counts[sign].drop_below(lowest_kept);
    b.lowest = lowest_kept;  // the window only moves up
  }

  // A bucket index at or above the kept window's lowest, into the buckets.
  template <Storage S>
  [[gnu::noinline]] void add_to_bucket(std::int32_t index, int sign, std::uint64_t weight) {
    auto& b = sketches_->buckets;
    if (index >= b.lowest + b.window) fit_buckets<S>();
    auto& counts = b.counts[static_cast<std::size_t>(sign)];
    counts.cover(index, index, b.lowest, b.lowest + b.window - 1);
    counts.add(index, weight);
  }

  // Everything but the top counters.
  template <Storage S>
  [[gnu::always_inline]] inline void add_to_distributions(std::uint64_t raw, std::uint64_t hash, std::uint64_t weight) {
    Sketches& s = *sketches_;
    s.hll.observe_hash(hash);
    auto& h = s.histogram;
    if (!h.counts.add(bin_of<S>(raw, h.indexer), weight)) [[unlikely]] {
      fit_histogram<S>();
      h.counts.add(bin_of<S>(raw, h.indexer), weight);
    }
    auto& b = s.buckets;
    const auto [magnitude, sign] = number_detail::magnitude_of<S>(raw);
    if (magnitude == 0) {
      b.zeros += weight;
      return;
    }
    const std::int32_t index = RelativeBucketLayout::index_of(magnitude);
    if (index < b.lowest) {
      b.collapsed[static_cast<std::size_t>(sign)] += weight;
    } else if (!b.counts[static_cast<std::size_t>(sign)].add(index, weight)) [[unlikely]] {
      add_to_bucket<S>(index, sign, weight);
    }
  }

  template <Storage S>
  [[gnu::always_inline]] inline void add_to_sketches(std::uint64_t raw, std::uint64_t hash, std::uint64_t weight) {
    sketches_->top.add(number_detail::order_key<S>(number_detail::canonical_raw<S>(raw)), weight, hash);
    add_to_distributions<S>(raw, hash, weight);
  }

  // Sketches for the current extremes, empty.
  template <Storage S>
  std::unique_ptr<Sketches> fresh_sketches() const {
    auto s = std::make_unique<Sketches>();
    const std::uint64_t low_raw = number_detail::raw_of<S>(low_key_);
    const std::uint64_t high_raw = number_detail::raw_of<S>(high_key_);
    auto& h = s->histogram;
    h.indexer = histogram_exponent<S>(low_raw, high_raw, histogram_bins, INT_MIN);
    const std::int64_t low_bin = bin_of<S>(low_raw, h.indexer);
    h.counts.assign(low_bin, std::vector<std::uint64_t>(static_cast<std::size_t>(bin_of<S>(high_raw, h.indexer) - low_bin + 1), 0));
    s->buckets.lowest = lowest_bucket<S>(low_raw, high_raw);
    return s;
  }

  // Fills `top`, empty, with the top counters of exact counts, a function of
  // the counts alone (not of their order): with c the count ranked just past
  // the table's capacity (0 with fewer keys), every key counted above c, with
  // its count less c.
  template <Storage S>
  static void top_of_counts(std::span<const ValueCounts::Entry> counts, TopCounters& top) {
    std::uint64_t cut = 0;
    std::size_t repeated = 0;
    for (const auto& entry : counts) repeated += entry.second > 1 ? 1 : 0;
    if (counts.size() > TopCounters::capacity && repeated <= TopCounters::capacity) {
      cut = 1;  // few counts above 1: the one past capacity is 1
    } else if (counts.size() > TopCounters::capacity) {
      std::vector<std::uint64_t> n(counts.size());
      for (std::size_t i = 0; i < counts.size(); ++i) n[i] = counts[i].second;
      std::nth_element(n.begin(), n.begin() + TopCounters::capacity, n.end(), std::greater<>());
      cut = n[TopCounters::capacity];
    }
    if (cut == 1 && repeated == 0) return;  // every key counted once: none above the cut
    for (const auto& [key, n] : counts) {
      if (n > cut) top.add(key, n - cut, number_detail::hash_of<S>(number_detail::raw_of<S>(key)));
    }
  }

  // Exact counts, in any order, into the sketches but their top counters,
  // in two passes: the HyperLogLog (unless `distinct_known`: it holds their
  // keys already) and each sign's range of kept buckets, which is then
  // stored; then the bins and the buckets. Every count lies
  // within the current extremes, whose bins are stored, so the second pass
  // adds through local pointers without checks for growth (a store into a
  // one-byte register or a count may alias any field, which would otherwise
  // be read again for each count).
  template <Storage S>
  void add_counts_to_distributions(std::span<const ValueCounts::Entry> counts, bool distinct_known) {
    Sketches& s = *sketches_;
    auto& b = s.buckets;
    const std::int32_t lowest = b.lowest;
    std::array<std::int32_t, 2> low{INT32_MAX, INT32_MAX};
    std::array<std::int32_t, 2> high{INT32_MIN, INT32_MIN};
    for (const auto& entry : counts) {
      const std::uint64_t raw = number_detail::raw_of<S>(entry.first);
      if (!distinct_known) s.hll.observe_hash(number_detail::hash_of<S>(raw));
      const auto [magnitude, sign] = number_detail::magnitude_of<S>(raw);
      const std::int32_t index = RelativeBucketLayout::index_of(magnitude);  // a zero's, 0, is never kept
      const bool kept = index >= lowest;
      std::int32_t& least = low[static_cast<std::size_t>(sign)];
      std::int32_t& most = high[static_cast<std::size_t>(sign)];
      least = kept ? std::min(least, index) : least;
      most = kept ? std::max(most, index) : most;
    }
    std::array<std::uint64_t*, 2> buckets{};
    std::array<std::int64_t, 2> first_bucket{};
    for (std::size_t sign = 0; sign < 2; ++sign) {
      if (low[sign] > high[sign]) continue;
      b.counts[sign].cover(low[sign], high[sign], lowest, lowest + b.window - 1);
      buckets[sign] = b.counts[sign].stored();
      first_bucket[sign] = b.counts[sign].first();
    }
    const BinIndexer indexer = s.histogram.indexer;
    std::uint64_t* const bins = s.histogram.counts.stored();
    const std::int64_t first_bin = s.histogram.counts.first();
    std::uint64_t zeros = 0;
    std::array<std::uint64_t, 2> collapsed{};
    for (const auto& [key, n] : counts) {
      const std::uint64_t raw = number_detail::raw_of<S>(key);
      bins[bin_of<S>(raw, indexer) - first_bin] += n;
      const auto [magnitude, sign] = number_detail::magnitude_of<S>(raw);
      const auto side = static_cast<std::size_t>(sign);
      if (magnitude == 0) {
        zeros += n;
        continue;
      }
      const std::int32_t index = RelativeBucketLayout::index_of(magnitude);
      if (index < lowest) {
        collapsed[side] += n;
        continue;
      }
      buckets[side][index - first_bucket[side]] += n;
    }
    b.zeros += zeros;
    for (std::size_t sign = 0; sign < 2; ++sign) b.collapsed[sign] += collapsed[sign];
  }

  // Sketches for the exact counts `counts`: the column's own, or, in a
  // merge, those of both sides (exact_distinct_, of this side's alone, is
  // let go first).
  template <Storage S>
  void counts_to_sketches(std::span<const ValueCounts::Entry> counts) {
    sketches_ = fresh_sketches<S>();
    if (exact_distinct_) sketches_->hll = *exact_distinct_;
    add_counts_to_distributions<S>(counts, exact_distinct_ != nullptr);
    top_of_counts<S>(counts, sketches_->top);
    exact_.clear_and_release();
    exact_distinct_.reset();
  }

  template <Storage S>
  [[gnu::noinline]] void switch_to_sketches() {
    counts_to_sketches<S>(exact_.take_entries());
  }

  // ------------------------------------------------------------ merging

  template <Storage S>
  void merge_from(const NumberColumn& other) {
    if (other.count_ != 0) {
      low_key_ = count_ != 0 ? std::min(low_key_, other.low_key_) : other.low_key_;
      high_key_ = count_ != 0 ? std::max(high_key_, other.high_key_) : other.high_key_;
    }
    count_ += other.count_;
    missing_ += other.missing_;
    infinite_ += other.infinite_;
    moments_.merge(other.moments_);
    sums_.merge(other.sums_);
    exact_distinct_.reset();  // it would hold this side's keys alone
    pending_.reserve(block_size);
    for (const std::uint64_t raw : other.pending_) {
      pending_.push_back(raw);
      if (pending_.size() == block_size) flush_block<S>();
    }
    if (!sketches_ && !other.sketches_) {
      std::vector<std::pair<std::uint64_t, std::uint64_t>> counts = exact_.entries();
      const auto theirs = other.exact_.entries();
      counts.insert(counts.end(), theirs.begin(), theirs.end());
      sort_by_key<S>(counts, [](const auto& entry) { return entry.first; });
      std::vector<std::pair<std::uint64_t, std::uint64_t>> combined;
      for (const auto& [key, n] : counts) {
        if (!combined.empty() && combined.back().first == key) {
          combined.back().second += n;
        } else {
          combined.emplace_back(key, n);
        }
      }
      if (combined.size() <= ValueCounts::limit) {
        ValueCounts table;
        table.reserve_for(combined.size());
        for (const auto& [key, n] : combined) table.add(key, n);
        exact_ = std::move(table);
      } else {
        counts_to_sketches<S>(combined);
      }
    } else {
      if (!sketches_) counts_to_sketches<S>(exact_.take_entries());
      fit_histogram<S>();
      fit_buckets<S>();
      Sketches& s = *sketches_;
      const auto hash_of_key = [](std::uint64_t key) {
        return number_detail::hash_of<S>(number_detail::raw_of<S>(key));
      };
      if (other.sketches_) {
        const Sketches& o = *other.sketches_;
        raise_registers(s.hll, o.hll.registers());
        s.top.merge(o.top, hash_of_key);
        const int shift = s.histogram.indexer.exponent - o.histogram.indexer.exponent;
        o.histogram.counts.for_each([&](std::int64_t bin, std::uint64_t n) { s.histogram.counts.add(bin >> shift, n); });
        auto& b = s.buckets;
        b.zeros += o.buckets.zeros;
        for (std::size_t sign = 0; sign < 2; ++sign) {
          b.collapsed[sign] += o.buckets.collapsed[sign];
          o.buckets.counts[sign].for_each([&](std::int64_t j, std::uint64_t n) {
            const auto index = static_cast<std::int32_t>(j);
            if (index < b.lowest) {
              b.collapsed[sign] += n;
            } else if (!b.counts[sign].add(index, n)) {
              add_to_bucket<S>(index, static_cast<int>(sign), n);
            }
          });
        }
      } else {
        // The other side's exact counts; top counters keep their merge rule.
        const auto counts = other.exact_.entries();
        add_counts_to_distributions<S>(counts, false);
        TopCounters theirs;
        top_of_counts<S>(counts, theirs);
        s.top.merge(theirs, hash_of_key);
      }
    }
    sample_.merge(other.sample_);
  }

  // ------------------------------------------------------------ summary

  template <Storage S>
  NumberSummary summarise() const {
    NumberSummary out;
    out.count = count_;
    out.missing = missing_;
    out.infinite = infinite_;
    if (count_ == 0) return out;
    const std::uint64_t low_raw = number_detail::raw_of<S>(low_key_);
    const std::uint64_t high_raw = number_detail::raw_of<S>(high_key_);
    out.minimum = number_detail::stored<S>(low_raw);
    out.maximum = number_detail::stored<S>(high_raw);
    summarise_moments<S>(out);
    Ranks ranks;
    for (std::size_t k = 0; k < levels; ++k) ranks[k] = rank_of(summary_quantile_levels[k]);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> top;
    if (!sketches_) {
      const auto counts = sorted_counts<S>();
      out.exact = true;
      out.distinct = counts.size();
      const BinIndexer indexer = histogram_exponent<S>(low_raw, high_raw, summary_bins, INT_MIN);
      const std::int64_t lowest = bin_of<S>(low_raw, indexer);
      out.histogram.first_bin = lowest;
      out.histogram.width_exponent = indexer.exponent;
      out.histogram.counts.assign(static_cast<std::size_t>(bin_of<S>(high_raw, indexer) - lowest + 1), 0);
      std::size_t k = 0;
      std::uint64_t total = 0;
      for (const auto& [key, n] : counts) {
        const std::uint64_t raw = number_detail::raw_of<S>(key);
        total += n;
        for (; k < levels && ranks[k] < total; ++k) out.quantiles[k] = number_detail::stored<S>(raw);
        out.histogram.counts[static_cast<std::size_t>(bin_of<S>(raw, indexer) - lowest)] += n;
      }
      for (const auto& entry : counts) {
        if (entry.second >= least_top_count) top.push_back(entry);
      }
    } else {
      const Sketches& s = *sketches_;
      out.exact = false;
      const double estimate = std::round(s.hll.estimate());
      out.distinct = std::clamp<std::uint64_t>(
          estimate >= 0x1p64 ? std::numeric_limits<std::uint64_t>::max() : static_cast<std::uint64_t>(estimate),
          ValueCounts::limit + 1, count_);
      sketch_quantiles<S>(ranks, low_raw, high_raw, out);
      s.top.for_each_entry([&](std::size_t e) {
        if (s.top.count(e) >= least_top_count) top.emplace_back(s.top.key(e), s.top.count(e));
      });
      const auto& h = s.histogram;
      const BinIndexer indexer = histogram_exponent<S>(low_raw, high_raw, summary_bins, h.indexer.exponent);
      const std::int64_t lowest = bin_of<S>(low_raw, indexer);
      out.histogram.first_bin = lowest;
      out.histogram.width_exponent = indexer.exponent;
      out.histogram.counts.assign(static_cast<std::size_t>(bin_of<S>(high_raw, indexer) - lowest + 1), 0);
      const int shift = indexer.exponent - h.indexer.exponent;
      // Every count lies in the bins of the extremes.
      h.counts.for_each_group(bin_of<S>(low_raw, h.indexer), bin_of<S>(high_raw, h.indexer), shift,
                              [&](std::int64_t bin, std::uint64_t n) {
                                out.histogram.counts[static_cast<std::size_t>(bin - lowest)] += n;
                              });
    }
    const auto by_count = [](const auto& a, const auto& b) {
      return a.second != b.second ? a.second > b.second : a.first < b.first;
    };
    const std::size_t reported = std::min(top.size(), top_reported);
    std::partial_sort(top.begin(), top.begin() + static_cast<std::ptrdiff_t>(reported), top.end(), by_count);
    top.resize(reported);
    for (const auto& [key, n] : top) out.top.emplace_back(number_detail::stored<S>(number_detail::raw_of<S>(key)), n);
    // The sample's values ascending.
    const std::vector<SampleEntry> sample = sample_.entries();
    std::vector<std::uint64_t> keys(sample.size());
    for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = sample[i].key;
    sort_by_key<S>(keys, [](std::uint64_t key) { return key; });
    out.sample.reserve(keys.size());
    for (const std::uint64_t key : keys) out.sample.push_back(number_detail::stored<S>(number_detail::raw_of<S>(key)));
    return out;
  }

  // Sorts items ascending by their order keys, key_of(item): they are
  // placed by value into about two groups an item, linearly from the least
  // to the greatest, which leaves out of order only items of one group; one
  // pass of insertion then finishes. Real data, and a sample drawn from it,
  // fill the groups evenly enough that most items stay where they are, so
  // the pass rarely branches the other way, where std::sort alone
  // mispredicts a branch at every other comparison. A pass that moves items
  // too often hands over to std::sort.
  template <Storage S, class Item, class KeyOf>
  static void sort_by_key(std::vector<Item>& items, KeyOf key_of) {
    constexpr std::size_t most_groups = 2048;
    const std::size_t n = items.size();
    if (n < 2) return;
    const auto by_key = [&](const Item& a, const Item& b) { return key_of(a) < key_of(b); };
    const auto [least, greatest] = std::minmax_element(items.begin(), items.end(), by_key);
    const auto value = [&](const Item& item) {
      return number_detail::as_double<S>(number_detail::raw_of<S>(key_of(item)));
    };
    const double low = value(*least);
    const double span = value(*greatest) - low;
    if (!(span > 0.0 && span < std::numeric_limits<double>::infinity())) {
      std::sort(items.begin(), items.end(), by_key);
      return;
    }
    const std::size_t groups = std::min(most_groups, std::bit_ceil(2 * n));
    // Monotone in the key: (x - low) * scale never decreases as x grows.
    const double scale = static_cast<double>(groups) / span;
    std::vector<std::uint16_t> group(n);
    std::array<std::uint32_t, most_groups + 1> next;
    std::fill_n(next.begin(), groups + 1, 0u);
    for (std::size_t i = 0; i < n; ++i) {
      group[i] = static_cast<std::uint16_t>(std::min(groups - 1, static_cast<std::size_t>((value(items[i]) - low) * scale)));
      ++next[group[i] + 1u];
    }
    for (std::size_t g = 1; g < groups; ++g) next[g] += next[g - 1];
    std::vector<Item> sorted(n);
    for (std::size_t i = 0; i < n; ++i) sorted[next[group[i]]++] = items[i];
    std::size_t moved = 0;
    for (std::size_t i = 1; i < n && moved <= 8 * n; ++i) {
      const Item item = sorted[i];
      std::size_t j = i;
      for (; j > 0 && key_of(sorted[j - 1]) > key_of(item); --j) sorted[j] = sorted[j - 1];
      sorted[j] = item;
      moved += i - j;
    }
    if (moved > 8 * n) std::sort(sorted.begin(), sorted.end(), by_key);
    items.swap(sorted);
  }

  // The exact counts, ascending by key.
  template <Storage S>
  std::vector<std::pair<std::uint64_t, std::uint64_t>> sorted_counts() const {
    auto counts = exact_.entries();
    sort_by_key<S>(counts, [](const auto& entry) { return entry.first; });
    return counts;
  }

  template <Storage S>
  NumberDetail detail_of() const {
    NumberDetail out;
    out.exact = !sketches_;
    if (count_ == 0) return out;
    if (!sketches_) {
      const auto counts = sorted_counts<S>();
      out.values.reserve(counts.size());
      for (const auto& [key, n] : counts) out.values.emplace_back(number_detail::stored<S>(number_detail::raw_of<S>(key)), n);
      return out;
    }
    const auto& h = sketches_->histogram;
    const std::int64_t low_bin = bin_of<S>(number_detail::raw_of<S>(low_key_), h.indexer);
    const std::int64_t high_bin = bin_of<S>(number_detail::raw_of<S>(high_key_), h.indexer);
    out.histogram.first_bin = low_bin;
    out.histogram.width_exponent = h.indexer.exponent;
    out.histogram.counts.reserve(static_cast<std::size_t>(high_bin - low_bin) + 1);
    h.counts.for_each_group(low_bin, high_bin, 0, [&](std::int64_t, std::uint64_t n) { out.histogram.counts.push_back(n); });
    return out;
  }

  std::uint64_t rank_of(double q) const noexcept {
    const double r = std::floor(q * static_cast<double>(count_ - 1));
    if (!(r > 0.0)) return 0;
    if (r >= static_cast<double>(count_ - 1)) return count_ - 1;
    return static_cast<std::uint64_t>(r);
  }

  template <Storage S>
  void summarise_moments(NumberSummary& out) const {
    ExactIntegerSums sums = sums_;
    BlockMoments m = moments_;
    m.merge(block_moments<S>(pending_.data(), pending_.size(), &sums));
    const double n = static_cast<double>(count_);
    NumericState shape;
    shape.count = count_;
    shape.m3 = m.m3;
    shape.m4 = m.m4;
    const double low = number_detail::as_double<S>(number_detail::raw_of<S>(low_key_));
    const double high = number_detail::as_double<S>(number_detail::raw_of<S>(high_key_));
    if constexpr (S == Storage::float64) {
      out.mean = std::clamp(m.unscaled_mean(), low, high);
      shape.m2 = m.m2;
      if (count_ >= 2) {
        const double spread = m.m2 / static_cast<double>(count_ - 1);
        out.variance = std::ldexp(spread, 2 * m.scale);
        out.std = std::ldexp(std::sqrt(spread), m.scale);
      }
    } else {
      out.mean = std::clamp(sums.sum.to_signed_double() / n, low, high);
      const double scaled = sums.scaled_m2(count_).to_double();  // n * M2
      shape.m2 = scaled / n;
      if (count_ >= 2) {
        out.variance = (scaled / n) / static_cast<double>(count_ - 1);
        out.std = std::sqrt(*out.variance);
      }
    }
    out.skewness = shape.skewness();
    out.kurtosis = shape.excess_kurtosis();
  }

  // Walks counts (backward: from the last) with the running total, and
  // calls found(level, j) for each rank from level k on that count j is the
  // first to take the total past, advancing k and total. Eight counts that
  // leave the next rank unreached are passed in one step.
  template <class Found>
  static void locate_ranks(const std::vector<std::uint64_t>& counts, bool backward, const Ranks& ranks, std::size_t& k,
                           std::uint64_t& total, Found&& found) {
    constexpr std::size_t block = 8;
    const std::size_t n = counts.size();
    const auto at = [&](std::size_t i) { return backward ? n - 1 - i : i; };
    std::size_t i = 0;
    while (k < levels && i < n) {
      if (i + block <= n) {
        std::uint64_t sum = 0;
        for (std::size_t t = 0; t < block; ++t) sum += counts[at(i + t)];
        if (ranks[k] >= total + sum) {
          total += sum;
          i += block;
          continue;
        }
      }
      total += counts[at(i)];
      for (; k < levels && ranks[k] < total; ++k) found(k, at(i));
      ++i;
    }
  }

  // The quantiles at ascending ranks from the sketches, each the histogram
  // bin or the relative bucket holding the rank, whichever bounds the error
  // tighter; one walk over each.
  template <Storage S>
  void sketch_quantiles(const Ranks& ranks, std::uint64_t low_raw, std::uint64_t high_raw, NumberSummary& out) const {
    const Sketches& s = *sketches_;
    constexpr bool integer = S != Storage::float64;
    // The histogram bin of every rank.
    std::array<std::int64_t, levels> bins{};
    {
      std::size_t k = 0;
      std::uint64_t total = 0;
      const CountWindow& h = s.histogram.counts;
      locate_ranks(h.counts(), false, ranks, k, total,
                   [&](std::size_t level, std::size_t j) { bins[level] = h.first() + static_cast<std::int64_t>(j); });
    }
    // The bucket of every rank: its index and sign, or a collapsed or zero marker.
    constexpr std::int32_t collapsed_bucket = 0;  // kept indices start at 1
    constexpr std::int32_t zero_bucket = -1;
    std::array<std::int32_t, levels> buckets{};
    std::array<int, levels> signs{};
    {
      const auto& b = s.buckets;
      std::size_t k = 0;
      std::uint64_t total = 0;
      const auto step = [&](std::uint64_t n, std::int32_t index, int sign) {
        total += n;
        for (; k < levels && ranks[k] < total; ++k) {
          buckets[k] = index;
          signs[k] = sign;
        }
      };
      const auto in_window = [&](int sign) {
        return [&, sign](std::size_t level, std::size_t j) {
          buckets[level] = static_cast<std::int32_t>(b.counts[static_cast<std::size_t>(sign)].first() + static_cast<std::int64_t>(j));
          signs[level] = sign;
        };
      };
      locate_ranks(b.counts[1].counts(), true, ranks, k, total, in_window(1));
      step(b.collapsed[1], collapsed_bucket, 1);
      step(b.zeros, zero_bucket, 0);
      step(b.collapsed[0], collapsed_bucket, 0);
      locate_ranks(b.counts[0].counts(), false, ranks, k, total, in_window(0));
    }
    const int e = s.histogram.indexer.exponent;
    for (std::size_t k = 0; k < levels; ++k) {
      const std::uint64_t rank = ranks[k];
      if (rank == 0) {
        out.quantiles[k] = number_detail::stored<S>(low_raw);
        continue;
      }
      if (rank == count_ - 1) {
        out.quantiles[k] = number_detail::stored<S>(high_raw);
        continue;
      }
      // Candidate answers as (value, error bound); integers as exact int128.
      double value = 0.0;
      __int128 integer_value = 0;
      double bound = std::numeric_limits<double>::infinity();
      if constexpr (integer) {
        const __int128 first = static_cast<__int128>(bins[k]) << e;
        const __int128 last = first + (static_cast<__int128>(1) << e) - 1;
        integer_value = first + (last - first) / 2;
        bound = static_cast<double>(last - integer_value);
      } else {
        value = std::ldexp(static_cast<double>(bins[k]) + 0.5, e);
        bound = std::ldexp(0.5, e);
      }
      if (buckets[k] == zero_bucket) {
        bound = 0.0;
        value = 0.0;
        integer_value = 0;
      } else if (buckets[k] != collapsed_bucket) {
        const auto [lo, hi] = RelativeBucketLayout::bounds(buckets[k]);
        const int sign = signs[k];
        if constexpr (integer) {
          const double first = std::ceil(lo);
          const double last = std::ceil(hi) - 1.0;
          const double middle = std::clamp(std::round((2.0 * first * last) / (first + last)), first, last);
          const double candidate = std::max(middle - first, last - middle);
          if (candidate < bound) {
            bound = candidate;
            integer_value = static_cast<__int128>(middle);
            if (sign != 0) integer_value = -integer_value;
          }
        } else {
          const double representative = (2.0 * lo * hi) / (lo + hi);
          const double candidate = hi - representative;
          if (candidate < bound) {
            bound = candidate;
            value = (sign != 0 ? -1.0 : 1.0) * representative;
          }
        }
      }
      if constexpr (integer) {
        const __int128 low = number_detail::as_int128<S>(low_raw);
        const __int128 high = number_detail::as_int128<S>(high_raw);
        const __int128 clamped = std::clamp(integer_value, low, high);
        if constexpr (S == Storage::int64) {
          out.quantiles[k] = static_cast<std::int64_t>(clamped);
        } else {
          out.quantiles[k] = static_cast<std::uint64_t>(clamped);
        }
      } else {
        const double low = std::bit_cast<double>(low_raw);
        const double high = std::bit_cast<double>(high_raw);
        out.quantiles[k] = value <= low ? low : value >= high ? high : value;
      }
    }
  }

  // ------------------------------------------------------------ encoding

  static void put_signed(ByteWriter& out, std::int64_t v) {
    out.varint((static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63));
  }
  static std::int64_t get_signed(ByteReader& in) {
    const std::uint64_t z = in.varint();
    return static_cast<std::int64_t>(z >> 1) ^ -static_cast<std::int64_t>(z & 1);
  }

  template <Storage S>
  void encode_as(ByteWriter& out) const {
    out.u8(version);
    out.u8(static_cast<std::uint8_t>(storage_));
    out.varint(stream_id_);
    out.varint(position_);
    out.varint(count_);
    out.varint(missing_);
    out.varint(infinite_);
    if (count_ == 0) return;
    out.u64(low_key_);
    out.u64(high_key_);
    out.varint(moments_.n);
    if (moments_.n != 0) {
      put_signed(out, moments_.scale);
      for (double x : {moments_.mean.hi, moments_.mean.lo, moments_.m2, moments_.m3, moments_.m4}) out.f64(x);
      if constexpr (S != Storage::float64) {
        for (const Wide* w : {&sums_.sum, &sums_.squares}) {
          for (std::uint64_t limb : w->limb) out.u64(limb);
        }
      }
    }
    out.varint(pending_.size());
    for (std::uint64_t raw : pending_) out.u64(raw);
    out.u8(sketches_ ? 1 : 0);
    if (!sketches_) {
      const auto counts = sorted_counts<S>();
      out.varint(counts.size());
      std::uint64_t next = 0;
      for (const auto& [key, n] : counts) {
        out.varint(key - next);
        out.varint(n);
        next = key + 1;
      }
    } else {
      const Sketches& s = *sketches_;
      codec::encode(out, s.hll);
      const auto top = s.top.counters();
      out.varint(top.size());
      for (const auto& [key, n] : top) {
        out.u64(key);
        out.varint(n);
      }
      // The bins from the minimum's to the maximum's.
      const auto& h = s.histogram;
      const std::int64_t low_bin = bin_of<S>(number_detail::raw_of<S>(low_key_), h.indexer);
      const std::int64_t high_bin = bin_of<S>(number_detail::raw_of<S>(high_key_), h.indexer);
      out.varint(static_cast<std::uint64_t>(high_bin - low_bin) + 1);
      h.counts.for_each_group(low_bin, high_bin, 0, [&](std::int64_t, std::uint64_t n) { out.varint(n); });
      // The nonzero buckets of each sign, by offset in the kept window.
      const auto& b = s.buckets;
      out.varint(b.zeros);
      for (std::size_t sign = 0; sign < 2; ++sign) {
        out.varint(b.collapsed[sign]);
        std::size_t nonzero = 0;
        for (std::uint64_t n : b.counts[sign].counts()) nonzero += n != 0;
        out.varint(nonzero);
        std::int64_t next = b.lowest;
        b.counts[sign].for_each([&](std::int64_t index, std::uint64_t n) {
          out.varint(static_cast<std::uint64_t>(index - next));
          out.varint(n);
          next = index + 1;
        });
      }
    }
    std::vector<SampleEntry> sample = sample_.entries();
    std::sort(sample.begin(), sample.end());
    out.varint(sample.size());
    for (const SampleEntry& e : sample) {
      out.u64(e.priority);
      out.u64(e.key);
    }
  }

  template <Storage S>
  static bool valid_key(std::uint64_t key) noexcept {
    if constexpr (S == Storage::float64) {
      return is_finite_value(std::bit_cast<double>(number_detail::raw_of<S>(key)));
    } else {
      return true;
    }
  }

  template <Storage S>
  void decode_as(ByteReader& in, DecodeBudget& budget) {
    stream_id_ = in.varint();
    position_ = in.varint();
    count_ = in.varint();
    missing_ = in.varint();
    infinite_ = in.varint();
    if (S != Storage::float64 && infinite_ != 0) throw_corrupt("infinite integers");
    if (count_sum_overflows(count_, missing_) || count_sum_overflows(count_ + missing_, infinite_)) {
      throw_corrupt("counts beyond 2^64 - 1");
    }
    if (position_ > seen()) throw_corrupt("position beyond the values seen");
    if (count_ == 0) return;
    low_key_ = in.u64();
    high_key_ = in.u64();
    if (!valid_key<S>(low_key_) || !valid_key<S>(high_key_) || low_key_ > high_key_ ||
        (count_ == 1 && low_key_ != high_key_)) {
      throw_corrupt("minimum and maximum");
    }
    const double low = number_detail::as_double<S>(number_detail::raw_of<S>(low_key_));
    const double high = number_detail::as_double<S>(number_detail::raw_of<S>(high_key_));
    const auto within = [&](std::uint64_t key) { return key >= low_key_ && key <= high_key_; };
    moments_.n = in.varint();
    if (moments_.n > count_) throw_corrupt("moments count");
    if (moments_.n != 0) {
      const std::int64_t scale = get_signed(in);
      if (scale < 0 || scale > 1024 || (S != Storage::float64 && scale != 0)) throw_corrupt("moments scale");
      moments_.scale = static_cast<int>(scale);
      moments_.mean.hi = in.f64();
      moments_.mean.lo = in.f64();
      moments_.m2 = in.f64();
      moments_.m3 = in.f64();
      moments_.m4 = in.f64();
      const double mean = moments_.unscaled_mean();
      const double margin = std::ldexp(std::max(std::fabs(low), std::fabs(high)), -30);
      if (!is_finite_value(moments_.mean.hi) || !is_finite_value(moments_.mean.lo) ||
          number_detail::fast_two_sum(moments_.mean.hi, moments_.mean.lo).hi != moments_.mean.hi ||
          !(mean >= low - margin && mean <= high + margin) || !(moments_.m2 >= 0.0) || std::isnan(moments_.m3) ||
          !(moments_.m4 >= 0.0) || (moments_.n == 1 && (moments_.m2 != 0.0 || moments_.m3 != 0.0 || moments_.m4 != 0.0))) {
        throw_corrupt("moments");
      }
      if constexpr (S != Storage::float64) {
        for (Wide* w : {&sums_.sum, &sums_.squares}) {
          for (std::uint64_t& limb : w->limb) limb = in.u64();
        }
        const double flushed_mean = sums_.sum.to_signed_double() / static_cast<double>(moments_.n);
        if (sums_.scaled_m2(moments_.n).negative() || (sums_.squares.limb[3] != 0) ||
            !(flushed_mean >= low - 1.0 - margin && flushed_mean <= high + 1.0 + margin)) {
          throw_corrupt("integer sums");
        }
      }
    }
    const std::size_t pending = in.count(block_size - 1, 8, "pending values");
    if (moments_.n + pending != count_) throw_corrupt("pending values and count");
    pending_.reserve(block_size);
    for (std::size_t i = 0; i < pending; ++i) {
      const std::uint64_t raw = in.u64();
      if (!valid_key<S>(number_detail::order_key<S>(raw)) || !within(number_detail::order_key<S>(raw))) {
        throw_corrupt("pending value");
      }
      pending_.push_back(raw);
    }
    const std::uint8_t mode = in.u8();
    const std::uint64_t canonical_low = number_detail::order_key<S>(number_detail::canonical_raw<S>(number_detail::raw_of<S>(low_key_)));
    const std::uint64_t canonical_high = number_detail::order_key<S>(number_detail::canonical_raw<S>(number_detail::raw_of<S>(high_key_)));
    if (mode == 0) {
      const std::size_t distinct = in.count(ValueCounts::limit, 2, "exact values");
      budget.spend(2 * distinct);
      std::vector<std::pair<std::uint64_t, std::uint64_t>> counts;
      std::uint64_t next = 0;
      std::uint64_t total = 0;
      for (std::size_t i = 0; i < distinct; ++i) {
        const std::uint64_t gap = in.varint();
        if (i != 0 && next == 0) throw_corrupt("exact value out of range");
        if (gap > std::numeric_limits<std::uint64_t>::max() - next) throw_corrupt("exact value out of range");
        const std::uint64_t key = next + gap;
        const std::uint64_t n = in.varint();
        if (n == 0 || count_sum_overflows(total, n) || !valid_key<S>(key) ||
            number_detail::order_key<S>(number_detail::canonical_raw<S>(number_detail::raw_of<S>(key))) != key) {
          throw_corrupt("exact value");
        }
        total += n;
        counts.emplace_back(key, n);
        next = key + 1;
      }
      if (total != count_ || counts.empty() || counts.front().first != canonical_low ||
          counts.back().first != canonical_high) {
        throw_corrupt("exact counts and extremes");
      }
      exact_.reserve_for(counts.size());
      for (const auto& [key, n] : counts) exact_.add(key, n);
    } else if (mode == 1) {
      if (count_ <= ValueCounts::limit) throw_corrupt("sketches of few values");
      budget.spend(sizeof(Sketches) / 8 + histogram_bins + 2 * bucket_window);
      sketches_ = fresh_sketches<S>();
      Sketches& s = *sketches_;
      codec::decode(in, s.hll);
      codec::check_registers_set(s.hll, count_);
      const std::size_t top = in.count(TopCounters::capacity, 9, "top values");
      std::uint64_t previous = 0;
      std::uint64_t counted = 0;
      for (std::size_t i = 0; i < top; ++i) {
        const std::uint64_t key = in.u64();
        const std::uint64_t n = in.varint();
        if ((i != 0 && key <= previous) || n == 0 || key < canonical_low || key > canonical_high ||
            number_detail::order_key<S>(number_detail::canonical_raw<S>(number_detail::raw_of<S>(key))) != key ||
            count_sum_overflows(counted, n) || (counted += n) > count_) {
          throw_corrupt("top value");
        }
        s.top.add(key, n, number_detail::hash_of<S>(number_detail::raw_of<S>(key)));
        previous = key;
      }
      auto& h = s.histogram;
      const std::size_t used = in.count(histogram_bins, 1, "histogram bins");
      const std::uint64_t low_raw = number_detail::raw_of<S>(low_key_);
      const std::uint64_t high_raw = number_detail::raw_of<S>(high_key_);
      const std::int64_t low_bin = bin_of<S>(low_raw, h.indexer);
      const auto top_bin = static_cast<std::size_t>(bin_of<S>(high_raw, h.indexer) - low_bin);
      std::vector<std::uint64_t> bins(used);
      std::uint64_t total = 0;
      for (std::size_t j = 0; j < used; ++j) {
        bins[j] = in.varint();
        if (count_sum_overflows(total, bins[j])) throw_corrupt("histogram counts");
        total += bins[j];
      }
      if (used != top_bin + 1 || bins[0] == 0 || bins[top_bin] == 0 || total != count_) {
        throw_corrupt("histogram and extremes");
      }
      h.counts.assign(low_bin, std::move(bins));
      auto& b = s.buckets;
      b.zeros = in.varint();
      total = b.zeros;
      const std::int32_t top_index =
          b.lowest + b.window - 1 >= RelativeBucketLayout::index_of(number_detail::magnitude_of<S>(low_raw).first)
              ? std::max(RelativeBucketLayout::index_of(number_detail::magnitude_of<S>(low_raw).first),
                         RelativeBucketLayout::index_of(number_detail::magnitude_of<S>(high_raw).first))
              : 0;
      std::vector<std::pair<std::size_t, std::uint64_t>> kept;
      for (std::size_t sign = 0; sign < 2; ++sign) {
        b.collapsed[sign] = in.varint();
        if (count_sum_overflows(total, b.collapsed[sign])) throw_corrupt("bucket counts");
        total += b.collapsed[sign];
        const std::size_t nonzero = in.count(bucket_window, 2, "buckets");
        kept.clear();
        std::size_t next = 0;
        for (std::size_t i = 0; i < nonzero; ++i) {
          const std::uint64_t gap = in.varint();
          if (gap >= bucket_window - next) throw_corrupt("bucket out of range");
          const std::size_t j = next + static_cast<std::size_t>(gap);
          const std::uint64_t n = in.varint();
          if (n == 0 || count_sum_overflows(total, n) || b.lowest + static_cast<std::int32_t>(j) > top_index) {
            throw_corrupt("bucket");
          }
          total += n;
          kept.emplace_back(j, n);
          next = j + 1;
        }
        if (!kept.empty()) {
          std::vector<std::uint64_t> counts(kept.back().first - kept.front().first + 1, 0);
          for (const auto& [j, n] : kept) counts[j - kept.front().first] = n;
          b.counts[sign].assign(b.lowest + static_cast<std::int64_t>(kept.front().first), std::move(counts));
        }
      }
      if (total != count_) throw_corrupt("bucket counts");
    } else {
      throw_corrupt("number column mode");
    }
    const std::size_t sampled = in.count(ValueSample::capacity, 16, "sample entries");
    if (sampled != std::min<std::uint64_t>(count_, ValueSample::capacity)) throw_corrupt("sample size");
    std::vector<SampleEntry> entries;
    entries.reserve(sampled);
    for (std::size_t i = 0; i < sampled; ++i) {
      const SampleEntry e{in.u64(), in.u64()};
      if (!valid_key<S>(e.key) || !within(e.key) || (i != 0 && e < entries.back())) throw_corrupt("sample entry");
      entries.push_back(e);
    }
    sample_.assign(std::move(entries));
  }

  Storage storage_ = Storage::float64;
  std::uint64_t stream_id_ = 0;
  std::uint64_t position_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t missing_ = 0;
  std::uint64_t infinite_ = 0;
  std::uint64_t low_key_ = ~std::uint64_t{0};  // order keys of the extremes
  std::uint64_t high_key_ = 0;
  BlockMoments moments_;     // the flushed blocks
  ExactIntegerSums sums_;    // the flushed blocks, integer storage
  std::vector<std::uint64_t> pending_;  // values of the partial block, as stored
  ValueCounts exact_;
  // In exact mode, when set: the HyperLogLog of the keys counted, fed as each
  // is inserted (their hashes are at hand then), so that the switch to
  // sketches need not hash them again. Set by a run of at least `chunk`
  // values into an empty table, let go by a merge.
  std::unique_ptr<HyperLogLog> exact_distinct_;
  std::unique_ptr<Sketches> sketches_;
  ValueSample sample_;
};

}  // namespace tessary
