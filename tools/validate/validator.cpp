#include "validator.h"

#include <cmath>
#include <cstring>
#include <map>

namespace Vantorix {
namespace Bone_Tools {

namespace {

// Bounds-checked cursor over the file's bytes.
class Cursor {
 public:
  explicit Cursor(const std::string& data) : bytes(data) {}

  bool U32(unsigned int& value) {
    if (bytes.size() - position < 4 || position > bytes.size()) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + position);
    value = unsigned(p[0]) | unsigned(p[1]) << 8 | unsigned(p[2]) << 16 | unsigned(p[3]) << 24;
    position += 4;
    return true;
  }
  bool F32(float& value) {
    unsigned int bits;
    if (!U32(bits)) return false;
    std::memcpy(&value, &bits, 4);
    return true;
  }
  bool Str(std::string& text) {
    const std::size_t end = bytes.find('\0', position);
    if (end == std::string::npos) return false;
    text.assign(bytes, position, end - position);
    position = end + 1;
    return true;
  }
  std::size_t Remaining() const { return bytes.size() - position; }

  std::size_t position = 0;

 private:
  const std::string& bytes;
};

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = char(c - 32);
  return text;
}

struct Record {
  std::size_t offset;
  std::string name, parent;
  unsigned int root_flag;
};

class Report {
 public:
  void Add(std::size_t offset, const std::string& bone, long long key, const std::string& message) {
    findings.push_back(Finding{offset, bone, key, message});
  }
  std::vector<Finding> findings;
};

void Check_Tree(const std::vector<Record>& records, Report& report) {
  std::map<std::string, std::size_t> first_of;  // upper-cased name -> first record
  for (std::size_t i = 0; i < records.size(); ++i) {
    const auto inserted = first_of.emplace(Upper(records[i].name), i);
    if (!inserted.second)
      report.Add(records[i].offset, records[i].name, -1,
                 "name repeats bone " + records[inserted.first->second].name + " without regard to case");
  }
  std::vector<std::size_t> roots;
  for (std::size_t i = 0; i < records.size(); ++i)
    if (records[i].root_flag != 0) roots.push_back(i);
  if (roots.empty()) report.Add(records.empty() ? 0 : records[0].offset, "", -1, "no bone carries the root flag");
  if (roots.size() > 1)
    for (std::size_t r = 0; r + 1 < roots.size(); ++r)
      report.Add(records[roots[r]].offset, records[roots[r]].name, -1,
                 "several bones carry the root flag; the last one, " + records[roots.back()].name + ", is the root");

  // parent[i]: the record its parent name finds (first match), or none.
  const std::size_t NONE = std::size_t(-1);
  std::vector<std::size_t> parent(records.size(), NONE);
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].root_flag != 0) continue;
    const auto found = first_of.find(Upper(records[i].parent));
    if (found == first_of.end()) {
      report.Add(records[i].offset, records[i].name, -1, "parent " + records[i].parent + " is not a bone of the file");
      continue;
    }
    parent[i] = found->second;
    if (found->second == i) report.Add(records[i].offset, records[i].name, -1, "bone is its own parent");
  }
  if (roots.empty()) return;
  const std::size_t root = roots.back();
  // Walk up from every bone; a walk longer than the bone count is a loop.
  for (std::size_t i = 0; i < records.size(); ++i) {
    std::size_t at = i, steps = 0;
    while (at != NONE && at != root && records[at].root_flag == 0 && steps <= records.size()) {
      at = parent[at];
      ++steps;
    }
    if (steps > records.size())
      report.Add(records[i].offset, records[i].name, -1, "parent links loop");
    else if (at != root && parent[i] != i)
      report.Add(records[i].offset, records[i].name, -1, "bone is not reachable from the root " + records[root].name);
  }
}

}  // namespace

