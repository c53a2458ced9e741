// Program entry of okvbridge.
#include "bridge/bridge.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  platform::KeepGoingWithoutConsole();
  platform::PrepareConsole();
  const int code = BridgeMain(argc, argv);  // back only when the port cannot be opened
  platform::RestoreConsole();
  return code;
}
