#pragma once
// The simulated nodes the viewer's tests and benchmarks run against in their own lorandd.
#include <string>

namespace hexlook::testing {

// Two simulated nodes: 0 "Lathe" at 0x300 and 2 "Mill" at 0x320, unit time 0.
inline std::string two_node_conf() {
  return "[Parameters]\n"
         "IoPortAddress0=0x300\nCncType0=1\nNodeName0=Lathe\n"
         "IoPortAddress2=0x320\nCncType2=2\nNodeName2=Mill\n"
         "[Host]\nBoard0=sim\nBoard2=sim\nStateDir=@STATE@\nSocketMode=0600\n"
         "[Simulator]\nUnitTime0=0\nUnitTime2=0\n";
}

}  // namespace hexlook::testing
