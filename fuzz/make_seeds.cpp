// Writes the seed corpora: small valid files from the test-side builders.
//   make_seeds DIR   writes DIR/bone/*.bone and DIR/skin/*.skin
#include <fstream>
#include <string>

#include "support/file_data.h"

using namespace test_support;

static void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string dir = argv[1];
  Write(dir + "/bone/one_bone.bone", Bone_File().Root("root", Keys_At({0, 1})).Data());
  Write(dir + "/bone/chain.bone", Bone_File()
                                      .Length(2)
                                      .Root("Hips", {{0, 0.1f, 0.2f, 0.3f, 0, 1, 0}, {1, 0, 0, 0.5f, 0, 1, 0.5f}, {2}})
                                      .Bone("spine", "hips", Keys_At({0, 0.5f, 2}))
                                      .Bone("head", "SPINE", Keys_At({0, 2}))
                                      .Data());
  Write(dir + "/bone/two_roots.bone",
        Bone_File().Root("a", Keys_At({0, 1})).Root("b", Keys_At({0, 1})).Bone("c", "a", Keys_At({0, 1})).Data());
  Write(dir + "/bone/branches.bone", Bone_File()
                                         .Length(1)
                                         .Root("r", Keys_At({0, 0.25f, 0.5f, 0.75f, 1}))
                                         .Bone("l", "r", {{0, 1.5f, 0, 0, 1, 0, 0}, {1, -1.5f, 0, 0, 1, 0, 0}})
                                         .Bone("m", "r", Keys_At({0, 1}))
                                         .Bone("l_end", "l", Keys_At({0, 1}))
                                         .Data());
  Write(dir + "/skin/one_skin.skin",
        Skin_File_Data().Bones({"root"}).Skin("body", {{0, 1, 2, 3, 1, 0}, {0, 4, 5, 6, 1, 1}}).Data());
  Write(dir + "/skin/two_skins.skin", Skin_File_Data()
                                          .Bones({"root", "a"})
                                          .Skin("s", {{0, 1, 2, 3, 0.5f, 0}, {1, 1, 1, 1, 0.5f, 0}})
                                          .Skin("t", {})
                                          .Data());
  Write(dir + "/skin/empty.skin", Skin_File_Data().Data());
  return 0;
}
