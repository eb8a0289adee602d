// The walk over chunks and blocks: where chunks and blocks begin and end, when the
// host is asked whether to stop, and that a fault or a stop ends the walk at once.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/row_blocks.hpp"

namespace {

using namespace velmora::engine;

constexpr std::ptrdiff_t period = rows_between_interrupt_checks;

// What a walk did: its calls in order, and at which row the host was asked to stop.
struct Record {
    std::string events;
    std::ptrdiff_t rows_done = 0;
    std::vector<std::ptrdiff_t> asked_at;
    std::size_t stop_at_question = SIZE_MAX;  // answers yes to this question (0-based)
    std::ptrdiff_t fail_at_row = -1;          // add_block fails for the block that starts here

    static bool pending(void* context) {
        auto* r = static_cast<Record*>(context);
        r->asked_at.push_back(r->rows_done);
        return r->asked_at.size() - 1 == r->stop_at_question;
    }
};

EngineResult<void> walk(Record& r, std::ptrdiff_t n, std::optional<std::uint64_t> chunk,
                        std::ptrdiff_t block, bool log_blocks = true) {
    const InterruptCheck interrupt{Record::pending, &r};
    return walk_row_blocks(
        n, chunk, block, interrupt, [&] { r.events += "S"; },
        [&](std::ptrdiff_t begin, std::ptrdiff_t end) -> EngineResult<void> {
            if (begin == r.fail_at_row) {
                return std::unexpected(EngineFault{FaultKind::not_binary, "block"});
            }
            if (log_blocks) {
                char text[48];
                std::snprintf(text, sizeof text, "[%td,%td)", begin, end);
                r.events += text;
            }
            r.rows_done = end;
            return {};
        },
        [&] { r.events += "E"; });
}

void test_chunks_and_blocks() {
    Record r;
    CHECK(walk(r, 10, 4, 3).has_value());
    CHECK(r.events == "S[0,3)[3,4)ES[4,7)[7,8)ES[8,10)E", "%s", r.events.c_str());
    CHECK((r.asked_at == std::vector<std::ptrdiff_t>{0, 4, 8}));

    // No chunk size, or one of n rows or more: one chunk of all rows.
    for (const std::optional<std::uint64_t> chunk :
         {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{10},
          std::optional<std::uint64_t>{UINT64_MAX}}) {
        Record one;
        CHECK(walk(one, 10, chunk, 4).has_value());
        CHECK(one.events == "S[0,4)[4,8)[8,10)E", "%s", one.events.c_str());
        CHECK(one.asked_at.size() == 1);
    }

    // No rows: nothing is called and nobody asked.
    Record none;
    CHECK(walk(none, 0, 4, 3).has_value() && none.events.empty() && none.asked_at.empty());
}

void test_host_is_asked_every_period_of_rows() {
    // Blocks that divide the period: asked before the chunk and after every period of rows.
    Record r;
    CHECK(walk(r, 4 * period + 100, std::nullopt, period / 4, false).has_value());
    CHECK(
        (r.asked_at == std::vector<std::ptrdiff_t>{0, period, 2 * period, 3 * period, 4 * period}));
    // Blocks that do not: the question waits for the block that reaches a period.
    Record odd;
    const std::ptrdiff_t block = 1000;
    CHECK(walk(odd, 3 * period, std::nullopt, block, false).has_value());
    const std::ptrdiff_t first = (period + block - 1) / block * block;
    CHECK((odd.asked_at == std::vector<std::ptrdiff_t>{0, first, 2 * first}));
}

void test_stop_and_fault_end_the_walk() {
    Record stopped;
    stopped.stop_at_question = 1;  // the question before the second chunk
    auto s = walk(stopped, 10, 4, 3);
    CHECK(!s && s.error().kind == FaultKind::interrupted);
    CHECK(stopped.events == "S[0,3)[3,4)E", "%s", stopped.events.c_str());

    Record mid_chunk;
    mid_chunk.stop_at_question = 1;  // the question after the first period of rows
    auto m = walk(mid_chunk, 2 * period, std::nullopt, period / 2, false);
    CHECK(!m && m.error().kind == FaultKind::interrupted && mid_chunk.rows_done == period);
    CHECK(mid_chunk.events == "S", "%s", mid_chunk.events.c_str());

    Record failed;
    failed.fail_at_row = 3;
    auto f = walk(failed, 10, 4, 3);
    CHECK(!f && f.error().kind == FaultKind::not_binary && f.error().detail == "block");
    CHECK(failed.events == "S[0,3)", "%s", failed.events.c_str());
}

void test_sizes_that_would_never_end() {
    Record r;
    auto zero_chunk = walk(r, 10, 0, 3);
    CHECK(!zero_chunk && zero_chunk.error().kind == FaultKind::internal);
    auto zero_block = walk(r, 10, 4, 0);
    CHECK(!zero_block && zero_block.error().kind == FaultKind::internal);
    CHECK(r.events.empty() && r.asked_at.empty());
}

}  // namespace

int main() {
    test_chunks_and_blocks();
    test_host_is_asked_every_period_of_rows();
    test_stop_and_fault_end_the_walk();
    test_sizes_that_would_never_end();
    return velmora::test::finish("test_row_blocks");
}
