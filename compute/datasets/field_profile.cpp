#include "compute/datasets/field_profile.hpp"

#include <algorithm>
#include <cmath>

namespace veltrane {

namespace {

// More blocks than this make a profile no one can read, and its partial sums
// would take hundreds of megabytes.
constexpr std::uint64_t most_blocks = 1000000;

std::uint64_t checked_block_count(const apt::dataset& data, const profile_options& options) {
  if (options.block == 0) throw input_refused("a block must hold at least 1 ion");
  const std::uint64_t ions = data.ion_count();
  // Rounded up without ions + block - 1, which a block near 2^64 would wrap
  // to no block at all.
  const std::uint64_t block_count = ions / options.block + (ions % options.block != 0 ? 1 : 0);
  if (block_count > most_blocks) {
    throw input_refused("blocks of " + std::to_string(options.block) + " ions make " +
                        std::to_string(block_count) + " blocks of " + std::to_string(ions) +
                        " ions, more than " + std::to_string(most_blocks) + "; take larger blocks");
  }
  check_confidence(options.confidence);
  return block_count;
}

// The sums of one block: the pair's counts (raw k+, raw (k+1)+, background
// k+, background (k+1)+) and the DC voltage's.
struct block_sums {
  std::uint64_t block = 0;
  detail::pair_counts counts{};
  double v_sum = 0.0;
  std::uint64_t v_count = 0;
};

// What one pass over the dataset counts for a profile: every range of the
// element (per worker), and the sums of each block in file order. Per chunk
// the sums of the blocks it touches are kept and added up in file order
// afterwards, so that the mean voltages do not depend on the number of
// threads.
struct blocked_counts {
  std::vector<detail::counting_pass::tally> counts;
  std::vector<block_sums> blocks;
};

blocked_counts count_by_block(const apt::dataset& data, const detail::counting_pass& pass, int k,
                              std::uint64_t block_count, const profile_options& options) {
  const std::vector<int> pair_of_slot = detail::pair_of_slots(pass, k);
  const bool with_voltage = data.has(apt::columns::dc_voltage);
  const bool filter = pass.single_hits();
  blocked_counts result;
  result.counts.assign(detail::worker_count(data, options.counting), pass.new_tally());
  const std::size_t chunk_ions = std::max<std::size_t>(options.counting.chunk_ions, 1);
  std::vector<std::vector<block_sums>> partials(
      apt::to_size((data.ion_count() + chunk_ions - 1) / chunk_ions));
  const apt::columns wanted =
      (with_voltage ? apt::columns::dc_voltage : apt::columns::none) | pass.columns();
  detail::for_each_chunk_parallel(
      data, wanted, options.counting,
      [&](unsigned worker, const apt::ion_chunk& chunk, std::size_t index) {
        auto& mine = partials[index];
        for (std::size_t n = 0; n < chunk.size(); ++n) {
          const std::uint64_t block = (chunk.first + n) / options.block;
          if (mine.empty() || mine.back().block != block) mine.push_back({block, {}, 0.0, 0});
          block_sums& p = mine.back();
          if (with_voltage && std::isfinite(chunk.v_dc[n])) {
            p.v_sum += static_cast<double>(chunk.v_dc[n]);
            ++p.v_count;
          }
          if (!detail::passes(chunk, n, filter)) continue;
          const auto count_in_block = [&](int slot, std::size_t offset) {
            const int pair = pair_of_slot[static_cast<std::size_t>(slot)];
            if (pair >= 0) ++p.counts[offset + static_cast<std::size_t>(pair)];
          };
          const int slot = pass.place(static_cast<double>(chunk.mass[n]), result.counts[worker],
                                      [&](int window) { count_in_block(window, 2); });
          if (slot >= 0) count_in_block(slot, 0);
        }
      });
  result.blocks.resize(apt::to_size(block_count));
  for (std::size_t b = 0; b < result.blocks.size(); ++b) result.blocks[b].block = b;
  for (const auto& chunk : partials) {
    for (const auto& p : chunk) {
      block_sums& into = result.blocks[apt::to_size(p.block)];
      for (std::size_t s = 0; s < 4; ++s) into.counts[s] += p.counts[s];
      into.v_sum += p.v_sum;
      into.v_count += p.v_count;
    }
  }
  return result;
}

}  // namespace

field_profile profile_field(const apt::dataset& data, const apt::range_file& file,
                            ratio_inverter& inverter, const profile_options& options) {
  const std::uint64_t block_count = checked_block_count(data, options);
  field_profile profile;
  profile.block = options.block;
  profile.voltages = data.voltages();
  const detail::counting_pass pass(data, file, inverter.states().request().element,
                                   options.counting, options.charges);
  const int k = inverter.k();
  detail::check_pair_counted(pass, file, k);
  const blocked_counts counted = count_by_block(data, pass, k, block_count, options);
  profile.overall =
      detail::overall_of(pass.finish(counted.counts), file, inverter, options.confidence);
  profile.messages = profile.overall.counts.messages;
  for (const auto& w : profile.overall.counts.warnings) profile.messages.push_back(w);
  const bool with_voltage = data.has(apt::columns::dc_voltage);
  for (const auto& s : counted.blocks) {
    profile_block block;
    block.first_ion = s.block * options.block;
    block.last_ion = std::min(data.ion_count(), block.first_ion + options.block) - 1;
    block.field = detail::pair_of_counts(k, s.counts, profile.overall.factor, options.confidence);
    if (with_voltage && s.v_count > 0) {
      block.mean_v_dc = s.v_sum / static_cast<double>(s.v_count);
    }
    profile.blocks.push_back(block);
  }
  std::vector<pair_field*> open;
  for (auto& block : profile.blocks) open.push_back(&block.field);
  set_fields(open, inverter);
  return profile;
}

std::uint64_t block_for(std::uint64_t ions, std::uint64_t blocks) {
  return std::max<std::uint64_t>(1, (ions + blocks - 1) / blocks);
}

}  // namespace veltrane
