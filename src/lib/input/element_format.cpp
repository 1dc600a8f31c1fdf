// Element formats by NumPy type number, buffer code and Arrow format string,
// and the conversion of each to float64.
#include "lib/input/element_format.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace zorvane::lib {
namespace {

namespace numpy = binding::numpy;

// The dtypes read from memory, by NumPy's type number (NPY_TYPES, the same in
// NumPy 1.x and 2.x). The C types behind the integer numbers are those of the
// platform NumPy was built for, which is this one (long is 4 bytes on Windows).
struct PlainType {
  int type_number;
  ElementKind kind;
  std::size_t size;
};
constexpr std::array<PlainType, 14> kPlainTypes = {{
    {0, ElementKind::Bool, 1},                                      // NPY_BOOL
    {1, ElementKind::Signed, sizeof(signed char)},                  // NPY_BYTE
    {2, ElementKind::Unsigned, sizeof(unsigned char)},              // NPY_UBYTE
    {3, ElementKind::Signed, sizeof(short)},                        // NPY_SHORT
    {4, ElementKind::Unsigned, sizeof(unsigned short)},             // NPY_USHORT
    {5, ElementKind::Signed, sizeof(int)},                          // NPY_INT
    {6, ElementKind::Unsigned, sizeof(unsigned int)},               // NPY_UINT
    {7, ElementKind::Signed, sizeof(long)},                         // NPY_LONG
    {8, ElementKind::Unsigned, sizeof(unsigned long)},              // NPY_ULONG
    {9, ElementKind::Signed, sizeof(long long)},                    // NPY_LONGLONG
    {10, ElementKind::Unsigned, sizeof(unsigned long long)},        // NPY_ULONGLONG
    {11, ElementKind::Float32, 4},                                  // NPY_FLOAT
    {12, ElementKind::Float64, 8},                                  // NPY_DOUBLE
    {23, ElementKind::Float16, 2},                                  // NPY_HALF
}};

// One element's bits, in this machine's byte order.
template <class Unsigned, bool kSwapped>
Unsigned load(const char* p) noexcept {
  Unsigned bits;
  std::memcpy(&bits, p, sizeof bits);
  if constexpr (kSwapped) {
    Unsigned reversed = 0;
    for (std::size_t i = 0; i < sizeof bits; ++i) {
      reversed = static_cast<Unsigned>((reversed << 8) | (bits & 0xffu));
      bits = static_cast<Unsigned>(bits >> 8);
    }
    return reversed;
  } else {
    return bits;
  }
}

// IEEE binary16 to binary64, exactly: every half is a double.
double half_value(std::uint16_t h) noexcept {
  const std::uint64_t sign = static_cast<std::uint64_t>(h >> 15) << 63;
  const unsigned exponent = (h >> 10) & 0x1fu;
  const std::uint64_t mantissa = h & 0x3ffu;
  if (exponent == 0) {
    // zero or subnormal: mantissa * 2**-24, exact in double
    const double magnitude = static_cast<double>(mantissa) * 0x1p-24;
    return sign != 0 ? -magnitude : magnitude;
  }
  // infinity and NaN keep their payload, shifted as NumPy shifts it
  const std::uint64_t biased = exponent == 0x1fu ? 0x7ffu : exponent - 15u + 1023u;
  return std::bit_cast<double>(sign | (biased << 52) | (mantissa << 42));
}

template <class Convert>
void convert_all(const char* data, numpy::npy_intp stride, std::size_t count, double* out, Convert convert) noexcept {
  for (std::size_t i = 0; i < count; ++i, data += stride) {
    out[i] = convert(data);
  }
}

// The conversion rounds to nearest, ties to even, as NumPy's scalar __float__ does.
template <class Unsigned, bool kSwapped>
void convert_integers(const char* data, numpy::npy_intp stride, std::size_t count, double* out,
                      bool is_signed) noexcept {
  using Signed = std::make_signed_t<Unsigned>;
  if (is_signed) {
    convert_all(data, stride, count, out,
                [](const char* p) { return static_cast<double>(static_cast<Signed>(load<Unsigned, kSwapped>(p))); });
  } else {
    convert_all(data, stride, count, out,
                [](const char* p) { return static_cast<double>(load<Unsigned, kSwapped>(p)); });
  }
}

// Every kind but bool and single bytes, with the byte order fixed at compile time.
template <bool kSwapped>
void read_multibyte(const char* data, numpy::npy_intp stride, std::size_t count, ElementFormat format,
                    double* out) noexcept {
  switch (format.kind) {
    case ElementKind::Float16:
      convert_all(data, stride, count, out, [](const char* p) { return half_value(load<std::uint16_t, kSwapped>(p)); });
      return;
    case ElementKind::Float32:
      convert_all(data, stride, count, out, [](const char* p) {
        return static_cast<double>(std::bit_cast<float>(load<std::uint32_t, kSwapped>(p)));
      });
      return;
    case ElementKind::Float64:
      convert_all(data, stride, count, out,
                  [](const char* p) { return std::bit_cast<double>(load<std::uint64_t, kSwapped>(p)); });
      return;
    default: {
      const bool is_signed = format.kind == ElementKind::Signed;
      switch (format.size) {
        case 2:
          convert_integers<std::uint16_t, kSwapped>(data, stride, count, out, is_signed);
          return;
        case 4:
          convert_integers<std::uint32_t, kSwapped>(data, stride, count, out, is_signed);
          return;
        default:
          convert_integers<std::uint64_t, kSwapped>(data, stride, count, out, is_signed);
          return;
      }
    }
  }
}

std::optional<ElementFormat> format_of(int type_number) noexcept {
  for (const PlainType& plain : kPlainTypes) {
    if (plain.type_number == type_number) {
      return ElementFormat{plain.kind, plain.size, false};
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<ElementFormat> plain_element_format(PyObject* descr) noexcept {
  // type_num and byteorder sit at the same offsets in NumPy 1.x and 2.x
  const auto* fields = reinterpret_cast<const numpy::DescrV1*>(descr);
  std::optional<ElementFormat> format = format_of(fields->type_num);
  if (format && format->size > 1) {
    constexpr char kOtherOrder = std::endian::native == std::endian::little ? '>' : '<';
    format->swapped = fields->byteorder == kOtherOrder;
  }
  return format;
}

std::optional<ElementFormat> buffer_element_format(const char* code) noexcept {
  std::string_view format = code == nullptr ? "B" : code;
  if (format.size() == 2 && format[0] == '@') {
    format.remove_prefix(1);
  }
  if (format.size() != 1) {
    return std::nullopt;
  }
  switch (format[0]) {
    case 'b': return ElementFormat{ElementKind::Signed, sizeof(signed char), false};
    case 'B': return ElementFormat{ElementKind::Unsigned, sizeof(unsigned char), false};
    case 'h': return ElementFormat{ElementKind::Signed, sizeof(short), false};
    case 'H': return ElementFormat{ElementKind::Unsigned, sizeof(unsigned short), false};
    case 'i': return ElementFormat{ElementKind::Signed, sizeof(int), false};
    case 'I': return ElementFormat{ElementKind::Unsigned, sizeof(unsigned int), false};
    case 'l': return ElementFormat{ElementKind::Signed, sizeof(long), false};
    case 'L': return ElementFormat{ElementKind::Unsigned, sizeof(unsigned long), false};
    case 'q': return ElementFormat{ElementKind::Signed, sizeof(long long), false};
    case 'Q': return ElementFormat{ElementKind::Unsigned, sizeof(unsigned long long), false};
    case 'n': return ElementFormat{ElementKind::Signed, sizeof(Py_ssize_t), false};
    case 'N': return ElementFormat{ElementKind::Unsigned, sizeof(std::size_t), false};
    case 'f': return ElementFormat{ElementKind::Float32, sizeof(float), false};
    case 'd': return ElementFormat{ElementKind::Float64, sizeof(double), false};
    default: return std::nullopt;
  }
}

std::optional<ElementFormat> arrow_element_format(std::string_view code) noexcept {
  struct Named {
    std::string_view code;
    ElementKind kind;
    std::size_t size;
  };
  static constexpr Named kNumbers[] = {
      {"c", ElementKind::Signed, 1},   {"C", ElementKind::Unsigned, 1}, {"s", ElementKind::Signed, 2},
      {"S", ElementKind::Unsigned, 2}, {"i", ElementKind::Signed, 4},   {"I", ElementKind::Unsigned, 4},
      {"l", ElementKind::Signed, 8},   {"L", ElementKind::Unsigned, 8}, {"f", ElementKind::Float32, 4},
      {"g", ElementKind::Float64, 8},
  };
  for (const Named& named : kNumbers) {
    if (named.code == code) {
      return ElementFormat{named.kind, named.size, false};
    }
  }
  return std::nullopt;
}

void read_elements(const char* data, numpy::npy_intp stride, std::size_t count, ElementFormat format,
                   double* out) noexcept {
  if (count == 0) {
    return;  // `out` may then be a placeholder that addresses no storage
  }
  if (format.kind == ElementKind::Bool) {
    // any non-zero byte reads as True
    convert_all(data, stride, count, out, [](const char* p) { return *p != 0 ? 1.0 : 0.0; });
  } else if (format.size == 1) {
    convert_integers<std::uint8_t, false>(data, stride, count, out, format.kind == ElementKind::Signed);
  } else if (format.kind == ElementKind::Float64 && !format.swapped && stride == sizeof(double)) {
    std::memcpy(out, data, count * sizeof(double));  // already float64, contiguous
  } else if (format.swapped) {
    read_multibyte<true>(data, stride, count, format, out);
  } else {
    read_multibyte<false>(data, stride, count, format, out);
  }
}

}  // namespace zorvane::lib
