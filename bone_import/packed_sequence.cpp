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
// The measured errors are usually below the shares (a key rarely loses half
// a step in all three components), so the shares are then scaled up to the
// room left and the channels stored again, as long as the model holds.
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
#include "packed_format.h"

namespace Vantorix {
namespace Bone_Import {

using namespace Packed;

namespace {

const char* const SOURCE = "bone_import/bones";

// The largest error a rotation channel is given, in radians.
constexpr double MAX_TURN = 0.1;

// Appends bit fields (up to 32 bits each), lowest bit first.
class Bit_Writer {
 public:
  void Put(std::uint32_t value, unsigned int width) {
    if (width == 0) return;
    pending |= std::uint64_t(value & (0xffffffffu >> (32 - width))) << filled;
    filled += width;
    for (; filled >= 8; filled -= 8, pending >>= 8) bytes.push_back(static_cast<unsigned char>(pending));
  }
  std::uint64_t Bits() const { return bytes.size() * 8 + filled; }
  // The bytes written, the last one completed with 0 bits.
  std::vector<unsigned char> Take() {
    if (filled > 0) bytes.push_back(static_cast<unsigned char>(pending));
    pending = 0, filled = 0;
    return std::move(bytes);
  }

 private:
  std::vector<unsigned char> bytes;
  std::uint64_t pending = 0;
  unsigned int filled = 0;
};

unsigned int Width_Of(std::uint64_t value) {
  unsigned int width = 0;
  while (width < 64 && (value >> width) != 0) ++width;
  return width;
}

inline std::uint32_t Bits_Of(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

double Length_Of(const double* v, int n) {
  double sum = 0;
  for (int i = 0; i < n; ++i) sum += v[i] * v[i];
  return std::sqrt(sum);
}

// One channel (rotation or offset) of one track.
struct Channel_Plan {
  bool rotation = false;
  Channel channel{};
  const float* values = nullptr;  // key k at values + k * stride: w, x, y, z or x, y, z
  unsigned int stride = 0;
  unsigned int interior = 0;  // keys between the first and the last
  // How key errors grow on the way to the sampled pose: the blend's weights
  // summed (above 1 where sampling extrapolates), and for rotations the
  // least length of the blended quaternion and the growth of w's error.
  double spread = 1, least_norm = 1, w_growth = 0;
  double share = 0;  // the error allowed: an angle for rotations, a distance for offsets
  double error = 0;  // the error measured after storing

  // Per segment of a rotation channel, the component left out (for offsets
  // 3: they store x, y, z).
  std::vector<std::uint8_t> left_out;
  // Per interior key the three components as stored (for rotations turned
  // over when the component left out is below 0), then for rotations the
  // size of the component left out.
  std::vector<float> stored;
  // Per interior key the lattice points of the last Quantize.
  std::vector<std::uint32_t> lattice;

  const float* Stored(unsigned int i) const { return &stored[std::size_t(i) * 4]; }
};

// The error of the sampled pose for keys off by at most `key_error`.
double Pose_Error(const Channel_Plan& plan, double key_error) {
  if (!plan.rotation) return plan.spread * key_error;
  return 2 * std::asin(std::min(1.0, plan.spread * key_error / plan.least_norm));
}

// The largest key error for which Pose_Error stays within `share`.
double Key_Error_For(const Channel_Plan& plan, double share) {
  if (!plan.rotation) return share / plan.spread;
  return std::sin(std::min(share, 3.0) / 2) * plan.least_norm / plan.spread;
}

// Puts the interior keys on the lattice of `step` (into `lattice`, three per
// key) and measures the error of the keys read back as sampling reads them;
// false when a component would need more than MAX_WIDTH bits.
bool Quantize(Channel_Plan& plan, double step) {
  Channel& channel = plan.channel;
  channel.step = float(step);
  if (!(channel.step > 0.0f) || !std::isfinite(channel.step)) return false;
  const double inverse = 1 / double(channel.step);
  std::vector<std::uint32_t>& lattice = plan.lattice;
  lattice.resize(std::size_t(plan.interior) * 3);
  double worst = 0;
  for (unsigned int from = 0; from < plan.interior; from += SEGMENT_KEYS) {
    const unsigned int to = std::min(plan.interior, from + SEGMENT_KEYS);
    const unsigned int d = plan.rotation ? plan.left_out[from / SEGMENT_KEYS] : 3;
    const std::uint32_t* component = Components_Without(d);
    const double base[3] = {channel.base[component[0]], channel.base[component[1]], channel.base[component[2]]};
    std::uint32_t lowest[3] = {0xffffffffu, 0xffffffffu, 0xffffffffu};
    for (unsigned int i = from; i < to; ++i) {
      const float* v = plan.Stored(i);
      for (unsigned int j = 0; j < 3; ++j) {
        const double q = (double(v[j]) - base[j]) * inverse + 0.5;
        if (!(q >= 0 && q < double(1u << MAX_WIDTH))) return false;
        lattice[std::size_t(i) * 3 + j] = std::uint32_t(q);
        lowest[j] = std::min(lowest[j], std::uint32_t(q));
      }
    }
    float low[3];
    for (unsigned int j = 0; j < 3; ++j) low[j] = Lattice_Value(channel, component[j], lowest[j]);
    for (unsigned int i = from; i < to; ++i) {
      const float* v = plan.Stored(i);
      float read[4];
      double error = 0;
      for (unsigned int j = 0; j < 3; ++j) {
        read[j] = Segment_Value(low[j], lattice[std::size_t(i) * 3 + j] - lowest[j], channel.step);
        const double e = double(read[j]) - v[j];
        error += e * e;
      }
      if (plan.rotation) {
        float q[4];
        Rotation_Of(read, component, d, q, 1);
        const double e = double(q[d]) - v[3];
        error += e * e;
      }
      worst = std::max(worst, error);
    }
  }
  plan.error = Pose_Error(plan, std::sqrt(worst));
  return true;
}

// Stores a channel within its share: the step from the share, then halved
// while the measured error is over it (w read back near 0 grows errors
// faster than the estimate). Whole keys when nothing else works.
void Store(Channel_Plan& plan) {
  const double components_error =
      plan.rotation ? std::sqrt(3.0) / 2 * std::sqrt(1 + plan.w_growth * plan.w_growth) : std::sqrt(3.0) / 2;
  double step = Key_Error_For(plan, plan.share) / components_error;
  for (int attempt = 0; attempt < 8; ++attempt, step /= 2) {
    if (!Quantize(plan, step)) break;
    if (plan.error <= plan.share) {
      plan.channel.mode = QUANTIZED;
      return;
    }
  }
  plan.channel.mode = WHOLE;
  plan.error = 0;
}

// Writes a quantized channel's segment records and bits.
void Write_Lattice(Channel_Plan& plan, std::vector<std::uint64_t>& records, std::vector<unsigned char>& bits) {
  Channel& channel = plan.channel;
  const std::vector<std::uint32_t>& lattice = plan.lattice;
  const unsigned int n = plan.interior;
  const unsigned int segments = (n + SEGMENT_KEYS - 1) / SEGMENT_KEYS;
  std::vector<std::uint32_t> low(std::size_t(segments) * 3), widths(std::size_t(segments) * 3);
  std::uint32_t highest_low = 0;
  for (unsigned int s = 0; s < segments; ++s) {
    const unsigned int from = s * SEGMENT_KEYS, to = std::min(n, from + SEGMENT_KEYS);
    for (int j = 0; j < 3; ++j) {
      std::uint32_t lo = lattice[std::size_t(from) * 3 + j], hi = lo;
      for (unsigned int k = from; k < to; ++k)
        lo = std::min(lo, lattice[std::size_t(k) * 3 + j]), hi = std::max(hi, lattice[std::size_t(k) * 3 + j]);
      low[s * 3 + j] = lo;
      widths[s * 3 + j] = Width_Of(hi - lo);
      highest_low = std::max(highest_low, lo);
    }
  }
  channel.lattice_bits = std::uint8_t(Width_Of(highest_low));
  Bit_Writer writer;
  records.assign(std::size_t(segments) * 2, 0);
  for (unsigned int s = 0; s < segments; ++s) {
    Segment_Record(std::uint32_t(writer.Bits()), &widths[s * 3], plan.rotation ? plan.left_out[s] : 3, &low[s * 3],
                   channel.lattice_bits, &records[std::size_t(s) * 2]);
    for (unsigned int k = s * SEGMENT_KEYS; k < std::min(n, (s + 1) * SEGMENT_KEYS); ++k)
      for (int j = 0; j < 3; ++j) writer.Put(lattice[std::size_t(k) * 3 + j] - low[s * 3 + j], widths[s * 3 + j]);
  }
  bits = writer.Take();
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
      Plan(track, true);
      Plan(track, false);
      if (model_of[track.bone] == INVALID_INDEX) {
        Whole(track.rotation);
        Whole(track.offset);
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

  // The keys of one channel, its mode, and how its key errors grow.
  void Plan(Track_Plan& track, bool rotation) {
    Channel_Plan& plan = rotation ? track.rotation : track.offset;
    plan.rotation = rotation;
    const unsigned int b = track.bone, n = s.Key_Count(b);
    const float* t = s.Key_Times(b);
    plan.values = rotation ? &s.Key_Rotations(b)[0].w : &s.Key_Offsets(b)[0].x;
    plan.stride = rotation ? 4 : 3;
    Channel& channel = plan.channel;
    std::memcpy(channel.first, plan.values, plan.stride * sizeof(float));
    std::memcpy(channel.last, plan.values + std::size_t(n - 1) * plan.stride, plan.stride * sizeof(float));
    bool constant = true;
    for (unsigned int k = 1; k < n && constant; ++k)
      constant = std::memcmp(plan.values + std::size_t(k) * plan.stride, plan.values, plan.stride * sizeof(float)) == 0;
    plan.interior = n - 2;
    channel.mode = constant ? CONSTANT : n == 2 ? ENDS : QUANTIZED;
    if (channel.mode != QUANTIZED) return;
    if (std::uint64_t(plan.interior) * 3 * MAX_WIDTH >= (std::uint64_t(1) << 32)) return Whole(plan);
    static_assert(3 * MAX_WIDTH <= 64, "a segment's three lattice points fit one word");
    // Each segment of rotations leaves out the component whose smallest size
    // over the segment is largest; it is read back with an error that grows
    // as the others' size over its own.
    const unsigned int segments = (plan.interior + SEGMENT_KEYS - 1) / SEGMENT_KEYS;
    double growth = 0;
    plan.left_out.assign(segments, 3);
    plan.stored.resize(std::size_t(plan.interior) * 4);
    for (unsigned int g = 0; g < segments; ++g) {
      const unsigned int from = g * SEGMENT_KEYS, to = std::min(plan.interior, from + SEGMENT_KEYS);
      unsigned int d = 3;
      if (rotation) {
        float least[4] = {INFINITY, INFINITY, INFINITY, INFINITY};
        for (unsigned int i = from; i < to; ++i)
          for (int c = 0; c < 4; ++c) least[c] = std::min(least[c], std::fabs(plan.values[std::size_t(i + 1) * 4 + c]));
        d = unsigned(std::max_element(least, least + 4) - least);
        plan.left_out[g] = std::uint8_t(d);
        const double kept = std::max(double(least[d]), 1e-3);
        growth = std::max(growth, std::sqrt(std::max(0.0, 1 - kept * kept)) / kept);
      }
      const std::uint32_t* component = Components_Without(d);
      for (unsigned int i = from; i < to; ++i) {
        const float* key = plan.values + std::size_t(i + 1) * plan.stride;
        float* out = &plan.stored[std::size_t(i) * 4];
        const bool over = rotation && key[d] < 0.0f;
        for (unsigned int j = 0; j < 3; ++j) out[j] = over ? -key[component[j]] : key[component[j]];
        out[3] = rotation ? std::fabs(key[d]) : 0.0f;
      }
    }
    plan.w_growth = growth;
    for (int c = 0; c < 4; ++c) channel.base[c] = INFINITY;
    for (unsigned int i = 0; i < plan.interior; ++i) {
      const std::uint32_t* component = Components_Without(plan.left_out[i / SEGMENT_KEYS]);
      for (unsigned int j = 0; j < 3; ++j)
        channel.base[component[j]] = std::min(channel.base[component[j]], plan.stored[std::size_t(i) * 4 + j]);
    }
    for (float& base : channel.base)
      if (base == INFINITY) base = 0.0f;
    // Sampling clamps its time to 0 .. length; before the first key or after
    // the last it extrapolates from the first or last interval.
    const double latest = std::max(0.0, double(s.Lenght()));
    const double before = std::max(0.0, double(t[0])) / (double(t[1]) - t[0]);
    const double after = std::max(0.0, latest - t[n - 1]) / (double(t[n - 1]) - t[n - 2]);
    plan.spread = 1 + 2 * std::max(before, after);
    if (!rotation) return;
    // The blend of two keys is shortest halfway, and shorter still where it
    // extrapolates: from the smallest |dot| of neighbouring keys over the
    // largest squared length of a key.
    double smallest_dot = 1, longest = 0;
    for (unsigned int k = 0; k < n; ++k) {
      const float* a = plan.values + std::size_t(k) * 4;
      longest =
          std::max(longest, double(a[0]) * a[0] + double(a[1]) * a[1] + double(a[2]) * a[2] + double(a[3]) * a[3]);
      if (k + 1 < n)
        smallest_dot = std::min(smallest_dot, std::fabs(double(a[0]) * a[4] + double(a[1]) * a[5] +
                                                        double(a[2]) * a[6] + double(a[3]) * a[7]));
    }
    const auto chord = [&](unsigned int k) {
      const float* a = plan.values + std::size_t(k) * 4;
      const double sign =
          double(a[0]) * a[4] + double(a[1]) * a[5] + double(a[2]) * a[6] + double(a[3]) * a[7] < 0 ? -1 : 1;
      double d[4];
      for (int c = 0; c < 4; ++c) d[c] = a[c] - sign * a[4 + c];
      return Length_Of(d, 4);
    };
    double least = std::sqrt((1 + std::min(1.0, smallest_dot / longest)) / 2);
    least = std::min({least, 1 - before * chord(0), 1 - after * chord(n - 2)});
    plan.least_norm = least;
    if (!(least > 0.05)) Whole(plan);
  }

  static void Whole(Channel_Plan& plan) {
    if (plan.channel.mode == QUANTIZED) plan.channel.mode = WHOLE;
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
          Whole(*plan);
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
    BONE_IMPORT_CHECK(block.size() < (std::size_t(1) << 32) - TAIL_BYTES, "block.size() < 4 GiB", SOURCE,
                      "A packed sequence holds at most 4 GiB");
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
