// Natural logarithm of the gamma function (Lanczos, g = 10.900511).
//
// Method: the Lanczos approximation in the form
//   Gamma(x) = 2 sqrt(e / pi) ((x - 1/2 + g) / e)^(x - 1/2) S(x),
//   S(x) = c_0 + sum_{k=1}^{10} c_k / (x - 1 + k),
// taken in logarithms, with the reflection formula
//   Gamma(x) Gamma(1 - x) = pi / sin(pi x) below x = 1/2.
// Source: G. R. Pugh (2004), "An Analysis of the Lanczos Gamma
// Approximation", PhD thesis, University of British Columbia: the parameter
// r = g = 10.900511 with n = 10 (eleven coefficients), whose relative error
// on the right half-plane is below 1e-15. The coefficients are that table's
// values rounded to double; the results are fixed by the order of the
// operations below, not only by the mathematics.
#include "numeric/log_gamma.hpp"

#include <array>
#include <cmath>
#include <cstddef>

#include "numeric/elementary.hpp"

namespace zorvane::numeric {
namespace {

inline constexpr double kLanczosG = 10.900511;

// Lanczos coefficients c_0 .. c_10 belonging to kLanczosG (Pugh's d_0 .. d_10).
inline constexpr std::array<double, 11> kLanczosCoefficients = {
    2.4857408913875355e-05,
    1.0514237858172197,
    -3.4568709722201625,
    4.512277094668948,
    -2.9828522532357664,
    1.056397115771267,
    -0.19542877319164587,
    0.01709705434044412,
    -0.0005719261174043057,
    4.633994733599057e-06,
    -2.7199490848860772e-09,
};

inline constexpr double kLnPi = 1.1447298858494002;             // ln(pi)
inline constexpr double kLnTwoSqrtEOverPi = 0.6207822376352452;  // ln(2 * sqrt(e / pi))
inline constexpr double kE = 2.718281828459045;                  // e
inline constexpr double kPi = 3.141592653589793;                 // pi

}  // namespace

double log_gamma(double x) noexcept {
  // reflection form; false for NaN, which takes the direct form
  if (x < 0.5) {
    double s = kLanczosCoefficients[0];
    for (std::size_t k = 1; k < kLanczosCoefficients.size(); ++k) {
      s = s + kLanczosCoefficients[k] / (static_cast<double>(k) - x);
    }
    // Bracketed left to right exactly as the reference formula; each
    // intermediate rounds, so regrouping would change the last bits.
    const double half_minus_x = 0.5 - x;
    return (((kLnPi - numeric::log(std::sin(kPi * x))) - numeric::log(s)) - kLnTwoSqrtEOverPi) -
           half_minus_x * numeric::log((half_minus_x + kLanczosG) / kE);
  }
  // direct form
  double s = kLanczosCoefficients[0];
  for (std::size_t k = 1; k < kLanczosCoefficients.size(); ++k) {
    // (x + k) - 1, not x + (k - 1): the two round differently.
    s = s + kLanczosCoefficients[k] / ((x + static_cast<double>(k)) - 1.0);
  }
  const double x_minus_half = x - 0.5;
  return (numeric::log(s) + kLnTwoSqrtEOverPi) + x_minus_half * numeric::log((x_minus_half + kLanczosG) / kE);
}

}  // namespace zorvane::numeric
