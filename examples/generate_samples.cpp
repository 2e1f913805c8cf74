// Builds the bundled sample data: a humanoid of 22 bones with a walk and a run
// cycle, and a skin of a few thousand bindings.
//
//   generate_samples OUT_DIR   writes humanoid_walk.bone, humanoid_run.bone
//                              and humanoid.skin into OUT_DIR
//
// Y is up, the character faces +z, units are metres and seconds, angles
// radians. At rest every bone's rotation is the identity, so a skin vertex's
// position in a bone's space is its rest position minus the bone's rest
// position.
#include <cmath>
#include <cstdio>
#include <map>
#include <string>

#include "writers/animation_data.h"

using namespace Vantorix::Bone_Tools;

namespace {

const double PI = 3.14159265358979323846;

struct Bone_Rest {
  const char* name;
  const char* parent;
  float x, y, z;   // offset from the parent at rest
  float key_rate;  // keys per second: every bone has its own key times
  float radius;    // of the skin around the segment to the first child
};

// File order: parents before children.
const Bone_Rest BONES[] = {
    {"Hips", "", 0.0f, 0.95f, 0.0f, 30, 0.14f},
    {"Spine", "Hips", 0.0f, 0.1f, 0.0f, 10, 0.13f},
    {"Chest", "Spine", 0.0f, 0.2f, 0.0f, 10, 0.15f},
    {"Neck", "Chest", 0.0f, 0.22f, 0.0f, 8, 0.05f},
    {"Head", "Neck", 0.0f, 0.1f, 0.0f, 8, 0.1f},
    {"Head_End", "Head", 0.0f, 0.2f, 0.0f, 0, 0.0f},
    {"L_Shoulder", "Chest", 0.05f, 0.16f, 0.0f, 12, 0.05f},
    {"L_Upper_Arm", "L_Shoulder", 0.13f, 0.0f, 0.0f, 20, 0.05f},
    {"L_Forearm", "L_Upper_Arm", 0.28f, 0.0f, 0.0f, 24, 0.04f},
    {"L_Hand", "L_Forearm", 0.25f, 0.0f, 0.0f, 0, 0.0f},
    {"R_Shoulder", "Chest", -0.05f, 0.16f, 0.0f, 12, 0.05f},
    {"R_Upper_Arm", "R_Shoulder", -0.13f, 0.0f, 0.0f, 20, 0.05f},
    {"R_Forearm", "R_Upper_Arm", -0.28f, 0.0f, 0.0f, 24, 0.04f},
    {"R_Hand", "R_Forearm", -0.25f, 0.0f, 0.0f, 0, 0.0f},
    {"L_Thigh", "Hips", 0.1f, -0.05f, 0.0f, 30, 0.07f},
    {"L_Shin", "L_Thigh", 0.0f, -0.44f, 0.0f, 30, 0.05f},
    {"L_Foot", "L_Shin", 0.0f, -0.42f, 0.0f, 25, 0.04f},
    {"L_Toe", "L_Foot", 0.0f, -0.05f, 0.15f, 0, 0.0f},
    {"R_Thigh", "Hips", -0.1f, -0.05f, 0.0f, 30, 0.07f},
    {"R_Shin", "R_Thigh", 0.0f, -0.44f, 0.0f, 30, 0.05f},
    {"R_Foot", "R_Shin", 0.0f, -0.42f, 0.0f, 25, 0.04f},
    {"R_Toe", "R_Foot", 0.0f, -0.05f, 0.15f, 0, 0.0f},
};
const int BONE_COUNT = int(sizeof(BONES) / sizeof(BONES[0]));

struct Gait {
  double period, speed, bob, leg_swing, knee_bend, arm_swing, elbow_bend, lean;
};
const Gait WALK = {1.0, 1.4, 0.03, 0.45, 0.6, 0.35, 0.3, 0.05};
const Gait RUN = {0.7, 3.5, 0.07, 0.8, 1.4, 0.7, 1.2, 0.2};

Quaternion From_Angles(double r0, double r1, double r2) {
  Matrix_3x3<float> m;
  Template_Library::M3x3_S_S_S_Rot_ZYX(m, float(r2), float(r1), float(r0));
  return Quaternion(m);
}

// The pose of bone `b` at time t of one cycle: angles about x (pitch) and z.
Key_Data Pose(int b, const Gait& gait, double t) {
  const std::string name = BONES[b].name;
  const double phase = 2 * PI * t / gait.period;
  const double side = name[0] == 'R' ? PI : 0.0;  // right limbs half a cycle later
  double pitch = 0, roll = 0;
  Vector_3<float> offset{BONES[b].x, BONES[b].y, BONES[b].z};
  if (name == "Hips") {
    offset.z = float(gait.speed * t);
    offset.y = float(BONES[b].y + gait.bob * std::cos(2 * phase));
    roll = 0.04 * std::sin(phase);
  } else if (name == "Spine") {
    pitch = gait.lean;
  } else if (name == "Chest") {
    roll = -0.05 * std::sin(phase);
  } else if (name == "Head") {
    pitch = -gait.lean;
  } else if (name.find("Thigh") != std::string::npos) {
    pitch = -gait.leg_swing * std::sin(phase + side);
  } else if (name.find("Shin") != std::string::npos) {
    pitch = gait.knee_bend * std::max(0.0, std::sin(phase + side + 0.5 * PI)) + 0.05;
  } else if (name.find("Foot") != std::string::npos) {
    pitch = -0.2 * std::sin(phase + side + 0.3);
  } else if (name.find("Upper_Arm") != std::string::npos) {
    pitch = gait.arm_swing * std::sin(phase + side);
    roll = name[0] == 'L' ? -1.2 : 1.2;  // arms down along the body
  } else if (name.find("Forearm") != std::string::npos) {
    pitch = -gait.elbow_bend * (0.6 + 0.4 * std::sin(phase + side));
  }
  return Key_Data{float(t), From_Angles(pitch, 0.0, roll), offset};
}

Animation_Data Cycle(const Gait& gait, int cycles) {
  Animation_Data animation;
  animation.length = float(gait.period * cycles);
  for (int b = 0; b < BONE_COUNT; ++b) {
    Bone_Data bone;
    bone.name = BONES[b].name;
    bone.parent = BONES[b].parent;
    bone.root = bone.parent.empty();
    const double rate = BONES[b].key_rate;
    const int inner = rate > 0 ? int(std::ceil(animation.length * rate)) : 1;
    for (int k = 0; k < inner; ++k) bone.keys.push_back(Pose(b, gait, k / (rate > 0 ? rate : 1.0)));
    bone.keys.push_back(Pose(b, gait, animation.length));
    if (rate == 0) {  // leaves: never sampled, rest pose at both ends
      for (Key_Data& key : bone.keys) key.rotation = Quaternion::Identity();
    }
    animation.bones.push_back(std::move(bone));
  }
  return animation;
}

// Rings of vertices around each segment from a bone to its first child. The
// last rings of a segment are shared with the child bone by weight.
Skin_File_Data Humanoid_Skin() {
  Skin_File_Data file;
  std::map<std::string, int> index;
  for (int b = 0; b < BONE_COUNT; ++b) {
    file.bones.push_back(BONES[b].name);
    index[BONES[b].name] = b;
  }
  Skin_Data body{"body", {}};
  unsigned int vertex = 0;
  const int RINGS = 12, AROUND = 12;
  for (int b = 0; b < BONE_COUNT; ++b) {
    if (BONES[b].radius == 0) continue;
    int child = -1;
    for (int c = 0; c < BONE_COUNT && child < 0; ++c)
      if (std::string(BONES[c].parent) == BONES[b].name) child = c;
    const double cx = BONES[child].x, cy = BONES[child].y, cz = BONES[child].z;
    const double length = std::sqrt(cx * cx + cy * cy + cz * cz);
    // Two unit vectors across the segment.
    double ux = -cy, uy = cx, uz = 0;
    if (std::abs(cz) > 0.5 * length) ux = 1, uy = 0, uz = 0;
    const double un = std::sqrt(ux * ux + uy * uy + uz * uz);
    ux /= un, uy /= un, uz /= un;
    const double dx = cx / length, dy = cy / length, dz = cz / length;
    const double vx = dy * uz - dz * uy, vy = dz * ux - dx * uz, vz = dx * uy - dy * ux;
    for (int r = 0; r < RINGS; ++r) {
      const double along = (r + 0.5) / RINGS;
      const double child_weight = along > 0.75 ? (along - 0.75) * 2.0 : 0.0;
      for (int a = 0; a < AROUND; ++a, ++vertex) {
        const double angle = 2 * PI * a / AROUND;
        const double px = cx * along + BONES[b].radius * (std::cos(angle) * ux + std::sin(angle) * vx);
        const double py = cy * along + BONES[b].radius * (std::cos(angle) * uy + std::sin(angle) * vy);
        const double pz = cz * along + BONES[b].radius * (std::cos(angle) * uz + std::sin(angle) * vz);
        body.vertices.push_back(
            Skin_File::Vertex{unsigned(b), float(px), float(py), float(pz), float(1.0 - child_weight), vertex});
        if (child_weight > 0 && BONES[child].radius > 0)
          body.vertices.push_back(Skin_File::Vertex{unsigned(child), float(px - cx), float(py - cy), float(pz - cz),
                                                    float(child_weight), vertex});
        else if (child_weight > 0)
          body.vertices.back().weight = 1.0f;
      }
    }
  }
  file.skins.push_back(std::move(body));
  return file;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT_DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  try {
    Write_Bone_File(dir + "/humanoid_walk.bone", Cycle(WALK, 2));
    Write_Bone_File(dir + "/humanoid_run.bone", Cycle(RUN, 2));
    Write_Skin_File(dir + "/humanoid.skin", Humanoid_Skin());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "generate_samples: error: %s\n", error.what());
    return 1;
  }
  return 0;
}
