// The model that Reduce chooses keys with: poses at every check time, and
// the checks of candidate spans against the bound (reduce_model.h).
#include "reduce_model.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "skeleton_order.h"

namespace Vantorix {
namespace Bone_Import {
namespace Reduction {

namespace {

// A check keeps at most this many poses aside for the model (see Holds).
constexpr std::size_t TRIAL_POSES = std::size_t(1) << 15;

bool Finite(const Pose& pose) {
  double sum = 0;
  for (double v : pose.base) sum += v;
  for (double v : pose.position) sum += v;
  return std::isfinite(sum);
}

// The pose between keys a and z at weight f, as sampling blends it: the
// shorter arc normalised, offsets linearly; f outside 0 .. 1 extrapolates.
Pose Blend_Keys(const Quaternion& a, const Quaternion& z, const Vector_3<float>& oa, const Vector_3<float>& oz,
                double f) {
  const double d = double(a.w) * z.w + double(a.v.x) * z.v.x + double(a.v.y) * z.v.y + double(a.v.z) * z.v.z;
  const double p = 1 - f, q = d < 0 ? -f : f;
  double w = p * a.w + q * z.w, x = p * a.v.x + q * z.v.x, y = p * a.v.y + q * z.v.y, v = p * a.v.z + q * z.v.z;
  const double k = 1 / std::sqrt(w * w + x * x + y * y + v * v);
  w *= k, x *= k, y *= k, v *= k;
  Pose pose;
  double* m = pose.base;
  m[0] = 1 - 2 * (y * y + v * v), m[1] = 2 * (x * y - w * v), m[2] = 2 * (x * v + w * y);
  m[3] = 2 * (x * y + w * v), m[4] = 1 - 2 * (v * v + x * x), m[5] = 2 * (y * v - w * x);
  m[6] = 2 * (x * v - w * y), m[7] = 2 * (y * v + w * x), m[8] = 1 - 2 * (x * x + y * y);
  pose.position[0] = p * oa.x + f * oz.x;
  pose.position[1] = p * oa.y + f * oz.y;
  pose.position[2] = p * oa.z + f * oz.z;
  return pose;
}

}  // namespace

Reducer::Reducer(const Sequence& sequence, const std::vector<double>& check_times, double reach)
    : s(sequence), h(sequence.Get_Hierarchy()), times(check_times), reach(reach) {
  Build_Order();
  Build_Poses();
  scratch.resize(sampled.size());
}

double Reducer::Largest_Coordinate() const {
  double largest = 0;
  for (const Points& points : original)
    for (const auto& point : points.p)
      for (double v : point)
        if (std::isfinite(v)) largest = std::max(largest, std::abs(v));
  return largest;
}

void Reducer::Link_Kept(unsigned int b) {
  for (unsigned int k = s.Key_Count(b) - 1; k-- > 0;) next[b][k] = kept[b][k + 1] ? k + 1 : next[b][k + 1];
}

void Reducer::Build_Order() {
  // Depth first, so each subtree is one run; a parent loop, which reaches no
  // root, starts at its lowest bone.
  const unsigned int bones = h.Bone_Count();
  Skeleton_Order skeleton(h);
  const std::vector<unsigned int> order = skeleton.Depth_First();
  parent.resize(bones);
  for (unsigned int b = 0; b < bones; ++b) parent[b] = skeleton.Parent(b);
  // Leaves are never sampled; their points are their parent's.
  for (unsigned int b : order)
    if (!h.Is_Leaf(b)) sampled.push_back(b);
  position.assign(bones, 0);
  for (unsigned int i = 0; i < sampled.size(); ++i) position[sampled[i]] = i;
  subtree_end.assign(bones, 0);
  for (unsigned int i = unsigned(sampled.size()); i-- > 0;) {
    const unsigned int b = sampled[i];
    subtree_end[b] = std::max(subtree_end[b], i + 1);
    if (parent[b] != INVALID_INDEX) subtree_end[parent[b]] = std::max(subtree_end[parent[b]], subtree_end[b]);
  }
}

void Reducer::Build_Poses() {
  const unsigned int bones = h.Bone_Count();
  key_check.resize(bones);
  kept.resize(bones);
  next.resize(bones);
  placed.resize(bones);
  whole.assign(bones, 0);
  for (unsigned int b = 0; b < bones; ++b) {
    const unsigned int n = s.Key_Count(b);
    const float* t = s.Key_Times(b);
    kept[b].assign(n, 1);
    for (unsigned int k = 0; k < n; ++k) {
      key_check[b].push_back(unsigned(std::lower_bound(times.begin(), times.end(), double(t[k])) - times.begin()));
      next[b].push_back(k + 1 < n ? k + 1 : n - 1);
      const Quaternion& q = s.Key_Rotations(b)[k];
      const Vector_3<float>& o = s.Key_Offsets(b)[k];
      placed[b].push_back(std::isfinite(q.w + q.v.x + q.v.y + q.v.z + o.x + o.y + o.z));
    }
    if (h.Is_Leaf(b))
      for (unsigned int k = 1; k + 1 < n; ++k) kept[b][k] = 0;
    else
      whole[b] = !placed[b][0] || !placed[b][n - 1];
  }
  const std::size_t count = sampled.size() * times.size();
  local.resize(count);
  world.resize(count);
  for (unsigned int b : sampled) {
    const unsigned int n = s.Key_Count(b);
    const float* t = s.Key_Times(b);
    for (unsigned int k = 0, c = 0; c < times.size(); ++c) {
      while (k + 2 < n && key_check[b][k + 1] < c) ++k;  // the interval the library uses
      Local(b, c) = Local_At(b, k, k + 1, c);
      // At a key's own time sampling may take the interval on either side;
      // where this one is not finite, the model takes the other, which is
      // the key itself: a point the original may well place.
      if (k + 2 < n && times[c] == double(t[k + 1]) && !Finite(Local(b, c))) Local(b, c) = Local_At(b, k + 1, k + 2, c);
    }
  }
  for (std::size_t c = 0; c < times.size(); ++c)
    for (unsigned int b : sampled)
      if (parent[b] == INVALID_INDEX)
        World(b, c) = Local(b, c);
      else
        Compose(World(parent[b], c), Local(b, c), World(b, c));
  original.reserve(count);
  for (const Pose& pose : world) original.push_back(Points_Of(pose, reach));
}

Pose Reducer::Local_At(unsigned int b, unsigned int a, unsigned int z, std::size_t c) const {
  const float* t = s.Key_Times(b);
  const double f = (times[c] - t[a]) / (double(t[z]) - t[a]);
  return Blend_Keys(s.Key_Rotations(b)[a], s.Key_Rotations(b)[z], s.Key_Offsets(b)[a], s.Key_Offsets(b)[z], f);
}

void Reducer::Begin_Rows(unsigned int b) {
  rows.assign(times.size(), Row{0, 0});
  for (unsigned int a = 0, keys = s.Key_Count(b); a + 1 < keys; a = next[b][a])
    for (unsigned int c = First_Check(b, a), to = End_Check(b, next[b][a]); c < to; ++c) rows[c] = {a, next[b][a]};
  rows_bone = b;
}

bool Reducer::Row_Holds(unsigned int b, unsigned int c, unsigned int a, unsigned int z) const {
  if (rows_bone != b) return false;
  const Row& row = rows[c];
  if (row.a == row.z) return false;
  if (row.a == a && row.z == z) return true;
  const float* t = s.Key_Times(b);
  return (times[c] == double(t[a]) && (row.a == a || row.z == a)) ||
         (times[c] == double(t[z]) && (row.a == z || row.z == z));
}

bool Reducer::Holds(unsigned int b, unsigned int a, unsigned int z, bool estimate) {
  const unsigned int from = First_Check(b, a), to = End_Check(b, z), last = to - from - 1;
  const std::size_t size = subtree_end[b] - position[b];
  // The poses go to the rows only once the whole check holds, so a check
  // that fails leaves the rows as they were; a span too long to keep aside
  // is computed again when it goes into the model.
  const bool in_rows = rows_bone == b && std::size_t(to - from) * size <= TRIAL_POSES;
  if (in_rows && trial_world.size() < std::size_t(to - from) * size) trial_world.resize(std::size_t(to - from) * size);
  if (in_rows && trial_at.size() < to - from) trial_local.resize(to - from), trial_at.resize(to - from);
  unsigned int computed = 0;
  // Each check time once: `done` holds the ones looked at first.
  unsigned int done[8], done_count = 0;
  const auto within = [&](unsigned int c) {
    if ((in_rows && Row_Holds(b, c, a, z)) || std::find(done, done + done_count, c) != done + done_count) return true;
    const bool holds = in_rows ? Pose_Subtree(b, a, z, c, &trial_world[computed * size], trial_local[computed], true)
                               : Pose_Subtree(b, a, z, c, scratch.data(), changed, true);
    if (!holds) failed_at = c;
    if (in_rows && holds) trial_at[computed++] = c;
    return holds;
  };
  const auto first_at = [&](unsigned int c) {
    const bool holds = within(c);
    if (done_count < 8) done[done_count++] = c;
    return holds;
  };
  const auto held = [&] {
    for (unsigned int k = 0; k < computed; ++k) {
      const unsigned int c = trial_at[k];
      std::copy_n(&trial_world[k * size], size, &World(b, c));
      Local(b, c) = trial_local[k];
      rows[c] = {a, z};
    }
    return true;
  };
  share = 0;
  if (failed_at >= from && failed_at < to && !first_at(failed_at)) return false;
  // Then where the last span that held came nearest the bound: a longer
  // span from the same key mostly fails there first.
  const unsigned int tight = tight_at;
  if (tight >= from && tight < to && tight != failed_at && !first_at(tight)) return false;
  // Coarse first, on a span long enough: at 1/2, 1/4, 3/4, 1/8, ... 7/8.
  for (unsigned int parts = 2; parts <= 8 && 2 * parts <= last + 1; parts *= 2)
    for (unsigned int k = 1; k < parts; k += 2)
      if (!first_at(from + (k * last + parts / 2) / parts)) return false;
  if (estimate && last + 1 > ESTIMATE_CHECKS) return within(from + 1) && within(to - 2) && held();
  for (unsigned int c = from; c < to; ++c)
    if (!within(c)) return false;
  if (share > 0) tight_at = share_at;
  return held();
}

void Reducer::Commit(unsigned int b, unsigned int a, unsigned int z) {
  for (unsigned int c = First_Check(b, a), to = End_Check(b, z); c < to; ++c) {
    if (Row_Holds(b, c, a, z)) continue;
    Pose_Subtree(b, a, z, c, &World(b, c), Local(b, c), false);
    if (rows_bone == b) rows[c] = {a, z};
  }
}

bool Reducer::Pose_Subtree(unsigned int b, unsigned int a, unsigned int z, unsigned int c, Pose* out, Pose& own,
                           bool check) {
  const std::size_t stride = sampled.size();
  const unsigned int first = position[b], last = subtree_end[b];
  const Pose* local_poses = &local[c * stride];
  const Points* was = &original[c * stride];
  own = Local_At(b, a, z, c);
  // The subtree is one run that starts at b; every other bone of it has its
  // parent inside the run.
  if (parent[b] == INVALID_INDEX)
    out[0] = own;
  else
    Compose(World(parent[b], c), own, out[0]);
  const double bound2 = limit2[c];
  double worst = 0;
  const auto within = [&](const Pose& pose, const Points& points) {
    const double e = Error2(pose, points, reach);
    worst = std::max(worst, e);
    return e <= bound2;
  };
  if (check && !within(out[0], was[first])) return false;
  for (unsigned int i = first + 1; i < last; ++i) {
    Compose(out[position[parent[sampled[i]]] - first], local_poses[i], out[i - first]);
    if (check && !within(out[i - first], was[i])) return false;
  }
  if (check && worst > share * bound2) share = worst / bound2, share_at = c;
  return true;
}

}  // namespace Reduction
}  // namespace Bone_Import
}  // namespace Vantorix
