#pragma once
// CItfErr: the exception in which every fault of the CNC interface leaves it, thrown by value.
//   0  the CNC refused a function call (or a file-store call failed): the message says what
//   1  the link went down during a transfer or mailbox access (nothing is shown; the program
//      handles the lost link)
//   2  a mailbox wait exceeded 120 seconds
//   3-5  SRAM block read: parity, NMI, uncorrectable error
//   6-8  SRAM block write: verify, ECC, restore error
#include <exception>
#include <string>

namespace kestrel {

class CItfErr : public std::exception {
 public:
  explicit CItfErr(int code, std::string message = {});

  int code() const { return code_; }
  // The message of a code-0 error; empty for the other codes.
  const std::string& message() const { return message_; }
  // What the program shows for it: the message for code 0, the fixed text for 2 to 8, empty for 1.
  std::string text() const;
  const char* what() const noexcept override;

 private:
  int code_;
  std::string message_;
  std::string what_;
};

}  // namespace kestrel
