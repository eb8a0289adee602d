// The walk of a pass over the rows of X: chunks, whose sums are added into the
// totals chunk after chunk, each taken in blocks small enough to stay in cache,
// with the host asked between them whether to stop.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/fault.hpp"

namespace velmora::engine {

// Lets the host stop a long pass: called between chunks and every few hundred
// thousand rows; returning true ends the pass with an interrupted fault.
struct InterruptCheck {
    bool (*pending)(void* context) = nullptr;
    void* context = nullptr;

    // Returns whether the host asks to stop.
    bool requested() const { return pending != nullptr && pending(context); }
};

// A walk asks the host whether to stop at least this often within one chunk.
inline constexpr std::ptrdiff_t rows_between_interrupt_checks = 1 << 18;

// Walks rows [0, n) in chunks of chunk_size rows (one chunk of all rows when
// empty), each in blocks of at most block_rows rows: calls start_chunk(), then
// add_block(begin, end) for each block of the chunk in ascending order, then
// end_chunk(). Asks interrupt before every chunk and after at least every
// rows_between_interrupt_checks rows. Stops at the first fault that add_block
// returns (an EngineResult<void>) and returns it, or an interrupted fault.
template <class StartChunk, class AddBlock, class EndChunk>
EngineResult<void> walk_row_blocks(std::ptrdiff_t n, std::optional<std::uint64_t> chunk_size,
                                   std::ptrdiff_t block_rows, const InterruptCheck& interrupt,
                                   StartChunk start_chunk, AddBlock add_block, EndChunk end_chunk) {
    if (chunk_size == 0u) return internal_fault("chunk size of 0 rows");
    if (block_rows < 1) return internal_fault("block of " + std::to_string(block_rows) + " rows");
    const auto interrupted = [] {
        return std::unexpected(EngineFault{FaultKind::interrupted, "interrupted"});
    };
    const std::uint64_t chunk = chunk_size.value_or(static_cast<std::uint64_t>(n));
    std::ptrdiff_t rows_since_check = 0;
    for (std::ptrdiff_t start = 0; start < n;) {
        if (interrupt.requested()) return interrupted();
        const std::uint64_t left = static_cast<std::uint64_t>(n - start);
        const std::ptrdiff_t end = start + static_cast<std::ptrdiff_t>(std::min(chunk, left));
        start_chunk();
        for (std::ptrdiff_t begin = start; begin < end;) {
            const std::ptrdiff_t stop = begin + std::min(block_rows, end - begin);
            if (EngineResult<void> added = add_block(begin, stop); !added) return added;
            rows_since_check += stop - begin;
            begin = stop;
            if (rows_since_check >= rows_between_interrupt_checks) {
                rows_since_check = 0;
                if (interrupt.requested()) return interrupted();
            }
        }
        end_chunk();
        start = end;
    }
    return {};
}

}  // namespace velmora::engine
