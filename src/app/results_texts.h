#pragma once
// The texts that the results view and the progress rate add to the interface,
// in the same three languages as the rest.
#include <string>
#include <string_view>

#include "app/face_texts.h"

namespace tarnwick {

enum class ResultsText {
  RateAndTimeLeft,  // "%1 MB/s, %2 left"
  RateOnly,         // "%1 MB/s"
  Title,
  ColumnName,
  ColumnSize,
  ColumnContacts,
  ColumnGroups,
  ColumnVerdict,
  Whole,
  Damaged,
  NotCompound,
  Unreadable,
  Hint,
  Close,
  BrokenStreams,  // "Broken streams: "
  Count
};

std::string_view ResultsTextFor(Language language, ResultsText text);

// The text with %1, %2 replaced by the arguments.
std::string FillIn(std::string_view text, const std::string& first, const std::string& second = {});

}  // namespace tarnwick
