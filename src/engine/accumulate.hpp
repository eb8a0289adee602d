// The chunked pass over the rows of X that sums the effects and their gradients.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/accumulators.hpp"
#include "engine/fault.hpp"
#include "engine/link.hpp"
#include "engine/products.hpp"
#include "engine/row_blocks.hpp"
#include "engine/strided.hpp"

namespace velmora::engine {

struct PassOptions {
    std::optional<std::uint64_t> chunk_size;  // rows per chunk; all rows when empty
    std::ptrdiff_t block_rows = 0;            // rows per cache block; 0 picks a size
    ProductPath path = ProductPath::automatic;
    InterruptCheck interrupt;
};

// Runs the pass and returns the filled accumulators.
EngineResult<EffectAccumulators> accumulate_effects(VectorView beta, const MatrixView& x,
                                                    ModelKind kind, SeMethod method,
                                                    std::span<const std::size_t> intercept_columns,
                                                    std::span<const std::size_t> binary_columns,
                                                    const PassOptions& options);

// The binary columns and the sums of one pass.
struct PassResult {
    std::vector<std::size_t> binary_columns;
    EffectAccumulators sums;
};

// Returns what find_binary_columns followed by accumulate_effects returns,
// reading X once in the common case: the binary columns are first taken from
// the leading rows, and the pass confirms them as it reads every value of those
// columns. Should one hold another value further down, the columns are found
// over the whole of X and the pass runs again.
EngineResult<PassResult> find_binary_columns_and_accumulate(
    VectorView beta, const MatrixView& x, std::size_t name_count, ModelKind kind, SeMethod method,
    std::span<const std::size_t> intercept_columns, const PassOptions& options);

}  // namespace velmora::engine
