#pragma once
// JSON as the command line writes it: nlohmann-json, keys in the order they
// are set, and byte strings from the disk (paths, names) kept exact.
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace tarnwick::cli {

using Json = nlohmann::ordered_json;

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates).
bool IsUtf8(std::string_view bytes);

// Sets object[key] to the text of bytes. When the bytes are not UTF-8, each
// invalid byte reads as U+FFFD there, and object[key + "_bytes_hex"] holds
// the exact bytes in lowercase hex, so that nothing is lost.
void PutBytes(Json& object, const std::string& key, const std::string& bytes);

// The text of a value: one line (indent < 0, with ", " and ": " between
// items) or indented. Invalid UTF-8 that
// reached a plain string (a name from a hostile file) becomes U+FFFD rather
// than an exception.
std::string Dump(const Json& value, int indent = -1);

// One line of JSON on stdout.
void PrintJson(const Json& value);

}  // namespace tarnwick::cli
