#pragma once
// What every applet library shares apart from the protocol header: the answers of CPlApplet for a
// library that holds one applet, the widget application its dialog runs in, and the reason shown
// to a user who may only look at the machine configuration.
#include <cstdint>
#include <filesystem>
#include <string>

class QWidget;

namespace moxel {

// The one applet of a library: what CPL_NEWINQUIRE reports and what CPL_DBLCLK runs.
struct AppletDescription {
  uint32_t icon;         // icon resource number
  const char* name;      // szName
  const char* info;      // szInfo
  const char* program;   // the library's short name, for messages and a private application
  void (*run)(QWidget* parent);  // shows the applet's dialog modally
};

// Answers one CPlApplet message: CPL_INIT 1, CPL_GETCOUNT 1, CPL_INQUIRE 0 (described by
// CPL_NEWINQUIRE), CPL_SELECT 1, CPL_DBLCLK runs the dialog and answers 0, CPL_STOP 1, CPL_EXIT 0,
// CPL_NEWINQUIRE fills the record at lParam2 and answers 0, anything else 1.
int32_t answer_applet_message(const AppletDescription& applet, void* hwndCPl, uint32_t uMsg,
                              intptr_t lParam1, intptr_t lParam2);

// Why this user may not change `file` (a file of the configuration store), as a clause for the
// user ("only root may change the settings in /etc/moxel"); empty when it may be changed.
std::string config_write_refusal(const std::filesystem::path& file);

}  // namespace moxel
