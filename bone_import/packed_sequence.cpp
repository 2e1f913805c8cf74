// Packing: chooses each channel's precision from the error bound and lays the
// keys out as packed_format.h describes.
//
// The error model. With a bone's local rotation off by at most an angle
// theta and its local offset by at most a distance d at every sampled time,
// its world rotation is off by at most Theta = Theta(parent) + theta and its
// position by at most D = D(parent) + d + |offset| * Theta(parent); the
// points Reduce checks, at `reach` along the axes, by D + reach * Theta. Every
// sampled bone must keep D + reach * Theta within the bound. Each channel's
// share of the bound is chosen to spend the fewest bits: for a channel of n
// interior keys a share x costs about -3n log2(x) bits, and minimising that
// under one constraint per bone gives shares proportional to n over the sum
// of the constraints' weights on the channel (found by a few rounds of dual
// ascent). Each channel's step then follows from its share, its keys are put
// on the lattice and read back as sampling reads them, and the errors
// measured so (not estimated) are put back into the model, which must hold.
// How a channel is stored: packed_channels.cpp.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <vector>

#include "bone_import.h"
#include "check.h"
#include "packed_channels.h"
#include "packed_format.h"

namespace Vantorix {
namespace Bone_Import {

using namespace Packed;

namespace {

const char* const SOURCE = "bone_import/bones";

// The largest error a rotation channel is given, in radians.
constexpr double MAX_TURN = 0.1;

inline std::uint32_t Bits_Of(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

}  // namespace

namespace {

// The skeleton as poses are composed: per sampled bone the sampled bone its
// world pose is composed from (INVALID_INDEX for a root and bones computed
// like it), in an order with parents first. Bones that no root reaches (in or
// below a parent loop) are left out: the frame computes them from whichever
// of them is read first, so they are stored whole.
struct Model_Bone {
  unsigned int bone, parent;  // parent: index into the model list, or INVALID_INDEX
  double offset_length;       // the largest length of its local offset
  Channel_Plan* rotation;
  Channel_Plan* offset;
  double weight_sum, weighted_depth, depth;  // dual ascent scratch
  double multiplier;
  double theta, distance;  // world errors
};

class Encoder {
 public:
  Encoder(const Sequence& source, double max_error, double reach)
      : s(source), h(source.Get_Hierarchy()), bound(max_error), reach(reach) {}

  std::vector<unsigned char> Run(unsigned int& track_count) {
    Collect_Tracks();
    Build_Grid();
    Plan_Channels();
    Allocate();
    track_count = unsigned(tracks.size());
    return Assemble();
  }

 private:
  struct Track_Plan {
    unsigned int bone;
    std::vector<std::uint32_t> grid_index;  // per key
    Channel_Plan rotation, offset;
  };

  void Collect_Tracks() {
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
      BONE_IMPORT_CHECK(rising, "rising", SOURCE,
                        "Packing needs key times that rise strictly, bone " << h.Bone_Name(b));
      BONE_IMPORT_CHECK(finite, "finite", SOURCE,
                        "Packing needs keys that are finite numbers, bone " << h.Bone_Name(b));
      tracks.emplace_back();
      tracks.back().bone = b;
    }
  }

