// Test helper: the size of a test's largest inputs.
//
// Tests of a million subjects or nesting levels take a second or two here,
// and minutes under an emulator (qemu-user, wine on a busy machine).
// scripts/cross-test.sh sets LUMO_TEST_SCALE=emulated, and those tests then
// take a tenth of their size: a hundred thousand levels still overflow the
// 256 KiB stack of run_on_small_stack() many times over if anything recursed
// once per level, and still reach past every block and stride of the
// interrupt polls. Natively the tests keep their full size.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <string_view>

namespace lumo {

inline bool emulated_test_run() {
  static const bool emulated = [] {
    const char* scale = std::getenv("LUMO_TEST_SCALE");
    return scale != nullptr && std::string_view(scale) == "emulated";
  }();
  return emulated;
}

// n, or a tenth of it under an emulator.
inline std::size_t scaled(std::size_t n) { return emulated_test_run() ? n / 10 : n; }

}  // namespace lumo
