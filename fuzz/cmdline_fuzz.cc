// The command line of the service program: any line, split at commas, must
// neither crash the start-up nor bring a line of its own into the INI
// files. The main INI may gain only "NTService"/"State" and "LastMsg", the
// service INI only "Files"/"INI" and "Language"; an install whose name or
// folders hold a control character installs nothing.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "errortrap/ravelin.h"
#include "fuzz/fuzz_support.h"
#include "host/frm_main.h"
#include "platform/message_loop.h"
#include "platform/platform.h"
#include "tests/fakes.h"

namespace {

using qs::fuzz::Read;
using qs::fuzz::Save;

// The lines of an INI file that are neither a header nor "key=value" of a
// key in `keys` of the one section `section`.
int Strangers(const std::string& bytes, const std::string& section,
              const std::vector<std::string>& keys) {
  int strangers = 0;
  std::size_t at = 0;
  while (at < bytes.size()) {
    std::size_t end = bytes.find("\r\n", at);
    if (end == std::string::npos) end = bytes.size();
    const std::string line = bytes.substr(at, end - at);
    at = end + 2;
    if (line == "[" + section + "]" || line == "[Options]" || line.rfind("Language=", 0) == 0 ||
        line.rfind("AppPath=", 0) == 0) {
      continue;
    }
    bool known = false;
    for (const std::string& k : keys) known = known || line.rfind(k + "=", 0) == 0;
    strangers += !known || line.find_first_of("\r\n") != std::string::npos;
  }
  return strangers;
}

bool HasControl(const std::string& s) {
  return std::any_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string line = in.ConsumeRemainingBytesAsString();
  namespace fs = std::filesystem;
  const std::string product = qs::fuzz::Scratch() + "/Quillon Pro";
  const std::string bin = product + "/bin";
  fs::create_directories(bin);
  const std::string main_ini = product + "/Quillon.ini", service_ini = bin + "/QuillonSrv.ini";
  Save(main_ini, "[Options]\r\nLanguage=Deutsch\r\n");
  Save(service_ini, "");

  qs::test::FakeProcess process;
  process.exe = bin + "/QuillonSrv";
  qs::test::FakeUi ui;
  qs::test::FakeWindows windows;
  qs::platform::ScopedPlatform scoped({.process = &process, .windows = &windows, .ui = &ui});
  qs::modRavelinLITE::ResetForTest();
  qs::test::FakeServiceControl* svc = nullptr;
  {
    auto loop = qs::platform::CreateMessageLoop();
    qs::Components c;
    c.NewServiceControl = [&](qs::platform::MessageLoop&) {
      auto s = std::make_unique<qs::test::FakeServiceControl>();
      svc = s.get();
      return s;
    };
    qs::frmMain form(*loop, qs::platform::OsFileSystem(), std::move(c));
    form.Form_Load(line);
    // An install line whose name or folders hold a control character is
    // refused before anything is registered.
    std::vector<std::string> fields;
    for (std::size_t at = 0;;) {
      std::size_t comma = line.find(',', at);
      fields.push_back(line.substr(at, comma - at));
      if (comma == std::string::npos) break;
      at = comma + 1;
    }
    if (fields[0] == "-install" && fields.size() > 2) {
      bool bad = false;
      for (std::size_t i = 2; i <= 4 && i < fields.size(); ++i) bad = bad || HasControl(fields[i]);
      if (bad) {
        CHECK(std::none_of(svc->calls.begin(), svc->calls.end(),
                           [](const std::string& call) { return call.starts_with("Install "); }));
      }
    }
  }
  CHECK(Strangers(Read(main_ini), "NTService", {"State", "LastMsg"}) == 0);
  CHECK(Strangers(Read(service_ini), "Files", {"INI", "Language"}) == 0);
  return 0;
}
