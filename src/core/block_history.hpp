// Which blocks of a row try a cheap pass: each block's history of needing the exact sequence
// (skips_cheap_pass, note_cheap_pass), and the counts kept for tests and benchmarks.
//
// Part of the row loop (fused_kernel_body.hpp), included by it: the same anonymous namespace, the
// same rule of calling no library function.

namespace sovelk::fused::detail {
namespace {

inline int count_lanes(unsigned mask) {
    int n = 0;
    for (; mask != 0; mask &= mask - 1) ++n;
    return n;
}

// A block's history: the rows left to skip (bits 0-7), a level (bits 8-10) and the successes
// since the level last changed (bits 11-12). A failure raises the level and skips the next
// 2^level - 1 rows, up to 31; four successes in a row lower it by one. Flat or saturated areas,
// where every pixel needs the exact sequence, then try the cheap pass once in 32 rows, and
// blocks that alternate between failing and succeeding (a pattern of stripes) settle at a level
// instead of paying a failure every few rows.
constexpr int kMaxLevel = 5;
constexpr int kSuccessesPerStep = 4;
inline int history_level(uint16_t history) { return (history >> 8) & 7; }

inline bool skips_cheap_pass(const RowArgs& a, uint16_t* history) {
    if (!a.cheap.predict || history == nullptr || (*history & 0xFF) == 0) return false;
    --*history;
    if (a.counters) ++a.counters->skipped_blocks;
    return true;
}

// Notes a tried block: `undecided` lanes of which `counted` are new in this row (the last block
// of a row may overlap the one before). `failed`: the whole block ran the exact sequence, which
// the history learns from; undecided lanes filtered one by one count as a success.
inline void note_cheap_pass(const RowArgs& a, uint16_t* history, unsigned undecided, unsigned counted, bool failed) {
    if (CheapPassCounters* counters = a.counters) {
        ++counters->blocks;
        counters->lanes += static_cast<uint64_t>(count_lanes(counted));
        if (undecided != 0) {
            ++counters->exact_blocks;
            counters->exact_lanes += static_cast<uint64_t>(count_lanes(undecided & counted));
            if (!failed) counters->lone_lanes += static_cast<uint64_t>(count_lanes(undecided & counted));
        }
    }
    if (!a.cheap.predict || history == nullptr) return;
    int level = history_level(*history);
    if (!failed) {
        int successes = (*history >> 11) & 3;
        if (level > 0 && ++successes == kSuccessesPerStep) {
            --level;
            successes = 0;
        }
        *history = static_cast<uint16_t>(successes << 11 | level << 8);
    } else {
        level = level < kMaxLevel ? level + 1 : kMaxLevel;
        *history = static_cast<uint16_t>(level << 8 | ((1 << level) - 1));
    }
}

}  // namespace
}  // namespace sovelk::fused::detail
