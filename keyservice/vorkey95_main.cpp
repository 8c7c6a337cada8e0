// vorkey95: the MDI keyboard program of the direct-path build (see keyservice/host_main.h).
#include "keyservice/host_main.h"

int main(int argc, char** argv) { return vorkey::host_main(vorkey::HostKind::kDirect, argc, argv); }
