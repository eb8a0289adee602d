// The refusal of linear predictors that a link cannot take: outside its domain (sqrt:
// v < 0), or where its mean or the mean's derivative overflows (log: exp(v) past the
// largest double). The kernels check the values they formed and report the first such
// row as a bad_value fault rather than hand on inf or NaN. Links whose F is finite
// everywhere (see bounded_link) check nothing, and cost nothing.
#pragma once

#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>

#include "engine/fault.hpp"
#include "engine/link.hpp"

namespace velmora::engine {

// Returns a double as the shortest text that reads back as it.
inline std::string number_text(double value) {
    char buffer[32];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return error == std::errc() ? std::string(buffer, end) : std::string("?");
}

// Returns the fault of link K refusing the linear predictor v of a row; with_offset tells
// whether v includes an offset.
template <ModelKind K>
EngineFault refused(LinkDomain where, std::ptrdiff_t row, double v, bool with_offset) {
    using Formulas = LinkFormulas<K>;
    const std::string predictor = with_offset ? "x b + offset" : "x b";
    const std::string row_text = std::to_string(row), value = number_text(v);
    const std::string at = " at row " + row_text + ": " + predictor + " = " + value;
    std::string mean(Formulas::mean_text);
    if (with_offset) mean.replace(mean.find("x b"), 3, predictor);  // x b is in parentheses
    std::string text;
    switch (where) {
        case LinkDomain::outside:
            text = predictor + " must be " + std::string(Formulas::domain_text) + " for the " +
                   std::string(link_name(K)) + " link; at row " + row_text + " it is " + value;
            break;
        case LinkDomain::overflows:
            text = "the predicted mean " + mean + " overflows" + at;
            break;
        default:
            text = "the derivative of the predicted mean " + mean + " overflows" + at;
            break;
    }
    return EngineFault{FaultKind::bad_value, std::move(text)};
}

// Checks the linear predictors v of m rows, the first of them row first_row, and their
// F (cdf) and f (pdf) where formed (null where not): the first row that link K refuses
// is a bad_value fault.
template <ModelKind K>
EngineResult<void> check_link_values(const double* v, const double* cdf, const double* pdf,
                                     std::ptrdiff_t m, std::ptrdiff_t first_row, bool with_offset) {
    if constexpr (bounded_link<K>()) {
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const LinkDomain where =
                LinkFormulas<K>::domain(v[i], cdf ? cdf[i] : nan, pdf ? pdf[i] : nan);
            if (where != LinkDomain::inside) {
                return std::unexpected(refused<K>(where, first_row + i, v[i], with_offset));
            }
        }
    } else {
        (void)v, (void)cdf, (void)pdf, (void)m, (void)first_row, (void)with_offset;
    }
    return {};
}

// Checks one linear predictor and its F and f, of the given link.
inline EngineResult<void> check_link_value(ModelKind kind, double v, double cdf, double pdf,
                                           std::ptrdiff_t row, bool with_offset) {
    return with_link(kind, [&]<ModelKind K>(LinkTag<K>) {
        return check_link_values<K>(&v, &cdf, &pdf, 1, row, with_offset);
    });
}

}  // namespace velmora::engine
