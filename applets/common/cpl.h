#pragma once
// The control panel's applet protocol, shared by every applet library and by the moxel-control
// host. An applet is a shared library exporting `CPlApplet`; the host loads it and drives it with
// the messages below. Values, answers and the record layout are those the applets have always used,
// so an applet and a host built apart still agree.
#include <cstddef>
#include <cstdint>

extern "C" {

// Messages sent by the host, in the order of a normal run.
enum : uint32_t {
  CPL_INIT = 1,        // library loaded; answer nonzero to go on
  CPL_GETCOUNT = 2,    // number of applets in the library
  CPL_INQUIRE = 3,     // old-style description (lParam1 = applet index)
  CPL_SELECT = 4,      // applet selected (lParam1 = applet index)
  CPL_DBLCLK = 5,      // run the applet (lParam1 = applet index); answer 0 when handled
  CPL_STOP = 6,        // applet about to be released (lParam1 = applet index)
  CPL_EXIT = 7,        // library about to be unloaded
  CPL_NEWINQUIRE = 8,  // fill the NEWCPLINFO at lParam2 (lParam1 = applet index)
};

// Description of one applet, 244 bytes. hIcon carries the applet's icon resource number; the texts
// are NUL-terminated UTF-8.
struct NEWCPLINFO {
  uint32_t dwSize;  // sizeof(NEWCPLINFO)
  uint32_t dwFlags;
  uint32_t dwHelpContext;
  uint32_t lData;
  uint32_t hIcon;
  char szName[32];
  char szInfo[64];
  char szHelpFile[128];
};
static_assert(sizeof(NEWCPLINFO) == 244, "NEWCPLINFO must stay 244 bytes");
static_assert(offsetof(NEWCPLINFO, szName) == 20 && offsetof(NEWCPLINFO, szInfo) == 52 &&
              offsetof(NEWCPLINFO, szHelpFile) == 116);

// The entry point. `hwndCPl` is the host's window (a QWidget*) or null when it has none; it is the
// parent of the applet's dialog. lParam1 and lParam2 are pointer-sized, as the message needs.
typedef int32_t (*APPLET_PROC)(void* hwndCPl, uint32_t uMsg, intptr_t lParam1, intptr_t lParam2);

#define MOXEL_CPL_ENTRY_NAME "CPlApplet"

}  // extern "C"
