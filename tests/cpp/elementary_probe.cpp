// Usage: zorvane_elementary_probe exp|log < doubles > results
// Reads native binary64 values from standard input until its end and writes
// the function's value of each, in the same format, to standard output.
#include <cstdio>
#include <cstring>
#include <vector>

#include "numeric/elementary.hpp"

int main(int argc, char** argv) {
  if (argc != 2 || (std::strcmp(argv[1], "exp") != 0 && std::strcmp(argv[1], "log") != 0)) {
    std::fputs("usage: zorvane_elementary_probe exp|log < doubles > results\n", stderr);
    return 2;
  }
  const bool is_exp = std::strcmp(argv[1], "exp") == 0;
  std::vector<double> buffer(1 << 16);
  for (;;) {
    const std::size_t count = std::fread(buffer.data(), sizeof(double), buffer.size(), stdin);
    for (std::size_t i = 0; i < count; ++i) {
      buffer[i] = is_exp ? zorvane::numeric::exp(buffer[i]) : zorvane::numeric::log(buffer[i]);
    }
    if (std::fwrite(buffer.data(), sizeof(double), count, stdout) != count) {
      return 1;
    }
    if (count < buffer.size()) {
      return std::ferror(stdin) != 0 ? 1 : 0;
    }
  }
}
