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
// own float sampling, and keys are put back around any check time that fails.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "bone_import.h"
#include "check.h"
#include "key_groups.h"

namespace Vantorix {
namespace Bone_Import {

namespace {

const char* const SOURCE = "bone_import/bones";

// The double-precision model works this much inside the bound, for the gap to
// the library's float sampling.
constexpr double MODEL_MARGIN = 0.998;

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
  const double* a = parent.base;
  const double* b = local.base;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j)
      out.base[3 * i + j] = a[3 * i] * b[j] + a[3 * i + 1] * b[3 + j] + a[3 * i + 2] * b[6 + j];
    out.position[i] = a[3 * i] * local.position[0] + a[3 * i + 1] * local.position[1] +
                      a[3 * i + 2] * local.position[2] + parent.position[i];
  }
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
  double worst = 0;
  for (int point = 0; point < 4; ++point) {
    double e = 0;
    for (int i = 0; i < 3; ++i) {
      const double v = pose.position[i] + (point ? reach * pose.base[3 * i + point - 1] : 0.0) - was.p[point][i];
      e += v * v;
    }
    if (e <= worst) continue;
    if (std::isnan(e)) {
      if (!std::isfinite(was.p[point][0] + was.p[point][1] + was.p[point][2])) continue;
      return e;
    }
    worst = e;
  }
  return worst;
}

class Reducer {
 public:
  Reducer(const Sequence& sequence, const std::vector<double>& check_times, double limit, double reach)
      : s(sequence), h(sequence.Get_Hierarchy()), times(check_times), limit2(limit * limit), reach(reach) {
    Build_Order();
    Build_Poses();
  }

