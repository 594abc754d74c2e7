#include "app/cli/inspection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarnwick::cli {

namespace {

constexpr int kMaxIndentDepth = 32;

const char* TypeName(uint8_t type) {
  switch (type) {
    case 1: return "storage";
    case 2: return "stream";
    case 5: return "root";
    default: return "unknown";
  }
}

// A name from the file as one line of text: control characters (a hostile
// directory may hold any) read as '?'.
std::string Printable(const std::string& name) {
  std::string out = name;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return out;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : ", ") + Printable(n);
  return out;
}

Json Named(const std::vector<std::string>& numbers) {
  Json j;
  j["count"] = numbers.size();
  j["numbers"] = numbers;
  return j;
}

}  // namespace

const char* Verdict(const CompoundCheck& check) {
  if (!check.IsCompound) return "not compound";
  return check.Whole ? "whole" : "damaged";
}

void PutInspection(Json& o, const Inspection& in) {
  const CompoundCheck& c = in.Check;
  o["verdict"] = Verdict(c);
  o["problem"] = c.Problem.empty() ? Json(nullptr) : Json(c.Problem);
  o["qq_database"] = HasQQNames(c);
  o["sector_size"] = c.SectorSize;
  o["length"] = c.Length;
  o["contacts"] = Named(in.Contents.Contacts);
  o["groups"] = Named(in.Contents.Groups);
  o["message_store_bytes"] = in.Contents.MessageStoreBytes;
  o["message_store_streams"] = in.Contents.MessageStoreStreams;
  Json tree = Json::array();
  for (const CompoundEntry& e : c.Entries) {
    Json entry;
    entry["name"] = e.Name;
    entry["path"] = e.Path;
    entry["type"] = TypeName(e.Type);
    entry["size"] = e.Size;
    entry["depth"] = e.Depth;
    entry["intact"] = e.Intact;
    tree.push_back(std::move(entry));
  }
  o["tree"] = std::move(tree);
  o["intact_streams"] = c.IntactStreams;
  o["broken_streams"] = c.BrokenStreams;
}

std::string InspectionText(const Inspection& in) {
  const CompoundCheck& c = in.Check;
  std::string t = in.Path + ": " + Verdict(c);
  if (!c.Problem.empty()) t += " (" + Printable(c.Problem) + ")";
  t += "\n  Size: " + std::to_string(in.FileBytes) + " bytes\n";
  if (!c.IsCompound) return t;
  t += "  QQ database: " + std::string(HasQQNames(c) ? "yes" : "no") + "\n";
  t += "  Contacts: " + std::to_string(in.Contents.Contacts.size());
  if (!in.Contents.Contacts.empty()) t += " (" + Joined(in.Contents.Contacts) + ")";
  t += "\n  Groups: " + std::to_string(in.Contents.Groups.size());
  if (!in.Contents.Groups.empty()) t += " (" + Joined(in.Contents.Groups) + ")";
  t += "\n  Message store: " + std::to_string(in.Contents.MessageStoreBytes) + " bytes in " +
       std::to_string(in.Contents.MessageStoreStreams) + " Data.msj streams\n";
  if (!c.BrokenStreams.empty()) t += "  Broken streams: " + Joined(c.BrokenStreams) + "\n";
  if (!c.Whole && !c.IntactStreams.empty())
    t += "  Intact streams: " + Joined(c.IntactStreams) + "\n";
  t += "  Tree:\n";
  for (const CompoundEntry& e : c.Entries) {
    // A hostile file may nest storages thousands deep; the indent stops growing.
    const size_t depth = static_cast<size_t>(std::clamp(e.Depth, 0, kMaxIndentDepth));
    t += std::string(4 + 2 * depth, ' ') + Printable(e.Name);
    if (e.Type == 2)
      t += "  " + std::to_string(e.Size) + (e.Intact ? "" : "  [broken]");
    else
      t += "/";
    t += "\n";
  }
  return t;
}

}  // namespace tarnwick::cli
