// Key reduction with an error bound: drops keys while every check point of the
// skeleton stays within max_error of the original (see Sequence::Reduce).
//
// The model: at every check time, every sampled bone's world pose (rotation
// and position) in double precision, for the original keys and for the kept
// ones. With keys a and z of bone b as neighbours, only b's local pose at the
// check times between them changes, and with it the world poses of b's
// subtree there; that is all a span's check recomputes, stopping at the first
// point over the bound. Each bone in turn gets the fewest keys whose spans
// all hold, with every other bone as it stands (Resolve). The model works a
// little inside the bound; the result is then checked through the library's
// own float sampling: where check times fail, the model runs again tighter
// there, and as a last resort keys are put back around them.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "bone_import.h"
#include "check.h"
#include "sequence_keys.h"

namespace Vantorix {
namespace Bone_Import {

namespace {

const char* const SOURCE = "bone_import/bones";

// The double-precision model works this much inside the bound, for the gap to
// the library's float sampling.
constexpr double MODEL_MARGIN = 0.998;

// A span's estimate looks at this many of its check times (see Holds), and
// of the keys a step reaches, this many of the farthest are measured (see
// Resolve).
constexpr unsigned int ESTIMATE_CHECKS = 9;
constexpr unsigned int SCANNED = 2;

// A check keeps at most this many poses aside for the model (see Holds).
constexpr std::size_t TRIAL_POSES = std::size_t(1) << 15;

// The model keeps two poses and the original's points per sampled bone and
// check time; it stays within this much memory.
constexpr double MODEL_BYTES_PER_POSE = 3 * 12 * sizeof(double);
constexpr std::size_t MODEL_BYTES = std::size_t(1) << 31;

// The larger of two squared errors, where one that is not a number (a point
// that cannot be measured) is larger than any.
inline double Worse(double worst, double e) { return std::isnan(worst) || e <= worst ? worst : e; }

struct Pose {
  double base[9];  // row-major rotation
  double position[3];
};

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

inline void Compose(const Pose& parent, const Pose& local, Pose& out) {
  // Into a local first: `out` may not alias the inputs, and the compiler
  // then need not assume it does.
  Pose result;
  const double* a = parent.base;
  const double* b = local.base;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j)
      result.base[3 * i + j] = a[3 * i] * b[j] + a[3 * i + 1] * b[3 + j] + a[3 * i + 2] * b[6 + j];
    result.position[i] = a[3 * i] * local.position[0] + a[3 * i + 1] * local.position[1] +
                         a[3 * i + 2] * local.position[2] + parent.position[i];
  }
  out = result;
}

// The points a pose is checked at: its position, then the points at `reach`
// along its three axes.
struct Points {
  double p[4][3];
};

Points Points_Of(const Pose& pose, double reach) {
  Points points;
  for (int i = 0; i < 3; ++i) {
    points.p[0][i] = pose.position[i];
    for (int axis = 0; axis < 3; ++axis) points.p[axis + 1][i] = pose.position[i] + reach * pose.base[3 * i + axis];
  }
  return points;
}

// The largest squared distance of a pose's points from `was`. A point that
// `was` does not place (not finite) bounds nothing; one that the pose does not
// place where `was` does is beyond any bound (not a number).
inline double Error2(const Pose& pose, const Points& was, double reach) {
  double e[4];
  for (int point = 0; point < 4; ++point) {
    double sum = 0;
    for (int i = 0; i < 3; ++i) {
      const double v =
          (point ? pose.position[i] + reach * pose.base[3 * i + point - 1] : pose.position[i]) - was.p[point][i];
      sum += v * v;
    }
    e[point] = sum;
  }
  if (!std::isnan(e[0] + e[1] + e[2] + e[3])) return std::max(std::max(e[0], e[1]), std::max(e[2], e[3]));
  double worst = 0;
  for (int point = 0; point < 4; ++point) {
    if (e[point] <= worst) continue;
    if (std::isnan(e[point])) {
      if (!std::isfinite(was.p[point][0] + was.p[point][1] + was.p[point][2])) continue;
      return e[point];
    }
    worst = e[point];
  }
  return worst;
}

class Reducer {
 public:
  Reducer(const Sequence& sequence, const std::vector<double>& check_times, double reach)
      : s(sequence), h(sequence.Get_Hierarchy()), times(check_times), reach(reach) {
    Build_Order();
    Build_Poses();
    scratch.resize(sampled.size());
  }

