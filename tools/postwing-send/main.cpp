// STUB: the command-line sender.
#include <cstdio>

int main() {
  std::puts("postwing-send: not built yet");
  return 2;
}
