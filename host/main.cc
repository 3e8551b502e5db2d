// QuillonSrv: the service's entry point.
#include <cstdio>
#include <string>

#include "config/ini_handler.h"
#include "config/texts.h"
#include "platform/platform.h"

int main() {
  qs::platform::ApplyRegionalSettings();
  // Until the service host runs here, the program reports where it would
  // find its settings.
  std::string service_ini = qs::modIniHandler::ServiceIniPath();
  std::string main_ini = qs::modIniHandler::GetServiceINIString(
      "Files", "INI", "", service_ini, qs::texts::kReadSize);
  std::printf("service INI: %s\nmain INI: %s\n", service_ini.c_str(),
              main_ini.c_str());
  return 0;
}
