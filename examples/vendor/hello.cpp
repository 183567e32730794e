// The vendor's program; what it does does not matter to its installation.
#include <cstdio>

int main() {
  std::puts("hello");
  return 0;
}
