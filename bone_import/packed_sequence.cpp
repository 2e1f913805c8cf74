// Packing: lays the keys out as packed_format.h describes, with each
// channel's precision from the error allocation (packed_allocation.cpp).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include "bone_import.h"
#include "check.h"
#include "packed_encoder.h"

namespace Vantorix {
namespace Bone_Import {

using namespace Packed;

namespace {

const char* const SOURCE = "bone_import/bones";

inline std::uint32_t Bits_Of(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

}  // namespace

namespace Packed {

std::vector<unsigned char> Encoder::Run(unsigned int& track_count) {
  Collect_Tracks();
  Build_Grid();
  Plan_Channels();
  Allocate();
  track_count = unsigned(tracks.size());
  return Assemble();
}

void Encoder::Collect_Tracks() {
  const unsigned int bones = h.Bone_Count();
  for (unsigned int b = 0; b < bones; ++b) {
    if (h.Is_Leaf(b)) continue;
    const unsigned int n = s.Key_Count(b);
    const float* t = s.Key_Times(b);
    const Quaternion* q = s.Key_Rotations(b);
    const Vector_3<float>* o = s.Key_Offsets(b);
    bool rising = n >= 2, finite = true;
    for (unsigned int k = 0; k < n; ++k) {
      rising = rising && (k == 0 || t[k - 1] < t[k]);
      finite = finite && std::isfinite(t[k]) && std::isfinite(q[k].w) && std::isfinite(q[k].v.x) &&
               std::isfinite(q[k].v.y) && std::isfinite(q[k].v.z) && std::isfinite(o[k].x) && std::isfinite(o[k].y) &&
               std::isfinite(o[k].z);
    }
    BONE_IMPORT_CHECK(rising, "rising", SOURCE, "Packing needs key times that rise strictly, bone " << h.Bone_Name(b));
    BONE_IMPORT_CHECK(finite, "finite", SOURCE, "Packing needs keys that are finite numbers, bone " << h.Bone_Name(b));
    tracks.emplace_back();
    tracks.back().bone = b;
  }
}

void Encoder::Build_Grid() {
  for (const Track_Plan& track : tracks) {
    const float* t = s.Key_Times(track.bone);
    std::vector<float> merged;
    merged.reserve(grid.size() + s.Key_Count(track.bone));
    std::set_union(grid.begin(), grid.end(), t, t + s.Key_Count(track.bone), std::back_inserter(merged));
    grid.swap(merged);
  }
  const std::uint32_t count = std::uint32_t(grid.size());
  header.grid_count = count;
  header.grid_step = count > 1 ? grid.back() / float(count - 1) : 0.0f;
  if (!(header.grid_step > 0.0f) || !std::isfinite(header.grid_step)) header.grid_step = 0.0f;
  std::vector<std::uint32_t> corrections(count);
  unsigned int width = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t c = Bits_Of(grid[i]) - Bits_Of(float(i) * header.grid_step);
    corrections[i] = c;
    const std::int64_t signed_c = std::int32_t(c);
    if (c != 0) width = std::max(width, Width_Of(std::uint64_t(signed_c < 0 ? ~signed_c : signed_c)) + 1);
  }
  if (width > 16) {  // not nearly even: store the times whole
    header.grid_step = 0.0f;
    for (std::uint32_t i = 0; i < count; ++i) corrections[i] = Bits_Of(grid[i]);
    width = 32;
  }
  header.correction_bits = width;
  for (std::uint32_t c : corrections) grid_bits.Put(c, width);
  for (Track_Plan& track : tracks) {
    const float* t = s.Key_Times(track.bone);
    std::uint32_t g = 0;
    for (unsigned int k = 0; k < s.Key_Count(track.bone); ++k) {
      while (grid[g] != t[k]) ++g;
      track.grid_index.push_back(g);
    }
  }
}

std::vector<unsigned char> Encoder::Assemble() {
  std::vector<unsigned char> block;
  const auto align = [&block](std::size_t to) { block.resize((block.size() + to - 1) / to * to); };
  const auto append = [&block](const void* p, std::size_t n) {
    const std::size_t at = block.size();
    block.resize(at + n);
    if (n) std::memcpy(block.data() + at, p, n);
    return std::uint32_t(at);
  };
  block.resize(sizeof(Header));
  align(8);
  const std::size_t track_table = TRACK_TABLE;
  block.resize(track_table + tracks.size() * sizeof(Track));
  const std::vector<unsigned char> grid_bytes = grid_bits.Take();
  header.corrections = append(grid_bytes.data(), grid_bytes.size());
  std::vector<std::uint32_t> bones;
  for (const Track_Plan& track : tracks) bones.push_back(track.bone);
  align(4);
  header.bones = append(bones.data(), bones.size() * 4);
  std::vector<Track> stored(tracks.size());
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    Track_Plan& plan = tracks[i];
    Track& track = stored[i];
    const unsigned int n = s.Key_Count(plan.bone);
    track.bone = plan.bone;
    track.key_count = n;
    track.first_grid = plan.grid_index.front();
    track.last_grid = plan.grid_index.back();
    if (n == 2) {
      track.time_mode = TWO_KEYS;
    } else if (track.last_grid - track.first_grid + 1 == n) {
      track.time_mode = EVERY_TIME;
    } else {
      track.time_mode = BIT_SET;
      const std::uint32_t span = track.last_grid - track.first_grid + 1, words = (span + 63) / 64;
      std::vector<std::uint64_t> bits(words, 0);
      for (std::uint32_t g : plan.grid_index)
        bits[(g - track.first_grid) / 64] |= std::uint64_t(1) << ((g - track.first_grid) % 64);
      align(8);
      track.words = append(bits.data(), bits.size() * 8);
      track.wide_ranks = n > 0xffff;
      std::uint32_t before = 0;
      std::vector<std::uint32_t> wide;
      std::vector<std::uint16_t> narrow;
      for (std::uint64_t word : bits) {
        wide.push_back(before);
        narrow.push_back(std::uint16_t(before));
        before += Bit_Count(word);
      }
      track.ranks = track.wide_ranks ? append(wide.data(), wide.size() * 4) : append(narrow.data(), narrow.size() * 2);
    }
    for (Channel_Plan* channel_plan : {&plan.rotation, &plan.offset}) {
      Channel channel = channel_plan->channel;
      if (channel.mode == QUANTIZED) {
        std::vector<std::uint64_t> records;
        std::vector<unsigned char> bits;
        Write_Lattice(*channel_plan, records, bits);
        channel = channel_plan->channel;
        align(8);
        channel.segments = append(records.data(), records.size() * 8);
        channel.keys = append(bits.data(), bits.size());
      } else if (channel.mode == WHOLE) {
        align(4);
        std::vector<float> whole;
        for (unsigned int k = 1; k + 1 < n; ++k) {
          if (channel_plan->rotation) {
            const Quaternion& q = s.Key_Rotations(plan.bone)[k];
            whole.insert(whole.end(), {q.w, q.v.x, q.v.y, q.v.z});
          } else {
            const Vector_3<float>& o = s.Key_Offsets(plan.bone)[k];
            whole.insert(whole.end(), {o.x, o.y, o.z});
          }
        }
        channel.keys = append(whole.data(), whole.size() * sizeof(float));
      }
      (channel_plan->rotation ? track.rotation : track.offset) = channel;
    }
  }
  BONE_IMPORT_CHECK(std::uint64_t(block.size()) < (std::uint64_t(1) << 32) - TAIL_BYTES, "block.size() < 4 GiB", SOURCE,
                    "A packed sequence holds at most 4 GiB");
  std::memcpy(block.data(), &header, sizeof header);
  if (!stored.empty()) std::memcpy(block.data() + track_table, stored.data(), stored.size() * sizeof(Track));
  block.resize(block.size() + TAIL_BYTES);
  return block;
}

}  // namespace Packed

namespace {

unsigned long long Tag_Of(const unsigned char* data, std::size_t size) {
  std::uint64_t hash = 0x9e3779b97f4a7c15ull ^ size;
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    hash ^= Load_64(data + i);
    hash *= 0xff51afd7ed558ccdull;
    hash ^= hash >> 32;
  }
  return hash;
}

}  // namespace

