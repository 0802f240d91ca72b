// Runs every registered core test, or only those whose name contains
// argv[1]. Prints each failure with its test name and ends with the line
// "N passed, N failed"; exits non-zero when any test failed.
#include <cstdio>
#include <cstring>
#include <exception>

#include "check.hpp"

int main(int argc, char** argv) {
  const char* filter = argc > 1 ? argv[1] : nullptr;
  int passed = 0, failed = 0;
  for (const check::TestCase& test : check::registry()) {
    if (filter != nullptr && std::strstr(test.name, filter) == nullptr) continue;
    check::current_test() = test.name;
    check::current_failures() = 0;
    try {
      test.body();
    } catch (const std::exception& e) {
      check::fail(__FILE__, __LINE__, std::string("uncaught exception: ") + e.what());
    } catch (...) {
      check::fail(__FILE__, __LINE__, "uncaught exception of unknown type");
    }
    if (check::current_failures() == 0) {
      ++passed;
    } else {
      ++failed;
      std::printf("FAILED %s\n", test.name);
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
