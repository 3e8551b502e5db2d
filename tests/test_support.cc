#include "tests/test_support.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace qs::test {

// A path as the file-system object takes it: UTF-8 on Windows.
static fs::path Native(const std::string& path) {
#ifdef _WIN32
  return fs::path(std::u8string(path.begin(), path.end()));
#else
  return path;
#endif
}

TempDir::TempDir(const std::string& under) {
  std::random_device rd;
  fs::path base = under.empty() ? fs::temp_directory_path() : fs::path(under);
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path p = base / ("qs-test-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = p.string();
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only files and folders made by a test must not stop the clean-up.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add,
                    ec);
  }
  fs::remove_all(path_, ec);
}

std::string TempDir::Join(std::string_view name) const {
  return path_ + Sep() + std::string(name);
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(Native(path), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteBytes(const std::string& path, std::string_view data) {
  std::ofstream out(Native(path), std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(Native(path), ec);
}

std::string Sep() {
#ifdef _WIN32
  return "\\";
#else
  return "/";
#endif
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) {
    names.push_back(e.path().filename().string());
  }
  return names;
}

platform::Hwnd FindTopWindow(platform::WindowSystem& ws, const std::string& title) {
  platform::Hwnd h = ws.GetWindow(ws.GetDesktopWindow(), platform::kGwChild);
  for (char buf[255]; h != 0; h = ws.GetWindow(h, platform::kGwHwndNext)) {
    const int n = ws.GetWindowText(h, buf, sizeof buf);
    if (std::string(buf, n > 0 ? n : 0) == title) return h;
  }
  return 0;
}

bool UnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace qs::test
