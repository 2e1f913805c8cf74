// bonetool: inspect, sample, validate, edit and draw bone and skin files.
#include <cstdio>
#include <cstring>

#include "common.h"
#include "files/output_files.h"
#include "interchange/batch_convert.h"

namespace {

// "unknown command NAME" and the list, for a first word that names no command.
bool Unknown_Command(CLI::App& app, int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') return false;
  std::string list;
  for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
    if (command->get_name() == argv[1]) return false;
    list += (list.empty() ? "" : ", ") + command->get_name();
  }
  std::fprintf(stderr, "bonetool: unknown command %s\ncommands: %s\n(bonetool --help describes them)\n", argv[1],
               list.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // A worker process reading one scene file for its parent (see process/worker_pool.h).
  if (argc > 1 && std::strcmp(argv[1], Vantorix::Bone_Tools::WORKER_OPTION) == 0)
    return Vantorix::Bone_Tools::Run_Worker(argc, argv);
  CLI::App app{"bonetool: inspect, sample, validate, edit, draw, convert and export bone and skin files", "bonetool"};
  app.set_version_flag("--version", "bonetool " BONETOOL_VERSION);
  app.require_subcommand(1);
  bonetool::Context context;
  bonetool::Add_Info(app, context);
  bonetool::Add_Sample(app, context);
  bonetool::Add_Validate(app, context);
  bonetool::Add_Edit_Commands(app, context);
  bonetool::Add_Skin(app, context);
  bonetool::Add_Render(app, context);
  bonetool::Add_Interchange(app, context);
  bonetool::Add_View(app, context);
  bonetool::Add_Demo(app, context);
  if (Unknown_Command(app, argc, argv)) return 2;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? 0 : 2;
  } catch (const bonetool::Batch_Refused&) {
    return 1;
  } catch (const Vantorix::Bone_Tools::Interrupted_Error& interrupted) {
    std::fflush(stdout);
    std::fprintf(stderr, "bonetool: %s\n", interrupted.what());
    return 128 + interrupted.signal;
  } catch (const Vantorix::Bone_Tools::Usage_Error& error) {
    std::fprintf(stderr, "bonetool: error: %s\n", error.what());
    return 2;
  } catch (const bonetool::File_Refused& error) {
    std::fprintf(stderr, "bonetool: error: %s\n", error.what());
    for (const std::string& line : error.explanation) std::fprintf(stderr, "bonetool: %s\n", line.c_str());
    return 1;
  } catch (const Kernel::Exception& error) {
    std::fprintf(stderr, "bonetool: error: %s\n", error.what());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bonetool: error: %s\n", error.what());
    return 1;
  }
  return context.exit_code;
}
