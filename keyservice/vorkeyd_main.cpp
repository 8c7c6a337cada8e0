// vorkeyd: the MDI keyboard service, service build (see keyservice/host_main.h).
#include "keyservice/host_main.h"

int main(int argc, char** argv) { return vorkey::host_main(vorkey::HostKind::kService, argc, argv); }
