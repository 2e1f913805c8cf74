// Private: the model that Sequence::Reduce chooses keys with
// (reduce_model.cpp), the search for the keys over it (reduce_search.cpp) and
// the measure of a result's errors (reduction_errors.cpp).
//
// The model: at every check time, every sampled bone's world pose (rotation
// and position) in double precision, for the original keys and for the kept
// ones. With keys a and z of bone b as neighbours, only b's local pose at the
// check times between them changes, and with it the world poses of b's
// subtree there; that is all a span's check recomputes, stopping at the first
// point over the bound. Each bone in turn gets the fewest keys whose spans
// all hold, with every other bone as it stands (Resolve).
#pragma once
#ifndef BONE_IMPORT_BUILDING
#error "bone_import/reduce_model.h is private to the library; include bone_import/bone_import.h"
#endif

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "bone_import.h"

namespace Vantorix {
namespace Bone_Import {
namespace Reduction {

// A span's estimate looks at this many of its check times (see Holds).
constexpr unsigned int ESTIMATE_CHECKS = 9;

struct Pose {
  double base[9];  // row-major rotation
  double position[3];
};

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

inline Points Points_Of(const Pose& pose, double reach) {
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
  Reducer(const Sequence& sequence, const std::vector<double>& check_times, double reach);

  // The bound the model works to at each check time.
  void Set_Limits(const std::vector<double>& limits) {
    limit2.resize(limits.size());
    for (std::size_t c = 0; c < limits.size(); ++c) limit2[c] = limits[c] > 0 ? limits[c] * limits[c] : 0;
  }

  // The largest coordinate of a point the original places.
  double Largest_Coordinate() const;

  // Passes over the skeleton, parents first, each bone's keys chosen anew
  // with every other bone as it stands. What a bone may spend depends on what
  // its parents and children spent, so later passes find room the first
  // left; alternating between the earliest and the latest of the shortest
  // key sets moves keys within their spans, which opens more.
  void Run();

  // A key equal to both its neighbours lies inside a run of equal keys, over
  // which the pose stays the same whatever is dropped: all such keys go at
  // once, without measuring (motion capture holds many bones still).
  void Drop_Repeated_Keys();

  // A key that is not finite never stays between a bone's first and last
  // key: at its own time and next to it the original may be not a number or
  // not, depending on which interval sampling's search takes, so a result
  // that kept it could be not a number where the original is not. Its spans
  // go at once, blending the finite keys around them; where that breaks the
  // bound (a rotation that is not a number next to an offset that is), the
  // bone keeps all its keys instead, as does a bone whose first or last key
  // is not finite: it then samples exactly as the original.
  void Drop_Unplaced_Keys();

  // Links each kept key of b to the next kept one.
  void Link_Kept(unsigned int b);

  // Per bone and key: whether it stays. Leaves keep only their ends.
  std::vector<std::vector<unsigned char>> kept;
  // Per bone and key: every component of the key is finite. Per bone: the
  // bone keeps every key.
  std::vector<std::vector<unsigned char>> placed;
  std::vector<unsigned char> whole;

 private:
  // Sampled bones depth first, parents first, so that each subtree is one run.
  void Build_Order();
  // The original's poses and points at every check time.
  void Build_Poses();

  // The poses of every sampled bone at one check time lie together, in
  // depth-first order, so a subtree's poses at one time are one run.
  Pose& Local(unsigned int b, std::size_t c) { return local[c * sampled.size() + position[b]]; }
  Pose& World(unsigned int b, std::size_t c) { return world[c * sampled.size() + position[b]]; }
  // b's local pose at check time c with keys a and z as neighbours.
  Pose Local_At(unsigned int b, unsigned int a, unsigned int z, std::size_t c) const;

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
  void Begin_Rows(unsigned int b);
  void End_Rows() { rows_bone = INVALID_INDEX; }
  // Whether row c holds b's poses with keys a and z as neighbours.
  bool Row_Holds(unsigned int b, unsigned int c, unsigned int a, unsigned int z) const;

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
  bool Holds(unsigned int b, unsigned int a, unsigned int z, bool estimate = false);

  // Makes keys a and z of b neighbours in the model: computes the rows that
  // do not hold their poses yet.
  void Commit(unsigned int b, unsigned int a, unsigned int z);

  // The check times that keys a (from) and z (to, one past) of b govern.
  unsigned int First_Check(unsigned int b, unsigned int a) const { return a == 0 ? 0 : key_check[b][a]; }
  unsigned int End_Check(unsigned int b, unsigned int z) const {
    return z + 1 == s.Key_Count(b) ? unsigned(times.size()) : key_check[b][z] + 1;
  }

  // The world poses of b's subtree at check time c into `out`, with keys a
  // and z of b as neighbours (b's own local pose into `own`). With `check`,
  // stops at the first point over the bound (or not a number) and says
  // whether every point stayed within it.
  bool Pose_Subtree(unsigned int b, unsigned int a, unsigned int z, unsigned int c, Pose* out, Pose& own, bool check);

  // The fewest keys for bone b with every other bone as it stands: a path
  // over its finite keys from the first to the last, where a step from key a
  // to key z is allowed when that span Holds. The bone's keys change only
  // when the path has no more than it has now (one as long moves them).
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
  void Resolve(unsigned int b, bool latest);

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
// neighbouring ones: where Reduce checks.
std::vector<double> Check_Times(const Sequence& s);

// The squared errors of every bone between two frames at one moment.
void Frame_Errors2(Frame& original, Frame& edited, unsigned int bones, float reach, double* errors);

}  // namespace Reduction
}  // namespace Bone_Import
}  // namespace Vantorix
