// bonetool: inspect, sample, validate, edit and draw bone and skin files.
#include <cstdio>

#include "common.h"

int main(int argc, char** argv) {
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
  bonetool::Add_Demo(app, context);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? 0 : 2;
  } catch (const Kernel::Exception& error) {
    std::fprintf(stderr, "bonetool: error: %s\n", error.what());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bonetool: error: %s\n", error.what());
    return 1;
  }
  return context.exit_code;
}