  // Passes over the skeleton, parents first, each bone's keys chosen anew
  // with every other bone as it stands. What a bone may spend depends on what
  // its parents and children spent, so later passes find room the first
  // left; alternating between the earliest and the latest of the shortest
  // key sets moves keys within their spans, which opens more.
  void Run() {
    Drop_Repeated_Keys();
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
      const Quaternion* q = s.Key_Rotations(b);
      const Vector_3<float>* o = s.Key_Offsets(b);
      const unsigned int n = s.Key_Count(b);
      for (unsigned int k = 1; k + 1 < n; ++k)
        if (same(q[k], o[k], q[k - 1], o[k - 1]) && same(q[k], o[k], q[k + 1], o[k + 1])) kept[b][k] = 0;
      for (unsigned int k = n - 1; k-- > 0;) next[b][k] = kept[b][k + 1] ? k + 1 : next[b][k + 1];
      // The poses over each merged run are the run's one pose already.
    }
  }

  // Per bone and key: whether it stays. Leaves keep only their ends.
  std::vector<std::vector<unsigned char>> kept;

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
    std::vector<unsigned char> placed(bones, 0);
    std::vector<unsigned int> order;
    auto place_from = [&](unsigned int top) {
      std::vector<unsigned int> stack{top};
      placed[top] = 1;
      while (!stack.empty()) {
        const unsigned int b = stack.back();
        stack.pop_back();
        order.push_back(b);
        for (auto c = children[b].rbegin(); c != children[b].rend(); ++c)
          if (!placed[*c]) placed[*c] = 1, stack.push_back(*c);
      }
    };
    for (unsigned int b = 0; b < bones; ++b)
      if (parent[b] == INVALID_INDEX) place_from(b);
    for (unsigned int b = 0; b < bones; ++b)
      if (!placed[b]) parent[b] = INVALID_INDEX, place_from(b);
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
    for (unsigned int b = 0; b < bones; ++b) {
      const unsigned int n = s.Key_Count(b);
      const float* t = s.Key_Times(b);
      kept[b].assign(n, 1);
      for (unsigned int k = 0; k < n; ++k) {
        key_check[b].push_back(unsigned(std::lower_bound(times.begin(), times.end(), double(t[k])) - times.begin()));
        next[b].push_back(k + 1 < n ? k + 1 : n - 1);
      }
      if (h.Is_Leaf(b))
        for (unsigned int k = 1; k + 1 < n; ++k) kept[b][k] = 0;
    }
    const std::size_t count = sampled.size() * times.size();
    local.resize(count);
    world.resize(count);
    for (unsigned int b : sampled) {
      const unsigned int n = s.Key_Count(b);
      for (unsigned int k = 0, c = 0; c < times.size(); ++c) {
        while (k + 2 < n && key_check[b][k + 1] < c) ++k;  // the interval the library uses
        Local(b, c) = Local_At(b, k, k + 1, c);
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

  // Whether b's subtree stays within the bound with keys a and z of b as
  // neighbours, at every check time they govern: from a's time to z's, both
  // included (a key new to the kept set changes the pose at its own time),
  // and before the first key or after the last, where sampling extrapolates.
  bool Holds(unsigned int b, unsigned int a, unsigned int z) {
    const unsigned int from = First_Check(b, a), to = End_Check(b, z);
    // Middle out: a span's error is largest far from its keys, so a span
    // over the bound is found out soonest there.
    const unsigned int middle = from + (to - from) / 2;
    for (unsigned int j = 0; j < to - from; ++j)
      if (!Pose_Subtree(b, a, z, j % 2 ? middle - (j + 1) / 2 : middle + j / 2, true)) return false;
    return true;
  }

  // Makes keys a and z of b neighbours in the model.
  void Commit(unsigned int b, unsigned int a, unsigned int z) {
    const std::size_t stride = sampled.size();
    for (unsigned int c = First_Check(b, a), to = End_Check(b, z); c < to; ++c) {
      Pose_Subtree(b, a, z, c, false);
      std::copy(scratch.begin(), scratch.end(), &world[c * stride + position[b]]);
      Local(b, c) = changed;
    }
  }

  unsigned int First_Check(unsigned int b, unsigned int a) const { return a == 0 ? 0 : key_check[b][a]; }
  unsigned int End_Check(unsigned int b, unsigned int z) const {
    return z + 1 == s.Key_Count(b) ? unsigned(times.size()) : key_check[b][z] + 1;
  }

  // The world poses of b's subtree at check time c into `scratch`, with keys
  // a and z of b as neighbours (b's own local pose into `changed`). With
  // `check`, stops at the first point over the bound (or not a number) and
  // says whether every point stayed within it.
  bool Pose_Subtree(unsigned int b, unsigned int a, unsigned int z, unsigned int c, bool check) {
    const std::size_t stride = sampled.size();
    const unsigned int first = position[b], last = subtree_end[b];
    const Pose* own = &local[c * stride];
    const Points* was = &original[c * stride];
    scratch.resize(last - first);
    changed = Local_At(b, a, z, c);
    // The subtree is one run that starts at b; every other bone of it has its
    // parent inside the run.
    if (parent[b] == INVALID_INDEX)
      scratch[0] = changed;
    else
      Compose(World(parent[b], c), changed, scratch[0]);
    if (check && !(Error2(scratch[0], was[first], reach) <= limit2)) return false;
    for (unsigned int i = first + 1; i < last; ++i) {
      Pose& out = scratch[i - first];
      Compose(scratch[position[parent[sampled[i]]] - first], own[i], out);
      if (check && !(Error2(out, was[i], reach) <= limit2)) return false;
    }
    return true;
  }

  // The fewest keys for bone b with every other bone as it stands: a
  // shortest path over its keys from the first to the last, where a step from
  // key a to key z is allowed when that span Holds. The current keys are one
  // such path, so the count never grows.
  //
  // reach[a] is the farthest key a may step to, and every key before it is
  // taken to be allowed too. It is found by galloping forward from the
  // previous key's reach (a span that holds tends to hold when it starts
  // later), which makes a path one pass over the keys; the steps of the path
  // found are then checked, and where one fails that key's reach is cut back
  // to a span that holds and the path found again. With `latest`, the path
  // keeps its keys as late as the fewest keys allow, else as early.
  void Resolve(unsigned int b, bool latest) {
    const unsigned int n = s.Key_Count(b);
    unsigned int now = 0;
    for (unsigned char k : kept[b]) now += k;
    if (now <= 2) return;
    std::vector<unsigned int> reach_of(n, 0), count(n), from(n);
    for (unsigned int a = 0, z = 1; a + 1 < n; ++a) {
      z = std::max(z, a + 1);
      if (kept[b][a]) z = std::max(z, next[b][a]);
      for (unsigned int step = 1; z + 1 < n;) {
        const unsigned int to = z + std::min(step, n - 1 - z);
        if (Holds(b, a, to))
          z = to, step *= 2;
        else if (step == 1)
          break;
        else
          step /= 2;
      }
      reach_of[a] = z;
    }
    std::unordered_set<std::uint64_t> held;
    for (;;) {
      if (!Shortest_Path(b, reach_of, count, from, latest) || count[n - 1] >= now) return;
      bool all_hold = true;
      for (unsigned int z = n - 1; z != 0; z = from[z]) {
        const unsigned int a = from[z];
        if ((kept[b][a] && next[b][a] == z) || held.count(std::uint64_t(a) << 32 | z)) continue;
        if (Holds(b, a, z)) {
          held.insert(std::uint64_t(a) << 32 | z);
          continue;
        }
        // Cut a's reach back to the farthest span below z that holds.
        unsigned int lo = a, hi = z;
        while (hi - lo > 1) {
          const unsigned int middle = lo + (hi - lo) / 2;
          if (Holds(b, a, middle))
            held.insert(std::uint64_t(a) << 32 | middle), lo = middle;
          else
            hi = middle;
        }
        reach_of[a] = lo;
        all_hold = false;
      }
      if (all_hold) break;
    }
    std::fill(kept[b].begin(), kept[b].end(), 0);
    for (unsigned int z = n - 1;; z = from[z]) {
      kept[b][z] = 1;
      if (z == 0) break;
      next[b][from[z]] = z;
    }
    for (unsigned int a = 0; a + 1 < n; a = next[b][a]) Commit(b, a, next[b][a]);
  }

  // Fewest steps from key 0 to every key, each step from a to any key up to
  // reach[a]: count[z] comes from the earliest key that reaches z, so counts
  // never fall along the keys. False when the last key cannot be reached.
  // from[] then holds the earliest path, or with `latest` the latest.
  bool Shortest_Path(unsigned int b, const std::vector<unsigned int>& reach_of, std::vector<unsigned int>& count,
                     std::vector<unsigned int>& from, bool latest) const {
    const unsigned int n = s.Key_Count(b);
    count[0] = 1;
    for (unsigned int z = 1, a = 0; z < n; ++z) {
      while (a < z && reach_of[a] < z) ++a;
      if (a == z) return false;
      count[z] = count[a] + 1, from[z] = a;
    }
    if (latest)
      for (unsigned int z = n - 1; z != 0; z = from[z]) {
        unsigned int a = z - 1;
        while (count[a] + 1 != count[z] || reach_of[a] < z) --a;
        from[z] = a;
      }
    return true;
  }

  const Sequence& s;
  const Hierarchy& h;
  const std::vector<double>& times;
  double limit2;
  const double reach;
  std::vector<unsigned int> parent, sampled, position, subtree_end;
  std::vector<std::vector<unsigned int>> key_check, next;  // next: per kept key, the next kept one
  std::vector<Pose> local, world;                          // per check time, per sampled bone
  std::vector<Points> original;
  std::vector<Pose> scratch;
  Pose changed;
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

void Sequence::Fill_From(const Sequence& source, const std::vector<std::vector<unsigned char>>& kept) {
  const unsigned int bone_count = hier->Bone_Count();
  Allocate_Tables(bone_count);
  length = source.length;
  for (unsigned int bone = 0; bone < bone_count; ++bone) {
    unsigned int n = 0;
    for (unsigned char k : kept[bone]) n += k;
    frame_times[bone] = new float[n];
    frame_rotations[bone] = new Quaternion[n];
    frame_offsets[bone] = new Vector_3<float>[n];
    for (unsigned int k = 0, j = 0; k < source.number_of_frames[bone]; ++k)
      if (kept[bone][k]) {
        frame_times[bone][j] = source.frame_times[bone][k];
        frame_rotations[bone][j] = source.frame_rotations[bone][k];
        frame_offsets[bone][j] = source.frame_offsets[bone][k];
        ++j;
      }
    number_of_frames[bone] = n;
    Note_Key_Order(bone);
  }
  Build_Key_Groups();
  state = Fill_State::FILLED;
}

void Sequence::Keep_First_Keys(unsigned int bone, unsigned int count) {
  const auto shrink = [count](auto*& keys) {
    auto* exact = new std::remove_reference_t<decltype(*keys)>[count];
    std::copy(keys, keys + count, exact);
    delete[] keys;
    keys = exact;
  };
  shrink(frame_times[bone]);
  shrink(frame_rotations[bone]);
  shrink(frame_offsets[bone]);
  number_of_frames[bone] = count;
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
  Reducer reducer(*this, times, max_error * MODEL_MARGIN, reach);
  reducer.Run();
  std::vector<std::vector<unsigned char>>& kept = reducer.kept;
  // The result through the library's own float sampling: where a check time
  // fails, every bone gets back the keys of the span that holds it. A check
  // time with nothing left to give back samples exactly as the original does
  // (a point that is not a number there is so in both).
  std::vector<double> errors(bone_count);
  for (bool restored = true; restored;) {
    Sequence reduced(*hier);
    reduced.Fill_From(*this, kept);
    Frame a(*hier, false), b(*hier, false);
    restored = false;
    for (double time : times) {
      Get_Frame_Time(a, float(time));
      reduced.Get_Frame_Time(b, float(time));
      Frame_Errors2(a, b, bone_count, reach, errors.data());
      bool holds = true;
      for (double e : errors) holds = holds && e <= double(max_error) * max_error;
      if (holds) continue;
      for (unsigned int bone = 0; bone < bone_count; ++bone) {
        const float* t = frame_times[bone];
        const unsigned int n = number_of_frames[bone];
        // The keys around the time; before the first key, the first span's.
        const unsigned int k = std::max(1u, std::min(unsigned(std::lower_bound(t, t + n, float(time)) - t), n - 1));
        for (unsigned int j = k; j < n && !kept[bone][j]; ++j) kept[bone][j] = 1, restored = true;
        for (unsigned int j = std::min(k, n); j-- > 0 && !kept[bone][j];) kept[bone][j] = 1, restored = true;
      }
    }
  }

  // Keep the kept keys, in place, then shrink each bone's arrays to fit;
  // until the key groups are rebuilt, nothing may sample the sequence.
  state = Fill_State::FAILED;
  for (unsigned int bone = 0; bone < bone_count; ++bone) {
    unsigned int count = 0;
    for (unsigned int k = 0; k < number_of_frames[bone]; ++k)
      if (kept[bone][k]) {
        frame_times[bone][count] = frame_times[bone][k];
        frame_rotations[bone][count] = frame_rotations[bone][k];
        frame_offsets[bone][count] = frame_offsets[bone][k];
        ++count;
      }
    if (count != number_of_frames[bone]) Keep_First_Keys(bone, count);
  }
  Build_Key_Groups();
  state = Fill_State::FILLED;
}

}  // namespace Bone_Import
}  // namespace Vantorix
