// Program entry of okvbridge.
#include "bridge/bridge.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  platform::KeepGoingWithoutConsole();
  return BridgeMain(argc, argv);
}
