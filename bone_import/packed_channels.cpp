// Channels: where a key's error goes on its way to the sampled pose, and the
// lattice that stores a channel's keys within its share of the bound.
#include "packed_channels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

namespace Vantorix {
namespace Bone_Import {
namespace Packed {

namespace {

double Length_Of(const double* v, int n) {
  double sum = 0;
  for (int i = 0; i < n; ++i) sum += v[i] * v[i];
  return std::sqrt(sum);
}

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

}  // namespace

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

// The keys of one channel of bone b, its mode, and how its key errors grow.
void Plan_Channel(Channel_Plan& plan, const Sequence& s, unsigned int b, bool rotation) {
  plan.rotation = rotation;
  const unsigned int n = s.Key_Count(b);
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
  if (std::uint64_t(plan.interior) * 3 * MAX_WIDTH >= (std::uint64_t(1) << 32)) return Keep_Whole(plan);
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
    longest = std::max(longest, double(a[0]) * a[0] + double(a[1]) * a[1] + double(a[2]) * a[2] + double(a[3]) * a[3]);
    if (k + 1 < n)
      smallest_dot = std::min(smallest_dot, std::fabs(double(a[0]) * a[4] + double(a[1]) * a[5] + double(a[2]) * a[6] +
                                                      double(a[3]) * a[7]));
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
  if (!(least > 0.05)) Keep_Whole(plan);
}

}  // namespace Packed
}  // namespace Bone_Import
}  // namespace Vantorix
