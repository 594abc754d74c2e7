#pragma once
// What `inspect` and the report say of one file: its compound-file tree, the
// verdict of the whole-file check, and the conversations the tree names.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "app/cli/json_out.h"
#include "compound/compound_file.h"
#include "compound/qq_contents.h"

namespace tarnwick::cli {

using Inspection = InspectedFile;

// "whole", "damaged" or "not compound".
const char* Verdict(const CompoundCheck& check);

// The inspection's fields (all but the path and size) into a JSON object.
void PutInspection(Json& object, const Inspection& inspection);

// The text form: a verdict line, the conversations, the tree.
std::string InspectionText(const Inspection& inspection);

}  // namespace tarnwick::cli
