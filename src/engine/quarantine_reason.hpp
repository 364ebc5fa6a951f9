// Why a row was set aside, and the words the quarantine file and the
// repair record give for it.
#pragma once

#include <cstddef>
#include <string>

namespace vornish {

enum class QuarantineReason : unsigned char { TooFew, Extra, Preamble, Comment, Footer, OtherTable };

// "Row has too few columns (expected E)" / "Row has extra columns (expected E)"
// / "Row is part of a preamble" / "Row is a comment" / "Row is part of a
// footer" / "Row belongs to another table".
std::string reason_text(QuarantineReason reason, std::size_t expected);

// The reason text of each kind, made once per run.
class ReasonTexts {
 public:
  explicit ReasonTexts(std::size_t expected)
      : too_few_(reason_text(QuarantineReason::TooFew, expected)),
        extra_(reason_text(QuarantineReason::Extra, expected)),
        preamble_(reason_text(QuarantineReason::Preamble, expected)),
        comment_(reason_text(QuarantineReason::Comment, expected)),
        footer_(reason_text(QuarantineReason::Footer, expected)),
        other_table_(reason_text(QuarantineReason::OtherTable, expected)) {}

  const std::string& of(QuarantineReason reason) const noexcept {
    switch (reason) {
      case QuarantineReason::TooFew:
        return too_few_;
      case QuarantineReason::Extra:
        return extra_;
      case QuarantineReason::Comment:
        return comment_;
      case QuarantineReason::Footer:
        return footer_;
      case QuarantineReason::OtherTable:
        return other_table_;
      case QuarantineReason::Preamble:
        break;
    }
    return preamble_;
  }

 private:
  std::string too_few_;
  std::string extra_;
  std::string preamble_;
  std::string comment_;
  std::string footer_;
  std::string other_table_;
};

}  // namespace vornish
