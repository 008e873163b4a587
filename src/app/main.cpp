// tarvik-host: the host simulator program.
#include <cstdio>

int main() {
  std::puts("TARVIK Host Simulator  Ver 2.8");
  std::puts("The engine is built; the console front-end, the virtual validator and the window "
            "follow.");
  return 0;
}
