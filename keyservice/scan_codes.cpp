#include "keyservice/scan_codes.h"

#include <linux/input-event-codes.h>

#include <array>

namespace vorkey {
namespace {

struct Row {
  uint8_t prefix, code;
  uint16_t key;
};

// Set-1 codes 0x01 to 0x53 without prefix equal their Linux key codes (KEY_ESC 1 to KEY_KPDOT 83)
// and are not listed; these are the others.
constexpr Row kRows[] = {
    {0, 0x54, KEY_SYSRQ},         {0, 0x56, KEY_102ND},
    {0, 0x57, KEY_F11},           {0, 0x58, KEY_F12},
    {0, 0x59, KEY_KPEQUAL},       {0, 0x64, KEY_F13},
    {0, 0x65, KEY_F14},           {0, 0x66, KEY_F15},
    {0, 0x67, KEY_F16},           {0, 0x68, KEY_F17},
    {0, 0x69, KEY_F18},           {0, 0x6A, KEY_F19},
    {0, 0x6B, KEY_F20},           {0, 0x6C, KEY_F21},
    {0, 0x6D, KEY_F22},           {0, 0x6E, KEY_F23},
    {0, 0x70, KEY_KATAKANAHIRAGANA}, {0, 0x73, KEY_RO},
    {0, 0x76, KEY_F24},           {0, 0x79, KEY_HENKAN},
    {0, 0x7B, KEY_MUHENKAN},      {0, 0x7D, KEY_YEN},
    {0, 0x7E, KEY_KPCOMMA},
    {0xE0, 0x10, KEY_PREVIOUSSONG}, {0xE0, 0x19, KEY_NEXTSONG},
    {0xE0, 0x1C, KEY_KPENTER},    {0xE0, 0x1D, KEY_RIGHTCTRL},
    {0xE0, 0x20, KEY_MUTE},       {0xE0, 0x21, KEY_CALC},
    {0xE0, 0x22, KEY_PLAYPAUSE},  {0xE0, 0x24, KEY_STOPCD},
    {0xE0, 0x2E, KEY_VOLUMEDOWN}, {0xE0, 0x30, KEY_VOLUMEUP},
    {0xE0, 0x32, KEY_HOMEPAGE},   {0xE0, 0x35, KEY_KPSLASH},
    {0xE0, 0x37, KEY_SYSRQ},      {0xE0, 0x38, KEY_RIGHTALT},
    {0xE0, 0x46, KEY_PAUSE},      {0xE0, 0x47, KEY_HOME},
    {0xE0, 0x48, KEY_UP},         {0xE0, 0x49, KEY_PAGEUP},
    {0xE0, 0x4B, KEY_LEFT},       {0xE0, 0x4D, KEY_RIGHT},
    {0xE0, 0x4F, KEY_END},        {0xE0, 0x50, KEY_DOWN},
    {0xE0, 0x51, KEY_PAGEDOWN},   {0xE0, 0x52, KEY_INSERT},
    {0xE0, 0x53, KEY_DELETE},     {0xE0, 0x5B, KEY_LEFTMETA},
    {0xE0, 0x5C, KEY_RIGHTMETA},  {0xE0, 0x5D, KEY_COMPOSE},
    {0xE0, 0x5E, KEY_POWER},      {0xE0, 0x5F, KEY_SLEEP},
    {0xE0, 0x63, KEY_WAKEUP},     {0xE0, 0x65, KEY_SEARCH},
    {0xE0, 0x66, KEY_BOOKMARKS},  {0xE0, 0x67, KEY_REFRESH},
    {0xE0, 0x68, KEY_STOP},       {0xE0, 0x69, KEY_FORWARD},
    {0xE0, 0x6A, KEY_BACK},       {0xE1, 0x1D, KEY_PAUSE},
};

}  // namespace

int linux_key_for_scan(ScanCode scan) {
  if (scan.prefix == 0 && scan.code >= 0x01 && scan.code <= 0x53) return scan.code;
  for (const Row& r : kRows)
    if (r.prefix == scan.prefix && r.code == scan.code) return r.key;
  return 0;
}

std::optional<ScanCode> scan_for_linux_key(int key) {
  if (key >= 0x01 && key <= 0x53) return ScanCode{static_cast<uint8_t>(key), 0};
  for (const Row& r : kRows)
    if (r.key == key) return ScanCode{r.code, r.prefix};
  return std::nullopt;
}

}  // namespace vorkey