  // The bound the model works to at each check time.
  void Set_Limits(const std::vector<double>& limits) {
    limit2.resize(limits.size());
    for (std::size_t c = 0; c < limits.size(); ++c) limit2[c] = limits[c] > 0 ? limits[c] * limits[c] : 0;
  }

  // The largest coordinate of a point the original places.
  double Largest_Coordinate() const {
    double largest = 0;
    for (const Points& points : original)
      for (const auto& point : points.p)
        for (double v : point)
          if (std::isfinite(v)) largest = std::max(largest, std::abs(v));
    return largest;
  }

  // Passes over the skeleton, parents first, each bone's keys chosen anew
  // with every other bone as it stands. What a bone may spend depends on what
  // its parents and children spent, so later passes find room the first
  // left; alternating between the earliest and the latest of the shortest
  // key sets moves keys within their spans, which opens more.
  void Run() {
    Drop_Repeated_Keys();
    Drop_Unplaced_Keys();
    constexpr int PASSES = 4;
    for (int pass = 0; pass < PASSES; ++pass)
      for (unsigned int b : sampled) Resolve(b, pass % 2 == 1);
  }

  // A key equal to both its neighbours lies inside a run of equal keys, over
  // which the pose stays the same whatever is dropped: all such keys go at
  // once, without measuring (motion capture holds many bones still).
  void Drop_Repeated_Keys() {
    const auto same = [](const Quaternion& q, const Vector_3<float>& o, const Quaternion& r, const Vector_3<float>& p) {
      return std::memcmp(&q, &r, sizeof q) == 0 && std::memcmp(&o, &p, sizeof o) == 0;
    };
    for (unsigned int b : sampled) {
      if (whole[b]) continue;
      const Quaternion* q = s.Key_Rotations(b);
      const Vector_3<float>* o = s.Key_Offsets(b);
      const unsigned int n = s.Key_Count(b);
      for (unsigned int k = 1; k + 1 < n; ++k)
        if (placed[b][k] && same(q[k], o[k], q[k - 1], o[k - 1]) && same(q[k], o[k], q[k + 1], o[k + 1]))
          kept[b][k] = 0;
      Link_Kept(b);
      // The poses over each merged run are the run's one pose already.
    }
  }

  // A key that is not finite never stays between a bone's first and last
  // key: at its own time and next to it the original may be not a number or
  // not, depending on which interval sampling's search takes, so a result
  // that kept it could be not a number where the original is not. Its spans
  // go at once, blending the finite keys around them; where that breaks the
  // bound (a rotation that is not a number next to an offset that is), the
  // bone keeps all its keys instead, as does a bone whose first or last key
  // is not finite: it then samples exactly as the original.
  void Drop_Unplaced_Keys() {
    for (unsigned int b : sampled) {
      const unsigned int n = s.Key_Count(b);
      if (whole[b] || std::find(placed[b].begin(), placed[b].end(), 0) == placed[b].end()) continue;
      for (unsigned int k = 1; k + 1 < n; ++k)
        if (!placed[b][k]) kept[b][k] = 0;
      Link_Kept(b);
      bool holds = true;
      const auto bridges = [&](unsigned int a) {  // the span from a passes over keys that are not finite
        return std::find(&placed[b][a], &placed[b][next[b][a]], 0) != &placed[b][next[b][a]];
      };
      for (unsigned int a = 0; a + 1 < n && holds; a = next[b][a])
        if (bridges(a)) holds = Holds(b, a, next[b][a]);
      if (!holds) {
        whole[b] = 1;
        std::fill(kept[b].begin(), kept[b].end(), 1);
        Link_Kept(b);
        continue;
      }
      for (unsigned int a = 0; a + 1 < n; a = next[b][a])
        if (bridges(a)) Commit(b, a, next[b][a]);
    }
  }

  void Link_Kept(unsigned int b) {
    for (unsigned int k = s.Key_Count(b) - 1; k-- > 0;) next[b][k] = kept[b][k + 1] ? k + 1 : next[b][k + 1];
  }

