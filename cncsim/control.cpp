#include "cncsim/control.h"

#include <optional>
#include <sstream>
#include <vector>

#include "cncsim/cnc/host.h"
#include "cncsim/simulator.h"
#include "platform/config_store.h"

namespace cncsim {
namespace {

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

bool on_off(const std::string& word, const char* on, const char* off, bool* value) {
  if (word == on) {
    *value = true;
    return true;
  }
  if (word == off) {
    *value = false;
    return true;
  }
  return false;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string to_hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

}  // namespace

const char* control_usage() {
  return "usage: cncsim [--socket PATH] COMMAND\n"
         "  link NODE up|down|lost|reset hold the FLUX link up or down; lost: down until the PC\n"
         "                               resets it; reset: as the PC's link reset\n"
         "  ready NODE on|off            the CNC's ready bit\n"
         "  power NODE off|on            power the CNC off or on (SRAM and F-ROM are kept)\n"
         "  peek NODE ADDRESS LENGTH     print CNC memory at a Cnbus address in hex\n"
         "  poke NODE ADDRESS HEXBYTES   write CNC memory at a Cnbus address\n"
         "  poke NODE ADDRESS --file PATH   the same with the bytes of a file (- for standard\n"
         "                               input), up to 16 MB\n"
         "  trace NODE start|stop|show|clear   record units and register requests\n"
         "  fault NODE NAME on|off [VALUE]  inject or clear a fault (VALUE where it takes one)\n"
         "  fault NODE list              the faults with their state and meaning\n"
         "  boot NODE MODE               restart the CNC's software in MODE: console, auto, running\n"
         "  param NODE get NUMBER        an option parameter of the CNC: kind and value\n"
         "  param NODE set NUMBER VALUE  change it as the CNC's own screen would\n"
         "  busy NODE on|off             the board's busy-at-start state\n"
         "  unit-time NODE NANOSECONDS   time the busy bit stays set per unit\n"
         "  status NODE                  show the state of a node\n"
         "  key NODE press|release KEY   press or let go a key of the MDI keyboard (KEY_xy or 0-255)\n"
         "  key NODE type TEXT           type TEXT on the MDI keyboard as a person would, through the\n"
         "                               keyboard service's key table (\\n Enter, \\t Tab, \\b Backspace)\n"
         "  key NODE unread              yes while the PC has not yet read a key change (mailbox way)\n"
         "  card NODE insert|remove      put the memory card in or pull it (open files are lost)\n"
         "  card NODE battery-alarm|protect|flash on|off\n"
         "                               the card's battery alarm, write-protect switch, flash type\n"
         "  card NODE unavailable [on|off]  a card that cannot be formatted or written (0x2002F)\n"
         "  card NODE unformatted        erase the card to an unformatted one\n"
         "  card NODE capacity BYTES     the card's size\n"
         "  card NODE ls|status          list its files, or show its state\n"
         "  card NODE log [clear]        the card functions served, oldest first\n"
         "Numbers accept decimal and 0x-hex.\n";
}

bool run_control_command(Simulator& sim, const std::string& line, std::string* output) {
  std::string sink;
  std::string& out = output ? *output : sink;
  out.clear();
  auto refuse = [&](const std::string& why) {
    out = why + "\n";
    return false;
  };
  std::vector<std::string> w = split(line);
  if (w.empty()) return refuse("no command");
  const std::string& verb = w[0];
  if (w.size() < 2) return refuse(verb + ": missing node number");
  auto number = moxel::parse_dword(w[1]);
  if (!number) return refuse(verb + ": bad node number '" + w[1] + "'");
  Node* node = sim.node(*number);
  if (!node) return refuse("node " + std::to_string(*number) + " is not a simulated node");
  auto want = [&](size_t n) { return w.size() == n; };
  bool flag = false;

  if (verb == "link" && want(3)) {
    if (w[2] == "reset") {
      node->reset_link();
      return true;
    }
    if (w[2] == "lost") {
      node->lose_link();
      return true;
    }
    if (!on_off(w[2], "up", "down", &flag)) return refuse("link: say up, down, lost or reset");
    node->set_link(flag);
    return true;
  }
  if (verb == "ready" && want(3)) {
    if (!on_off(w[2], "on", "off", &flag)) return refuse("ready: say on or off");
    node->set_ready(flag);
    return true;
  }
  if (verb == "power" && want(3)) {
    if (!on_off(w[2], "on", "off", &flag)) return refuse("power: say on or off");
    node->set_power(flag);
    return true;
  }
  if (verb == "busy" && want(3)) {
    if (!on_off(w[2], "on", "off", &flag)) return refuse("busy: say on or off");
    node->set_busy_at_start(flag);
    return true;
  }
  cnc::Host* software = sim.software(*number);
  if (verb == "fault" && software) {
    std::string error;
    if (want(3) && w[2] == "list") {
      out = software->fault_list();
      return true;
    }
    if (!want(4) && !want(5)) return refuse("fault: say NAME on|off [VALUE], or list");
    if (!on_off(w[3], "on", "off", &flag)) return refuse("fault: say on or off");
    std::optional<uint32_t> value;
    if (want(5) && !(value = moxel::parse_dword(w[4]))) return refuse("fault: bad value '" + w[4] + "'");
    if (!software->set_fault(w[2], flag, value, &error)) return refuse("fault: " + error);
    return true;
  }
  if (software) {
    // Commands the CNC's own programs offer (cncsim/cnc/).
    std::string answer;
    if (auto done = software->command(verb, {w.begin() + 2, w.end()}, &answer)) {
      out = answer;
      if (!out.empty() && out.back() != '\n') out += '\n';
      return *done;
    }
  }
  if (verb == "boot" && want(3) && software) {
    std::string error;
    if (!software->boot(w[2], &error)) return refuse("boot: " + error);
    return true;
  }
  if (verb == "unit-time" && want(3)) {
    auto ns = moxel::parse_dword(w[2]);
    if (!ns) return refuse("unit-time: bad number '" + w[2] + "'");
    node->set_unit_time_ns(*ns);
    return true;
  }
  if (verb == "peek" && want(4)) {
    auto address = moxel::parse_dword(w[2]);
    auto length = moxel::parse_dword(w[3]);
    if (!address) return refuse("peek: bad address '" + w[2] + "'");
    if (!length || *length > kMaxPeek) return refuse("peek: bad length '" + w[3] + "'");
    std::vector<uint8_t> bytes(*length);
    node->peek(*address, bytes);
    out = to_hex(bytes) + "\n";
    return true;
  }
  if (verb == "poke" && want(4)) {
    auto address = moxel::parse_dword(w[2]);
    if (!address) return refuse("poke: bad address '" + w[2] + "'");
    const std::string& hex = w[3];
    if (hex.size() % 2 != 0) return refuse("poke: odd number of hex digits");
    std::vector<uint8_t> bytes(hex.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
      int hi = hex_digit(hex[2 * i]), lo = hex_digit(hex[2 * i + 1]);
      if (hi < 0 || lo < 0) return refuse("poke: not hex: '" + hex + "'");
      bytes[i] = uint8_t(hi << 4 | lo);
    }
    if (!node->poke(*address, bytes))
      return refuse("poke: part of the range lies outside the CNC's memory (that part was not written)");
    return true;
  }
  if (verb == "trace" && want(3)) {
    if (w[2] == "start") node->trace_start();
    else if (w[2] == "stop") node->trace_stop();
    else if (w[2] == "show") out = node->trace_text();
    else if (w[2] == "clear") node->trace_clear();
    else return refuse("trace: say start, stop, show or clear");
    return true;
  }
  if (verb == "status" && want(2)) {
    out = node->describe();
    if (software) out += software->describe();
    return true;
  }
  return refuse("unknown or malformed command: " + line);
}

}  // namespace cncsim
