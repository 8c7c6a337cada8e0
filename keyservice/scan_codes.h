#pragma once
// The one table between PC set-1 scan codes (with their E0/E1 prefix) and Linux key codes
// (linux/input-event-codes.h). Injection maps the service's words to Linux keys through it, and
// the layout queries map a layout's keys back to the scan codes the service sends.
#include <cstdint>
#include <optional>

namespace vorkey {

struct ScanCode {
  uint8_t code = 0;
  uint8_t prefix = 0;  // 0, 0xE0 or 0xE1
};

// The Linux key for a scan code; 0 when the table has none.
int linux_key_for_scan(ScanCode scan);
// The scan code of a Linux key; nullopt when the table has none.
std::optional<ScanCode> scan_for_linux_key(int key);

}  // namespace vorkey