  // Per bone and key: whether it stays. Leaves keep only their ends.
  std::vector<std::vector<unsigned char>> kept;
  // Per bone and key: every component of the key is finite. Per bone: the
  // bone keeps every key.
  std::vector<std::vector<unsigned char>> placed;
  std::vector<unsigned char> whole;

 private:
  void Build_Order() {
    const unsigned int bones = h.Bone_Count();
    parent.assign(bones, INVALID_INDEX);
    std::vector<std::vector<unsigned int>> children(bones);
    for (unsigned int b = 0; b < bones; ++b) {
      const unsigned int p = b == h.Root_Index() ? INVALID_INDEX : h.Parent_Index(b);
      if (p < bones) parent[b] = p, children[p].push_back(b);
    }
    // Depth first, parent before child, so each subtree is one run; a parent
    // loop, which reaches no root, starts at its lowest bone.
    std::vector<unsigned char> visited(bones, 0);
    std::vector<unsigned int> order;
    auto place_from = [&](unsigned int top) {
      std::vector<unsigned int> stack{top};
      visited[top] = 1;
      while (!stack.empty()) {
        const unsigned int b = stack.back();
        stack.pop_back();
        order.push_back(b);
        for (auto c = children[b].rbegin(); c != children[b].rend(); ++c)
          if (!visited[*c]) visited[*c] = 1, stack.push_back(*c);
      }
    };
    for (unsigned int b = 0; b < bones; ++b)
      if (parent[b] == INVALID_INDEX) place_from(b);
    for (unsigned int b = 0; b < bones; ++b)
      if (!visited[b]) parent[b] = INVALID_INDEX, place_from(b);
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

  void Build_Poses() {
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
        if (k + 2 < n && times[c] == double(t[k + 1]) && !Finite(Local(b, c)))
          Local(b, c) = Local_At(b, k + 1, k + 2, c);
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

  // The poses of every sampled bone at one check time lie together, in
  // depth-first order, so a subtree's poses at one time are one run.
  Pose& Local(unsigned int b, std::size_t c) { return local[c * sampled.size() + position[b]]; }
  Pose& World(unsigned int b, std::size_t c) { return world[c * sampled.size() + position[b]]; }

  Pose Local_At(unsigned int b, unsigned int a, unsigned int z, std::size_t c) const {
    const float* t = s.Key_Times(b);
    const double f = (times[c] - t[a]) / (double(t[z]) - t[a]);
    return Blend_Keys(s.Key_Rotations(b)[a], s.Key_Rotations(b)[z], s.Key_Offsets(b)[a], s.Key_Offsets(b)[z], f);
  }

  // While bone b is resolved, no check of its spans reads b's own local
  // poses or the world poses of its subtree, so checks compute into the
  // model's rows of them directly, and a row remembers the span of b whose
  // poses it holds: a check that finds a row of its own span there (a full
  // check after an estimate, a span checked before) takes it as it is, and a
  // span goes into the model by computing only the rows that hold another
  // span's poses. At a key's own time every span that ends at the key gives
  // the same poses (the key's own), so such a row serves them all.
  struct Row {
    unsigned int a, z;  // a == z: none
  };

  // Rows of b from its current spans, before it is resolved.
  void Begin_Rows(unsigned int b) {
    rows.assign(times.size(), Row{0, 0});
    for (unsigned int a = 0, keys = s.Key_Count(b); a + 1 < keys; a = next[b][a])
      for (unsigned int c = First_Check(b, a), to = End_Check(b, next[b][a]); c < to; ++c) rows[c] = {a, next[b][a]};
    rows_bone = b;
  }
  void End_Rows() { rows_bone = INVALID_INDEX; }

  bool Row_Holds(unsigned int b, unsigned int c, unsigned int a, unsigned int z) const {
    if (rows_bone != b) return false;
    const Row& row = rows[c];
    if (row.a == row.z) return false;
    if (row.a == a && row.z == z) return true;
    const float* t = s.Key_Times(b);
    return (times[c] == double(t[a]) && (row.a == a || row.z == a)) ||
           (times[c] == double(t[z]) && (row.a == z || row.z == z));
  }

  // Whether b's subtree stays within the bound with keys a and z of b as
  // neighbours, at every check time they govern: from a's time to z's, both
  // included (a key new to the kept set changes the pose at its own time),
  // and before the first key or after the last, where sampling extrapolates.
  // It stops at the first point over the bound, looking first where the last
  // span failed (spans tried one after the other mostly overlap, and one over
  // the bound mostly fails where its neighbour did), then at a few points
  // spread over the span (errors change smoothly along it). With `estimate`,
  // a span longer than ESTIMATE_CHECKS check times is checked at those spread
  // points and the two next to its keys only: a span that fails there fails,
  // one that passes may still fail. While b is resolved, the poses go into
  // the model's rows (see Row); otherwise into scratch.
  bool Holds(unsigned int b, unsigned int a, unsigned int z, bool estimate = false) {
    const unsigned int from = First_Check(b, a), to = End_Check(b, z), last = to - from - 1;
    const std::size_t size = subtree_end[b] - position[b];
    // The poses go to the rows only once the whole check holds, so a check
    // that fails leaves the rows as they were; a span too long to keep aside
    // is computed again when it goes into the model.
    const bool in_rows = rows_bone == b && std::size_t(to - from) * size <= TRIAL_POSES;
    if (in_rows && trial_world.size() < std::size_t(to - from) * size)
      trial_world.resize(std::size_t(to - from) * size);
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

  // Makes keys a and z of b neighbours in the model: computes the rows that
  // do not hold their poses yet.
  void Commit(unsigned int b, unsigned int a, unsigned int z) {
    for (unsigned int c = First_Check(b, a), to = End_Check(b, z); c < to; ++c) {
      if (Row_Holds(b, c, a, z)) continue;
      Pose_Subtree(b, a, z, c, &World(b, c), Local(b, c), false);
      if (rows_bone == b) rows[c] = {a, z};
    }
  }

  unsigned int First_Check(unsigned int b, unsigned int a) const { return a == 0 ? 0 : key_check[b][a]; }
  unsigned int End_Check(unsigned int b, unsigned int z) const {
    return z + 1 == s.Key_Count(b) ? unsigned(times.size()) : key_check[b][z] + 1;
  }

  // The world poses of b's subtree at check time c into `out`, with keys a
  // and z of b as neighbours (b's own local pose into `own`). With `check`,
  // stops at the first point over the bound (or not a number) and says
  // whether every point stayed within it.
  bool Pose_Subtree(unsigned int b, unsigned int a, unsigned int z, unsigned int c, Pose* out, Pose& own, bool check) {
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

  // The fewest keys for bone b with every other bone as it stands: a path
  // over its finite keys from the first to the last, where a step from key a
  // to key z is allowed when that span Holds. The bone's keys change only
  // when the path has fewer than it has now.
  //
  // The path is found one step at a time, like a breadth-first search over
  // the keys: from where it stands, each step goes to the key that reaches
  // farthest of the keys that it reaches (and of those to the farthest), so
  // that, where the spans that hold from a key end at every key up to its
  // farthest, the path has the fewest keys. With `latest` it starts at the
  // first key and keeps its keys as late as they can be, else it starts at
  // the last and keeps them as early as they can be (passes alternate).
  //
  // What it costs: a key's reach is searched from a guess (the length of the
  // step before), with spans checked at a few times only (an estimate, which
  // can only be too long), then checked in full back from there. A span that
  // holds costs its length, one that fails mostly one check (see Holds), so a
  // step costs about one full check of its own span and the path about one
  // full check of the clip. Of the keys a step reaches, only the two farthest
  // and the bone's current keys (which reach their next key for nothing) are
  // measured; others are tried only where they could beat the best so far.
  void Resolve(unsigned int b, bool latest) {
    if (whole[b]) return;
    std::vector<unsigned int> key;  // the finite keys, by position
    const unsigned int keys = s.Key_Count(b);
    for (unsigned int k = 0; k < keys; ++k)
      if (placed[b][k]) key.push_back(k);
    const unsigned int n = unsigned(key.size());
    unsigned int now = 0;
    for (unsigned char k : kept[b]) now += k;
    if (now <= 2) return;
    // Positions count from the start toward the end; distances from a
    // position toward the end. Per position, the distance to the next of the
    // bone's current keys (a step that holds), or 0.
    const unsigned int end = latest ? n - 1 : 0;
    const auto toward = [&](unsigned int at, unsigned int distance) { return latest ? at + distance : at - distance; };
    const auto room = [&](unsigned int at) { return latest ? end - at : at; };
    std::vector<unsigned int> known(n, 0);
    for (unsigned int i = 0, last = 0; i < n; ++i) {
      if (!kept[b][key[i]]) continue;
      if (i > 0) (latest ? known[last] : known[i]) = i - last;
      last = i;
    }
    Begin_Rows(b);
    const auto holds = [&](unsigned int at, unsigned int distance, bool estimate) {
      const unsigned int to = toward(at, distance);
      return Holds(b, key[std::min(at, to)], key[std::max(at, to)], estimate);
    };
    const auto estimated = [&](unsigned int at, unsigned int distance) {
      const unsigned int to = toward(at, distance);
      return End_Check(b, key[std::max(at, to)]) - First_Check(b, key[std::min(at, to)]) > ESTIMATE_CHECKS;
    };
    // The farthest distance from `at` that a span reaches: `lo` holds (or is
    // 0), the search starts at `guess`. With `estimate`, the answer may be
    // too far; without, it holds.
    const auto search = [&](unsigned int at, unsigned int lo, unsigned int guess, bool estimate) {
      const unsigned int limit = room(at);
      if (lo >= limit) return lo;
      unsigned int hi = std::min(std::max(guess, lo + 1), limit);
      if (holds(at, hi, estimate)) {
        // On from the guess: one key, then two, four, ...
        lo = hi;
        for (unsigned int step = 1; lo < limit;) {
          const unsigned int to = lo + std::min(step, limit - lo);
          if (holds(at, to, estimate))
            lo = to, step *= 2;
          else if (step == 1)
            break;
          else
            step /= 2;
        }
        return lo;
      }
      // Back from the guess the same way, then halving what is left.
      for (unsigned int step = 1; hi - lo > 1; step *= 2) {
        const unsigned int to = hi - std::min(step, hi - lo - 1);
        if (holds(at, to, estimate)) {
          lo = to;
          break;
        }
        hi = to;
      }
      while (hi - lo > 1) {
        const unsigned int middle = lo + (hi - lo) / 2;
        if (holds(at, middle, estimate))
          lo = middle;
        else
          hi = middle;
      }
      return lo;
    };
    const auto farthest = [&](unsigned int at, unsigned int lo, unsigned int guess) {
      unsigned int reach = search(at, lo, guess, true);
      // Checked in full back from the estimate: a span too long mostly fails
      // at once, and the first that holds is the answer.
      if (reach > lo && estimated(at, reach))
        while (reach > lo && !holds(at, reach, false)) --reach;
      return reach;
    };
    // Each step's span goes into the model as the path takes it (a span's
    // check times depend on no other span of the bone), and so do the
    // current spans that it follows, whose rows checks may have used; a path
    // given up, in part or whole, gives its stretch back to the bone's
    // current spans.
    // Gives the bone's current spans back their rows from path position
    // `from` on (checks may have used rows anywhere ahead of the path).
    const auto restore = [&](unsigned int from) {
      unsigned int a = latest ? key[from] : 0;
      const unsigned int z = latest ? keys - 1 : key[from];
      while (!kept[b][a]) --a;
      for (; a < z; a = next[b][a]) Commit(b, a, next[b][a]);
    };

    std::vector<unsigned int> path{latest ? 0u : n - 1};
    unsigned int at = path.back(), reach = farthest(at, known[at], 1);
    while (at != end) {
      unsigned int best = 0, best_end = 0;  // distances from `at`; 0: none yet
      if (reach == room(at)) {
        best = best_end = reach;
      } else {
        for (unsigned int d = reach; d > 0 && best_end < room(at); --d) {
          const unsigned int j = toward(at, d), sure = known[j];
          if (best != 0 && d + SCANNED <= reach && sure == 0) continue;
          unsigned int j_end;
          if (d + sure > best_end) {
            j_end = d + farthest(j, sure, best_end >= d ? best_end + 1 - d : d);
            if (j_end == d) continue;  // no span from j holds: no way on
          } else {
            if (!holds(j, best_end + 1 - d, true)) continue;
            j_end = d + farthest(j, 0, best_end + 1 - d);
            if (j_end <= best_end) continue;
          }
          if (d == reach || known[at] == d || holds(at, d, false)) best = d, best_end = j_end;
        }
        if (best == 0) {
          // Nothing on from here (other bones may leave a stretch no room
          // but the bone's current keys): back to the last of the path's
          // keys that is one of them, and one step as they go.
          std::size_t i = path.size() - 1;
          while (!kept[b][key[path[i]]]) --i;
          restore(path[i]);
          path.resize(i + 1);
          at = path.back();
          best = known[at];
          best_end = best + farthest(toward(at, best), known[toward(at, best)], best);
        }
      }
      const unsigned int to = toward(at, best);
      Commit(b, key[std::min(at, to)], key[std::max(at, to)]);
      at = to;
      path.push_back(at);
      // Keys of any path on from here; more than now: no change.
      if (path.size() + (at == end ? 0 : 1) > now) {
        restore(path.front());
        return End_Rows();
      }
      reach = best_end - best;
    }
    std::fill(kept[b].begin(), kept[b].end(), 0);
    for (unsigned int i : path) kept[b][key[i]] = 1;
    Link_Kept(b);
    End_Rows();
  }

  const Sequence& s;
  const Hierarchy& h;
  const std::vector<double>& times;
  std::vector<double> limit2;  // per check time, squared
  const double reach;
  std::vector<unsigned int> parent, sampled, position, subtree_end;
  std::vector<std::vector<unsigned int>> key_check, next;  // next: per kept key, the next kept one
  std::vector<Pose> local, world;                          // per check time, per sampled bone
  std::vector<Points> original;
  std::vector<Pose> scratch;
  Pose changed;
  std::vector<Row> rows;  // per check time, while rows_bone is resolved
  // A check's poses until it holds: per check time computed, the subtree's
  // world poses, b's local pose, and the time.
  std::vector<Pose> trial_world, trial_local;
  std::vector<unsigned int> trial_at;
  unsigned int rows_bone = INVALID_INDEX;
  unsigned int failed_at = 0;  // the check time where the last span failed
  unsigned int tight_at = 0;   // where the last span that held came nearest the bound
  // Of the check times a check computed: the largest squared error over the
  // squared bound, and where.
  double share = 0;
  unsigned int share_at = 0;
};

// Every key time of the sequence (of any bone) and every midpoint between two
// neighbouring ones.
std::vector<double> Check_Times(const Sequence& s) {
  std::vector<float> all;
  for (unsigned int b = 0; b < s.Get_Hierarchy().Bone_Count(); ++b)
    all.insert(all.end(), s.Key_Times(b), s.Key_Times(b) + s.Key_Count(b));
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  std::vector<double> times;
  for (std::size_t i = 0; i < all.size(); ++i) {
    times.push_back(all[i]);
    if (i + 1 < all.size()) times.push_back(0.5 * (double(all[i]) + double(all[i + 1])));
  }
  return times;
}

// The squared errors of every bone between two frames at one moment.
void Frame_Errors2(Frame& original, Frame& edited, unsigned int bones, float reach, double* errors) {
  const auto pose_of = [](Frame& frame, unsigned int bone) {
    Pose pose;
    const Matrix_3x3<float>& m = frame.Base(bone);
    for (int i = 0; i < 9; ++i) pose.base[i] = m.m[i / 3][i % 3];
    for (int i = 0; i < 3; ++i) pose.position[i] = frame.Offset(bone)[i];
    return pose;
  };
  for (unsigned int bone = 0; bone < bones; ++bone)
    errors[bone] = Error2(pose_of(edited, bone), Points_Of(pose_of(original, bone), reach), reach);
}

}  // namespace

std::vector<double> Sequence::Reduction_Errors(const Sequence& original, const Sequence& edited, float reach) {
  original.Require_Filled();
  edited.Require_Filled();
  const Hierarchy& h = original.Get_Hierarchy();
  std::vector<double> worst(h.Bone_Count(), 0.0), now(h.Bone_Count());
  Frame a(h, false), b(h, false);
  for (double time : Check_Times(original)) {
    original.Get_Frame_Time(a, float(time));
    edited.Get_Frame_Time(b, float(time));
    Frame_Errors2(a, b, h.Bone_Count(), reach, now.data());
    for (unsigned int bone = 0; bone < h.Bone_Count(); ++bone) worst[bone] = Worse(worst[bone], now[bone]);
  }
  for (double& e : worst) e = std::sqrt(e);
  return worst;
}

void Sequence::Reduce(float max_error, float reach) {
  Require_Filled();
  BONE_IMPORT_CHECK(max_error > 0.0f && std::isfinite(max_error), "max_error > 0.0f && std::isfinite(max_error)",
                    SOURCE, "The largest error for Reduce must be a finite number above 0");
  BONE_IMPORT_CHECK(reach >= 0.0f && std::isfinite(reach), "reach >= 0.0f && std::isfinite(reach)", SOURCE,
                    "The reach for Reduce must be a finite number, 0 or more");
  const unsigned int bone_count = hier->Bone_Count();
  for (unsigned int bone = 0; bone < bone_count; ++bone)
    BONE_IMPORT_CHECK(increasing_times[bone], "increasing_times[bone]", SOURCE,
                      "Reduce needs key times that rise strictly, bone " << hier->Bone_Name(bone));

  const std::vector<double> times = Check_Times(*this);
  std::size_t sampled = 0;
  for (unsigned int bone = 0; bone < bone_count; ++bone) sampled += !hier->Is_Leaf(bone);
  const double bytes = double(sampled) * double(times.size()) * MODEL_BYTES_PER_POSE;
  BONE_IMPORT_CHECK(bytes <= MODEL_BYTES, "bytes <= MODEL_BYTES", SOURCE,
                    "Reduce would need " << std::ceil(bytes / (1 << 20)) << " MiB for " << sampled << " bones at "
                                         << times.size() << " check times; it works within " << (MODEL_BYTES >> 20)
                                         << " MiB");
  // The result through the library's own float sampling, at every check
  // time: `failed(c)` is called at each check time c where a point is over
  // the bound, with each bone's squared error there in `errors`.
  const double bound2 = double(max_error) * max_error;
  std::vector<double> errors(bone_count);
  const auto measure = [&](const std::vector<std::vector<unsigned char>>& kept, auto&& failed) {
    Sequence reduced(*hier);
    Sequence_Keys::Copy(reduced, *this, kept);
    Frame a(*hier, false), b(*hier, false);
    for (std::size_t c = 0; c < times.size(); ++c) {
      Get_Frame_Time(a, float(times[c]));
      reduced.Get_Frame_Time(b, float(times[c]));
      Frame_Errors2(a, b, bone_count, reach, errors.data());
      for (double e : errors)
        if (!(e <= bound2)) {
          failed(c);
          break;
        }
    }
  };
  // Float sampling strays from the double-precision model, where
  // coordinates are large next to the bound by more than the model's margin.
  // Where that makes check times fail, the passes run again with the model's
  // bound at those times lowered by twice what they failed by, a few times
  // at most: giving keys back afterwards would upset the bones below, whose
  // keys were chosen around their parents' errors.
  constexpr int ATTEMPTS = 4;
  std::unique_ptr<Reducer> reducer = std::make_unique<Reducer>(*this, times, reach);
  // Float rounding of coordinates as large as the skeleton's: the model
  // leaves room for a few units in the last place of them, if the margin
  // leaves less.
  const float largest = float(reducer->Largest_Coordinate());
  const double rounding = 4.0 * (std::nextafter(largest, INFINITY) - largest);
  std::vector<double> limits(times.size(), std::min(max_error * MODEL_MARGIN, max_error - rounding));
  for (int attempt = 1;; ++attempt) {
    if (attempt > 1) {
      reducer.reset();
      reducer = std::make_unique<Reducer>(*this, times, reach);
    }
    reducer->Set_Limits(limits);
    reducer->Run();
    if (attempt == ATTEMPTS) break;
    bool tightened = false;
    double most = 0;
    measure(reducer->kept, [&](std::size_t c) {
      double excess = 0;
      for (double e : errors)
        if (e > bound2 && std::isfinite(e)) excess = std::max(excess, std::sqrt(e) - max_error);
      if (excess > 0 && limits[c] > 2 * excess) limits[c] -= 2 * excess, tightened = true;
      most = std::max(most, excess);
    });
    // Elsewhere the same strays may come next time: the bound everywhere
    // goes down by the largest excess.
    if (tightened)
      for (double& limit : limits) limit = std::max(limit - most, 0.5 * limit);
    if (!tightened) break;
  }
  std::vector<std::vector<unsigned char>>& kept = reducer->kept;
  // Where a bone still fails at a check time, the first bone up its chain
  // (itself unless a leaf, whose points are its parent's) that has dropped a
  // finite key around that time gets back the one nearest to it, and the
  // check repeats. After a few such rounds the failing bones and all their
  // ancestors get back the finite keys of the spans around the time: they
  // then sample as the original there, unless a key that is not finite went
  // next to it, and such a bone keeps all its keys from then on. So every
  // check time comes to hold, and the loop ends.
  constexpr int ONE_KEY_ROUNDS = 3;
  const unsigned int root = hier->Root_Index();
  const auto parent_of = [&](unsigned int bone) {
    const unsigned int p = bone == root ? INVALID_INDEX : hier->Parent_Index(bone);
    return p < bone_count ? p : INVALID_INDEX;
  };
  // Gives back finite keys of `bone` around `time`: the nearest one, or all
  // of the span. Whether any came back.
  const auto give_back = [&](unsigned int bone, double time, bool one) {
    const float* t = frame_times[bone];
    const unsigned int n = number_of_frames[bone];
    const std::vector<unsigned char>& placed = reducer->placed[bone];
    // The keys around the time; before the first key, the first span's.
    const unsigned int k = std::max(1u, std::min(unsigned(std::lower_bound(t, t + n, float(time)) - t), n - 1));
    if (one) {
      // The nearest finite dropped keys at or after k, and before k.
      unsigned int after = k, before = k;
      while (after < n && !kept[bone][after] && !placed[after]) ++after;
      while (before > 0 && !kept[bone][before - 1] && !placed[before - 1]) --before;
      const bool has_after = after < n && !kept[bone][after], has_before = before > 0 && !kept[bone][before - 1];
      if (!has_after && !has_before) return false;
      const bool later = has_after && (!has_before || double(t[after]) - time <= time - double(t[before - 1]));
      kept[bone][later ? after : before - 1] = 1;
      return true;
    }
    bool given = false;
    for (unsigned int j = k; j < n && !kept[bone][j]; ++j)
      if (placed[j]) kept[bone][j] = 1, given = true;
    for (unsigned int j = k; j-- > 0 && !kept[bone][j];)
      if (placed[j]) kept[bone][j] = 1, given = true;
    return given;
  };
  std::vector<unsigned int> failing;
  for (int round = 0, restored = 1; restored; ++round) {
    const bool one = round < ONE_KEY_ROUNDS;
    restored = 0;
    measure(kept, [&](std::size_t c) {
      const double time = times[c];
      bool given = false;
      failing.clear();
      for (unsigned int bone = 0; bone < bone_count; ++bone) {
        if (errors[bone] <= bound2) continue;
        // Up the chain; a parent loop ends where it comes back.
        for (unsigned int up = bone, steps = 0; up != INVALID_INDEX && steps < bone_count;
             up = parent_of(up), ++steps) {
          if (hier->Is_Leaf(up) || reducer->whole[up]) continue;
          failing.push_back(up);
          if (give_back(up, time, one)) {
            given = true;
            if (one) break;
          }
        }
      }
      if (!given && !one)
        for (unsigned int up : failing)
          if (std::find(reducer->placed[up].begin(), reducer->placed[up].end(), 0) != reducer->placed[up].end()) {
            reducer->whole[up] = 1;
            std::fill(kept[up].begin(), kept[up].end(), 1);
            given = true;
          }
      // A one-key round that had nothing to give leaves the time to the
      // rounds that give whole spans.
      restored = restored || given || one;
    });
  }

  Sequence_Keys::Keep(*this, kept);
}

}  // namespace Bone_Import
}  // namespace Vantorix
