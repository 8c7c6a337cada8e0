#include "kestrel/cncitf/itf_err.h"

namespace kestrel {

std::string CItfErr::text() const {
  switch (code_) {
    case 0: return message_;
    case 2: return "CNC boot software is not running.\nBoot process will be aborted.";
    case 3: return "SRAM PARITY OCCURRED.\nPLEASE POWER OFF CNC.";
    case 4: return "NMI OCCURRED.\nPLEASE POWER OFF CNC.";
    case 5: return "SRAM UNCORRECTABLE ERROR.\nREPLACE SRAM.";
    case 6: return "RESTORE VERIFY ERROR.";
    case 7: return "RESTORE SRAM ECC ERROR.";
    case 8: return "SRAM DATA RESTORE ERROR.";
    default: return {};
  }
}

CItfErr::CItfErr(int code, std::string message) : code_(code), message_(std::move(message)) {
  what_ = text();
  if (what_.empty()) what_ = code_ == 1 ? "CNC link lost" : "CNC interface error " + std::to_string(code_);
}

const char* CItfErr::what() const noexcept { return what_.c_str(); }

}  // namespace kestrel
