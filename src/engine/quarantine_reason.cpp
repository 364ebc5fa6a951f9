#include "engine/quarantine_reason.hpp"

namespace vornish {

std::string reason_text(QuarantineReason reason, std::size_t expected) {
  if (reason == QuarantineReason::Preamble) {
    return "Row is part of a preamble";
  }
  if (reason == QuarantineReason::Comment) {
    return "Row is a comment";
  }
  if (reason == QuarantineReason::Footer) {
    return "Row is part of a footer";
  }
  if (reason == QuarantineReason::OtherTable) {
    return "Row belongs to another table";
  }
  std::string text = reason == QuarantineReason::TooFew ? "Row has too few columns (expected "
                                                        : "Row has extra columns (expected ";
  text += std::to_string(expected);
  text += ')';
  return text;
}

}  // namespace vornish
