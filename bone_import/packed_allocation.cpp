// Packing's error allocation: each channel's precision from the bound.
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
#include <cmath>
#include <limits>
#include <vector>

#include "check.h"
#include "packed_encoder.h"
#include "skeleton_order.h"

namespace Vantorix {
namespace Bone_Import {
namespace Packed {

namespace {

const char* const SOURCE = "bone_import/bones";

// The largest error a rotation channel is given, in radians.
constexpr double MAX_TURN = 0.1;

}  // namespace

template <class Error_Of>
double Encoder::Worst_Error(Error_Of error_of, std::vector<double>* errors) {
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

void Encoder::Plan_Channels() {
  // Bones that a root reaches, parents first.
  const unsigned int bones = h.Bone_Count();
  std::vector<unsigned int> track_of(bones, INVALID_INDEX);
  for (unsigned int i = 0; i < tracks.size(); ++i) track_of[tracks[i].bone] = i;
  const Skeleton_Order skeleton(h);
  std::vector<unsigned int> model_of(bones, INVALID_INDEX);
  for (unsigned int b : skeleton.Breadth_First()) {
    if (track_of[b] == INVALID_INDEX) continue;  // a leaf: its points are its parent's
    Track_Plan& track = tracks[track_of[b]];
    model_of[b] = unsigned(model.size());
    Model_Bone m{};
    m.bone = b;
    m.parent = skeleton.Parent(b) == INVALID_INDEX ? INVALID_INDEX : model_of[skeleton.Parent(b)];
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

void Encoder::Allocate() {
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

}  // namespace Packed
}  // namespace Bone_Import
}  // namespace Vantorix