Packed_Sequence::Packed_Sequence(const Sequence& source, float max_error, float reach)
    : hier(&source.Get_Hierarchy()),
      length(0.0f),
      key_count(0),
      data(nullptr),
      data_size(0),
      track_count(0),
      content_tag(0) {
  source.Require_Filled();
  BONE_IMPORT_CHECK(max_error > 0.0f && std::isfinite(max_error), "max_error > 0.0f && std::isfinite(max_error)",
                    SOURCE, "The largest error for packing must be a finite number above 0");
  BONE_IMPORT_CHECK(reach >= 0.0f && std::isfinite(reach), "reach >= 0.0f && std::isfinite(reach)", SOURCE,
                    "The reach for packing must be a finite number, 0 or more");
  Encoder encoder(source, max_error, reach);
  const std::vector<unsigned char> block = encoder.Run(track_count);
  data = new unsigned char[block.size()];
  std::memcpy(data, block.data(), block.size());
  data_size = block.size();
  length = source.Lenght();
  for (unsigned int b = 0; b < hier->Bone_Count(); ++b) key_count += source.Key_Count(b);
  content_tag = Tag_Of(data, data_size);
}

Packed_Sequence::~Packed_Sequence() { delete[] data; }

float Packed_Sequence::Lenght() const { return length; }

std::size_t Packed_Sequence::Size() const { return sizeof(*this) + data_size; }

}  // namespace Bone_Import
}  // namespace Vantorix