  // Every sampled key time once, rising; then the corrections that make
  // float(i) * step exact.
  void Build_Grid() {
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

  void Plan_Channels() {
    // Bones that a root reaches, parents first.
    const unsigned int bones = h.Bone_Count();
    std::vector<unsigned int> track_of(bones, INVALID_INDEX);
    for (unsigned int i = 0; i < tracks.size(); ++i) track_of[tracks[i].bone] = i;
    std::vector<std::vector<unsigned int>> children(bones);
    std::vector<unsigned int> parent(bones, INVALID_INDEX);
    for (unsigned int b = 0; b < bones; ++b) {
      const unsigned int p = b == h.Root_Index() ? INVALID_INDEX : h.Parent_Index(b);
      if (p < bones) parent[b] = p, children[p].push_back(b);
    }
    std::vector<unsigned int> reached;
    for (unsigned int b = 0; b < bones; ++b)
      if (parent[b] == INVALID_INDEX) reached.push_back(b);
    for (std::size_t i = 0; i < reached.size(); ++i)
      for (unsigned int c : children[reached[i]]) reached.push_back(c);
    std::vector<unsigned int> model_of(bones, INVALID_INDEX);
    for (unsigned int b : reached) {
      if (track_of[b] == INVALID_INDEX) continue;  // a leaf: its points are its parent's
      Track_Plan& track = tracks[track_of[b]];
      model_of[b] = unsigned(model.size());
      Model_Bone m{};
      m.bone = b;
      m.parent = parent[b] == INVALID_INDEX ? INVALID_INDEX : model_of[parent[b]];
      m.rotation = &track.rotation;
      m.offset = &track.offset;
      model.push_back(m);
    }
    for (Track_Plan& track : tracks) {
      Plan_Channel(track.rotation, s, track.bone, true);
      Plan_Channel(track.offset, s, track.bone, false);
      if (model_of[track.bone] == INVALID_INDEX) {
        Keep_Whole(track.rotation);
        Keep_Whole(track.offset);
      }
    }
    for (Model_Bone& m : model) {
      const Vector_3<float>* o = s.Key_Offsets(m.bone);
      double longest = 0;
      for (unsigned int k = 0; k < s.Key_Count(m.bone); ++k)
        longest =
            std::max(longest, std::sqrt(double(o[k].x) * o[k].x + double(o[k].y) * o[k].y + double(o[k].z) * o[k].z));
      m.offset_length = longest * m.offset->spread;
    }
  }

  // Shares of the bound for every lattice channel, by dual ascent on the
  // bones' constraints; then storage, and shares scaled to the room left.
  void Allocate() {
    // The bound less what float arithmetic may add on the way to the
    // points: a few rounding steps of the largest coordinate.
    double extent = 0;
    for (Model_Bone& m : model) {
      m.depth = (m.parent == INVALID_INDEX ? 0 : model[m.parent].depth) + m.offset_length;
      extent = std::max(extent, m.depth);
    }
    extent += reach;
    const double limit = bound * (1 - 1e-3) - 64 * std::numeric_limits<float>::epsilon() * extent;
    std::vector<Channel_Plan*> lattice;
    for (Model_Bone& m : model)
      for (Channel_Plan* plan : {m.rotation, m.offset}) {
        if (plan->channel.mode != QUANTIZED) continue;
        if (limit > 0)
          lattice.push_back(plan);
        else
          Keep_Whole(*plan);
      }
    if (lattice.empty()) return;

    for (Model_Bone& m : model) m.multiplier = 1;
    for (int round = 0; round < 100; ++round) {
      // Each channel's weight in every constraint below it: a rotation's is
      // reach plus the offsets from it down to the constrained bone.
      for (Model_Bone& m : model) {
        m.depth = (m.parent == INVALID_INDEX ? 0 : model[m.parent].depth) + m.offset_length;
        m.weight_sum = m.multiplier;
        m.weighted_depth = m.multiplier * m.depth;
      }
      for (std::size_t i = model.size(); i-- > 0;)
        if (model[i].parent != INVALID_INDEX) {
          model[model[i].parent].weight_sum += model[i].weight_sum;
          model[model[i].parent].weighted_depth += model[i].weighted_depth;
        }
      // A rotation that moves no checked point (reach 0, children that are
      // all leaves) is held to a turn of MAX_TURN.
      for (Model_Bone& m : model) {
        const double rotation_weight = (reach - m.depth) * m.weight_sum + m.weighted_depth;
        m.rotation->share = rotation_weight > 0 ? m.rotation->interior / rotation_weight : MAX_TURN;
        m.offset->share = m.weight_sum > 0 ? m.offset->interior / m.weight_sum : bound;
      }
      const double worst = Worst_Error([](const Channel_Plan& p) { return p.share; }, nullptr);
      for (Channel_Plan* plan : lattice)
        plan->share = std::min(plan->share * (limit / worst), plan->rotation ? MAX_TURN : bound);
      std::vector<double> errors;
      Worst_Error([](const Channel_Plan& p) { return p.share; }, &errors);
      for (std::size_t i = 0; i < model.size(); ++i) model[i].multiplier *= std::pow(errors[i] / limit, 2);
    }

    for (Channel_Plan* plan : lattice) Store(*plan);
    const double worst = Worst_Error([](const Channel_Plan& p) { return p.error; }, nullptr);
    BONE_IMPORT_PLAIN_CHECK(worst <= limit, "worst <= limit", SOURCE);
  }

  // The largest error of any bone's points when every channel's pose error
  // is `error_of` it (0 for channels stored exactly); per bone into `errors`.
  template <class Error_Of>
  double Worst_Error(Error_Of error_of, std::vector<double>* errors) {
    double worst = 0;
    if (errors) errors->assign(model.size(), 0);
    for (std::size_t i = 0; i < model.size(); ++i) {
      Model_Bone& m = model[i];
      const double theta_parent = m.parent == INVALID_INDEX ? 0 : model[m.parent].theta;
      const double distance_parent = m.parent == INVALID_INDEX ? 0 : model[m.parent].distance;
      const auto own = [&](const Channel_Plan* p) { return p->channel.mode == QUANTIZED ? error_of(*p) : 0.0; };
      m.theta = theta_parent + own(m.rotation);
      m.distance = distance_parent + own(m.offset) + m.offset_length * theta_parent;
      const double e = m.distance + reach * m.theta;
      worst = std::max(worst, e);
      if (errors) (*errors)[i] = e;
    }
    return worst;
  }

  std::vector<unsigned char> Assemble() {
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
        track.ranks =
            track.wide_ranks ? append(wide.data(), wide.size() * 4) : append(narrow.data(), narrow.size() * 2);
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
    BONE_IMPORT_CHECK(std::uint64_t(block.size()) < (std::uint64_t(1) << 32) - TAIL_BYTES, "block.size() < 4 GiB",
                      SOURCE, "A packed sequence holds at most 4 GiB");
    std::memcpy(block.data(), &header, sizeof header);
    if (!stored.empty()) std::memcpy(block.data() + track_table, stored.data(), stored.size() * sizeof(Track));
    block.resize(block.size() + TAIL_BYTES);
    return block;
  }

  const Sequence& s;
  const Hierarchy& h;
  const double bound, reach;
  std::vector<Track_Plan> tracks;
  std::vector<Model_Bone> model;
  std::vector<float> grid;
  Bit_Writer grid_bits;
  Header header{};
};

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