std::vector<Finding> Validate_Bone_File(const std::string& bytes) {
  Report report;
  Cursor in(bytes);
  std::string text;
  unsigned int bone_count = 0;
  float length = 0;
  if (!in.Str(text) || text != Bone_Import::BONE_FILE_HEADER) {
    report.Add(0, "", -1, "header is not BONE");
    return report.findings;
  }
  if (!in.U32(bone_count) || !in.F32(length) || !in.Str(text) || text != Bone_Import::END_SIGN) {
    report.Add(in.position, "", -1, "header is cut off or its end sign is not SIGN");
    return report.findings;
  }
  if (!std::isfinite(length)) report.Add(9, "", -1, "length is not finite");
  if (length < 0) report.Add(9, "", -1, "length is negative");

  std::vector<Record> records;
  for (unsigned int b = 0; b < bone_count; ++b) {
    Record record{in.position, "", "", 0};
    unsigned int key_count = 0;
    if (!in.Str(record.name) || !in.Str(record.parent) || !in.U32(key_count) || !in.U32(record.root_flag)) {
      report.Add(record.offset, record.name, -1, "bone record " + std::to_string(b) + " is cut off");
      return report.findings;
    }
    if (std::uint64_t(key_count) * 28 > in.Remaining()) {
      report.Add(in.position - 8, record.name, -1,
                 "key count " + std::to_string(key_count) + " is more than the rest of the file holds");
      return report.findings;
    }
    if (key_count < 2) report.Add(in.position - 8, record.name, -1, "fewer than 2 keys: sequences cannot be imported");
    float previous = 0;
    for (unsigned int k = 0; k < key_count; ++k) {
      const std::size_t key_offset = in.position;
      float values[7] = {};
      for (float& value : values) in.F32(value);
      for (int v = 0; v < 7; ++v)
        if (!std::isfinite(values[v])) {
          static const char* const FIELDS[] = {"time", "r0", "r1", "r2", "x", "y", "z"};
          report.Add(key_offset + 4 * v, record.name, k, std::string(FIELDS[v]) + " is not finite");
        }
      const float time = values[0];
      if (k == 0 && time != 0.0f) report.Add(key_offset, record.name, k, "first key is not at time 0");
      if (k > 0 && !(time > previous)) report.Add(key_offset, record.name, k, "key time does not increase strictly");
      if (k + 1 == key_count && k > 0 && time != length)
        report.Add(key_offset, record.name, k, "last key is not at the length");
      previous = time;
    }
    if (!in.Str(text) || text != Bone_Import::END_SIGN) {
      report.Add(in.position, record.name, -1, "record end sign is not SIGN");
      return report.findings;
    }
    records.push_back(record);
  }
  if (!in.Str(text) || text != Bone_Import::END_SIGN) report.Add(in.position, "", -1, "final end sign is not SIGN");
  Check_Tree(records, report);
  return report.findings;
}

std::vector<Finding> Validate_Skin_File(const std::string& bytes, const Bone_Import::Hierarchy* hierarchy) {
  Report report;
  Cursor in(bytes);
  std::string text;
  unsigned int skin_count = 0, bone_count = 0;
  if (!in.Str(text) || text != Bone_Import::SKIN_FILE_HEADER) {
    report.Add(0, "", -1, "header is not SKIN");
    return report.findings;
  }
  if (!in.U32(skin_count) || !in.U32(bone_count)) {
    report.Add(in.position, "", -1, "counts are cut off");
    return report.findings;
  }
  std::vector<std::string> table;
  for (unsigned int b = 0; b < bone_count; ++b) {
    const std::size_t offset = in.position;
    unsigned int unused;
    if (!in.U32(unused) || !in.Str(text)) {
      report.Add(offset, "", -1, "bone table entry " + std::to_string(b) + " is cut off");
      return report.findings;
    }
    if (hierarchy != nullptr) {
      if (b >= hierarchy->Bone_Count())
        report.Add(offset, text, -1, "bone table has more entries than the hierarchy has bones");
      else if (Upper(text) != Upper(hierarchy->Bone_Name(b)))
        report.Add(offset, text, -1,
                   "bone table is not in the hierarchy's order: entry names " + text + ", hierarchy bone is " +
                       hierarchy->Bone_Name(b));
    }
    table.push_back(text);
  }
  if (!in.Str(text) || text != Bone_Import::END_SIGN) {
    report.Add(in.position, "", -1, "bone table end sign is not SIGN");
    return report.findings;
  }
  for (unsigned int s = 0; s < skin_count; ++s) {
    std::string name;
    unsigned int count = 0;
    const std::size_t offset = in.position;
    if (!in.Str(name) || !in.U32(count)) {
      report.Add(offset, "", -1, "skin " + std::to_string(s) + " is cut off");
      return report.findings;
    }
    if (std::uint64_t(count) * 24 > in.Remaining()) {
      report.Add(in.position - 4, "", -1, "skin " + name + ": vertex count is more than the rest of the file holds");
      return report.findings;
    }
    for (unsigned int r = 0; r < count; ++r) {
      const std::size_t record = in.position;
      unsigned int bone = 0, vertex = 0;
      float values[4] = {};
      in.U32(bone);
      for (float& value : values) in.F32(value);
      in.U32(vertex);
      if (bone >= table.size())
        report.Add(record, "", -1,
                   "skin " + name + " record " + std::to_string(r) + ": bone " + std::to_string(bone) +
                       " is outside the bone table");
      for (float value : values)
        if (!std::isfinite(value)) {
          report.Add(record, bone < table.size() ? table[bone] : "", -1,
                     "skin " + name + " record " + std::to_string(r) + ": value is not finite");
          break;
        }
    }
    if (!in.Str(text) || text != Bone_Import::END_SIGN) {
      report.Add(in.position, "", -1, "skin " + name + ": end sign is not SIGN");
      return report.findings;
    }
  }
  return report.findings;
}

std::string Format_Finding(const std::string& file, const Finding& finding) {
  std::string line = file + ": offset " + std::to_string(finding.offset);
  if (!finding.bone.empty()) line += ": bone " + finding.bone;
  if (finding.key >= 0) line += ": key " + std::to_string(finding.key);
  return line + ": " + finding.message;
}

}  // namespace Bone_Tools
}  // namespace Vantorix
