#include "fakes/fakeplugin.h"

#ifdef _WIN32
#include "common/win/widestring.h"
#else
#include <link.h>
#endif

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "fakes/testroot.h"

namespace hxt::test {

namespace fs = boost::filesystem;

std::string InstallPlugin(const std::string& modulePath, const std::string& pluginsDir,
                          const std::string& fileName) {
  fs::path target = fs::path(pluginsDir) / (fileName.empty() ? fs::path(modulePath).filename() : fileName);
  fs::create_directories(target.parent_path());
  // Copy, then rename over the target: a module that is loaded from the old
  // file keeps its own inode instead of being rewritten under its mapping.
  const fs::path partial = target.string() + ".partial";
  fs::copy_file(modulePath, partial, fs::copy_options::overwrite_existing);
  fs::rename(partial, target);
  return target.string();
}

bool IsModuleLoaded(const std::string& path) {
#ifdef _WIN32
  return ::GetModuleHandleW(platform::Utf8ToWide(path).c_str()) != nullptr;
#else
  std::pair<fs::path, bool> search{path, false};  // the file, whether it is mapped
  boost::system::error_code ec;
  if (!fs::exists(search.first, ec)) return false;
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        auto* s = static_cast<std::pair<fs::path, bool>*>(data);
        boost::system::error_code error;
        s->second = info->dlpi_name != nullptr && *info->dlpi_name != '\0' &&
                    fs::equivalent(s->first, fs::path(info->dlpi_name), error);
        return s->second ? 1 : 0;
      },
      &search);
  return search.second;
#endif
}

FakePlugin::FakePlugin(const std::string& path) {
  if (!module_.Load(path.c_str())) {
    ADD_FAILURE() << "cannot load fake plug-in " << path;
    return;
  }
  HxtFakePluginControlFn control = nullptr;
  if (!module_.GetFuncAddress(control, HXT_FAKE_PLUGIN_CONTROL) ||
      (control_ = control(fake::kControlVersion)) == nullptr) {
    ADD_FAILURE() << path << " has no usable " << HXT_FAKE_PLUGIN_CONTROL;
  }
}

bool WaitForCall(const FakePlugin& plugin, const char* op, std::size_t count,
                 std::chrono::milliseconds timeout) {
  return plugin.ok() && WaitFor([&] { return plugin->CallCount(op) >= count; }, timeout);
}

}  // namespace hxt::test
