// Test doubles of the platform interfaces. Only the tests use them.
#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/runtime_error.h"
#include "tests/fake_clock.h"

namespace qs::test {

// The classic error number `f` raised, 0 for none.
inline std::int32_t ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const RuntimeError& e) {
    return e.number();
  }
  return 0;
}

// Top-level windows with fixed titles; records every text sent.
class FakeWindows : public platform::WindowSystem {
 public:
  struct Window {
    std::string title;
    std::int32_t style = static_cast<std::int32_t>(platform::kWsVisible | platform::kWsBorder);
    bool attachable = true;
  };
  std::vector<Window> windows;  // handle = index + 2; 1 is the desktop
  std::vector<std::pair<platform::Hwnd, std::string>> sent;
  int walks = 0;
  std::function<void()> on_attach = [] {};

  platform::Hwnd GetDesktopWindow() override { return 1; }
  platform::Hwnd FormWindow() override { return 1000; }
  platform::Hwnd GetWindow(platform::Hwnd h, unsigned cmd) override {
    if ((h == 1 && cmd == platform::kGwChild) || cmd == platform::kGwHwndFirst) {
      ++walks;
      return windows.empty() ? 0 : 2;
    }
    if (cmd == platform::kGwHwndNext && h >= 2 && h - 2 + 1 < windows.size()) return h + 1;
    return 0;
  }
  int GetWindowText(platform::Hwnd h, char* buf, int max) override {
    std::string t = Valid(h) ? windows[h - 2].title : "";
    int n = std::min<int>(static_cast<int>(t.size()), max - 1);
    t.copy(buf, static_cast<std::size_t>(n));
    buf[n] = 0;
    return n;
  }
  int GetWindowTextLength(platform::Hwnd h) override {
    return Valid(h) ? static_cast<int>(windows[h - 2].title.size()) : 0;
  }
  std::int32_t GetWindowLong(platform::Hwnd h, int) override {
    return Valid(h) ? windows[h - 2].style : 0;
  }
  void SendSetText(platform::Hwnd h, std::string_view text) override {
    sent.emplace_back(h, std::string(text));
  }
  bool AttachViewer(platform::Hwnd h) override {
    on_attach();
    return Valid(h) && windows[h - 2].attachable;
  }

  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    for (const auto& s : sent) out.push_back(s.second);
    return out;
  }

 private:
  bool Valid(platform::Hwnd h) const { return h >= 2 && h - 2 < windows.size(); }
};

class FakeProcess : public platform::ProcessApi {
 public:
  std::string exe = "/opt/Quillon Pro/bin/QuillonSrv";
  std::vector<std::uint32_t> error_modes;
  std::string ModuleFileName() override { return exe; }
  std::uint32_t SetErrorMode(std::uint32_t mode) override {
    error_modes.push_back(mode);
    return 0;
  }
};

class FakeUi : public platform::UserInterface {
 public:
  struct Box {
    std::string text, title;
    unsigned type;
  };
  std::vector<Box> boxes;
  std::vector<std::string> notices;
  int MessageBox(const std::string& text, const std::string& title, unsigned type) override {
    boxes.push_back({text, title, type});
    return 3;  // IDABORT
  }
  void Notice(const std::string& text) override { notices.push_back(text); }
};

}  // namespace qs::test

#include "engine/engine.h"
#include "platform/service_control.h"

namespace qs::test {

// The service control, recording what the form asks of it.
class FakeServiceControl : public platform::ServiceControl {
 public:
  bool install_result = true, uninstall_result = true, connect_result = true;
  // "Install <ServiceName> <StartMode> <Account>/<Password>[ interactive]",
  // "Uninstall <ServiceName>", "SaveSetting a/b=c"
  std::vector<std::string> calls;
  struct Event {
    std::int16_t type;
    std::int32_t id;
    std::string text;
  };
  std::vector<Event> events;
  std::vector<std::string> statuses;

  std::string DefaultAccount() const override { return "root"; }
  bool Install() override {
    calls.push_back("Install " + ServiceName + " " + std::to_string(StartMode) + " " + Account +
                    "/" + Password + (Interactive ? " interactive" : ""));
    return install_result;
  }
  bool Uninstall() override {
    calls.push_back("Uninstall " + ServiceName);
    return uninstall_result;
  }
  bool SaveSetting(const std::string& section, const std::string& key,
                   const std::string& value) override {
    calls.push_back("SaveSetting " + section + "/" + key + "=" + value);
    return true;
  }
  bool Connect() override { return connect_result; }
  void LogEvent(std::int16_t type, std::int32_t id, const std::string& text) override {
    events.push_back({type, id, text});
  }
  void ReportStatus(const std::string& text) override { statuses.push_back(text); }
  void ReportStopping() override { statuses.push_back("stopping"); }
};

// The transfer engine: each ProcessJobs call is recorded and runs
// `on_process` (which may raise events or pump the loop).
class FakeJobEngine : public engine::cJobEngine {
 public:
  std::vector<std::string> jobs_paths, lang_files;
  std::vector<bool> no_disk_checks;
  std::function<void()> on_process;
  int cancels = 0;
  void CancelPass() override { ++cancels; }
  void ProcessJobs(std::string& sJobsPath, std::string& sLangFile, bool&, bool&, bool&) override {
    jobs_paths.push_back(sJobsPath);
    lang_files.push_back(sLangFile);
    no_disk_checks.push_back(NoDiskSizeCheck);
    if (on_process) on_process();
  }
};

}  // namespace qs::test
