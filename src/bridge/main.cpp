// Program entry of okvbridge.
#include "bridge/bridge.h"

int main(int argc, char** argv) {
  return BridgeMain(argc, argv);
}
