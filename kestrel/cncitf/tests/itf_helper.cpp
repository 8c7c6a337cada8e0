// A second program for the interface tests, in the environment of the test's lorandd:
//   itf_helper hold NODE               posts a call without completing it (the interface lock
//                                      stays held), prints "held" and waits to be killed
//   itf_helper check NODE BLOCK COUNT  asks COUNT times for the check text of BLOCK and prints
//                                      each answer on a line
// Exit status 0, or 1 with the reason on stderr.
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cnbusclient/cnbus_client.h"
#include "kestrel/cncitf/boot_func.h"

int main(int argc, char** argv) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
  if (argc < 3) return 1;
  const std::string mode = argv[1];
  cnbus::CCnbusClient client;
  if (!client.SelectNode(std::atoi(argv[2]))) {
    std::fprintf(stderr, "itf_helper: no node %s\n", argv[2]);
    return 1;
  }
  try {
    kestrel::CCncItf itf(client);
    if (mode == "hold") {
      itf.Call(0x004, 0, 0, itf.BufferBase(), 0, 0);
      std::printf("held\n");
      std::fflush(stdout);
      for (;;) pause();
    }
    if (mode == "check" && argc == 5) {
      kestrel::CBootFunc boot(itf);
      for (int i = 0, n = std::atoi(argv[4]); i < n; ++i)
        std::printf("%s\n", boot.CheckText(std::atoi(argv[3])).c_str());
      return 0;
    }
  } catch (const kestrel::CItfErr& e) {
    std::fprintf(stderr, "itf_helper: CItfErr %d %s\n", e.code(), e.what());
    return 1;
  }
  return 1;
}
